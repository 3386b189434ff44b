// kq_signal_cost: what SubmitStatement costs a driver's thread beside what its one event signal
// costs alone, in the same run. Built for every platform; on Windows (and under Wine, where each
// SetEvent is a round trip to the server) the signal is most of the statement.
//   KQ_NAMESPACE=name kq_signal_cost [COUNT]
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "bench_workload.h"
#include "event.h"
#include "kq_loader.h"
#include "kqintf.h"
#include "monitor.h"
#include "platform.h"

namespace {

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};

template <class Body>
double NsPerCall(std::int64_t count, Body body) {
  const std::int64_t started = kqbench::NowNs();
  for (std::int64_t i = 0; i < count; ++i) body();
  return static_cast<double>(kqbench::NowNs() - started) / static_cast<double>(count);
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t count = argc > 1 ? std::stoll(argv[1]) : 20000;
  if (kq::ObjectNamespace().empty()) {
    std::fprintf(stderr, "kq_signal_cost: set KQ_NAMESPACE, so that no real monitor is disturbed\n");
    return 2;
  }
  try {
    kq::ComInitializer com;
    kq::KqLibrary library(kq::KqLibraryBesideExecutable());
    std::unique_ptr<IKqClient, Releaser> client(library.CreateKqClient());
    if (!client) return 1;
    kq::Monitor monitor(4343);
    monitor.SetBufferSize(512 * 1024);
    const std::u16string name = u"signal cost";
    if (client->AttachClient(77, reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, nullptr) != KqTrue) return 1;
    for (int i = 0; i < 2000 && monitor.Directory().FindClient(77) == -1; ++i) kq::SleepMs(5);
    if (!monitor.Attach(77)) return 1;
    kqbench::Statement statement;
    statement.Stamp(0, 0);
    auto submit = [&] {
      client->SubmitStatement(reinterpret_cast<const WCHAR*>(statement.Text()), kqbench::Statement::Length());
    };
    kq::TEvent bare(u"SignalCostBare", false);
    auto signal = [&] { bare.Signal(); };
    // Alternated, so that both see the same machine.
    double submitNs = 0, signalNs = 0;
    for (int round = 0; round < 3; ++round) {
      submitNs += NsPerCall(count, submit) / 3;
      signalNs += NsPerCall(count, signal) / 3;
    }
    std::printf("SubmitStatement %.0f ns, bare event signal %.0f ns, ratio %.2f\n", submitNs, signalNs,
                submitNs / signalNs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kq_signal_cost: %s\n", e.what());
    return 1;
  }
  return 0;
}

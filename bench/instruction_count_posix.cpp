// kq_icount: the workloads whose instructions scripts/icount.sh counts with callgrind, one function
// at a time (--toggle-collect). Each is deterministic: one thread submits and reads in turns, so the
// count does not depend on the machine's load.
//   kq_icount kq COUNT     statements through the library (loaded as a driver loads it) to an
//                          in-process monitor that reads after every 50
//   kq_icount kq-outcome COUNT          the same statements with a success outcome
//                                       (SubmitStatementOutcome: rows and duration, no message)
//   kq_icount kq-outcome-error COUNT    the same with an error outcome (SQLSTATE, a 40-unit message)
//   kq_icount floor COUNT  the same through the floor model's ring
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bench_workload.h"
#include "floor_ring.h"
#include "kq_loader.h"
#include "kqintf.h"
#include "monitor.h"

namespace {

constexpr int ReadEvery = 50;

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};

enum class Outcome { None, Success, Error };

int CountKq(std::int64_t count, Outcome withOutcome) {
  setenv("KQ_NAMESPACE", ("icount-" + std::to_string(getpid())).c_str(), 1);
  kq::KqLibrary library(kq::KqLibraryBesideExecutable());
  std::unique_ptr<IKqClient, Releaser> plain(library.CreateKqClient());
  if (!plain) return 1;
  IKqClient2* extended = nullptr;
  if (plain->QueryInterface(IID_IKqClient2, reinterpret_cast<void**>(&extended)) != S_OK) return 1;
  std::unique_ptr<IKqClient2, Releaser> client(extended);
  const std::u16string message = u"deadlock detected; transaction rolled back";
  KqOutcome outcome{};
  outcome.durationMicros = 1250;
  outcome.rows = 17;
  if (withOutcome == Outcome::Error) {
    outcome.status = KqStatusError;
    outcome.nativeCode = 1205;
    std::memcpy(outcome.sqlState, u"40001", sizeof outcome.sqlState);
    outcome.message = reinterpret_cast<const WCHAR*>(message.c_str());
  }
  kq::Monitor monitor(4343);
  monitor.SetBufferSize(512 * 1024);
  const std::u16string name = u"icount";
  if (client->AttachClient(77, reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, nullptr) != KqTrue) return 1;
  for (int i = 0; i < 2000 && monitor.Directory().FindClient(77) == -1; ++i) usleep(5000);
  if (!monitor.Attach(77)) return 1;
  // The monitor drains (it reads every ReadEvery statements and never sleeps), and says so, as kqmon
  // does between its polls: the statements leave their signals out.
  monitor.AnnounceAwake();
  kqbench::Statement statement;
  statement.Stamp(0, 0);
  std::int64_t read = 0;
  for (std::int64_t i = 1; i <= count; ++i) {
    if (withOutcome == Outcome::None)
      client->SubmitStatement(reinterpret_cast<const WCHAR*>(statement.Text()), kqbench::Statement::Length());
    else
      client->SubmitStatementOutcome(reinterpret_cast<const WCHAR*>(statement.Text()), kqbench::Statement::Length(),
                                     &outcome);
    if (i % ReadEvery == 0) read += static_cast<std::int64_t>(monitor.ReadNewViews().size());
  }
  read += static_cast<std::int64_t>(monitor.ReadNewViews().size());
  std::printf("statements %lld records %lld\n", static_cast<long long>(count), static_cast<long long>(read));
  return 0;
}

int CountFloor(std::int64_t count) {
  const auto slots = static_cast<std::uint32_t>(512 * 1024 / sizeof(kqbench::FloorSlot));
  void* memory = mmap(nullptr, kqbench::FloorBytes(slots), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return 1;
  auto* shared = new (memory) kqbench::FloorShared{};
  shared->SlotCount = slots;
  kqbench::FloorProducer producer(*shared);
  kqbench::FloorConsumer consumer(*shared, std::chrono::microseconds(0));
  kqbench::Statement statement;
  statement.Stamp(0, 0);
  std::int64_t read = 0;
  for (std::int64_t i = 1; i <= count; ++i) {
    producer.Submit(statement.Text(), kqbench::Statement::Length());
    if (i % ReadEvery == 0) read += consumer.Take(shared->Head.load());
  }
  std::printf("statements %lld records %lld\n", static_cast<long long>(count), static_cast<long long>(read));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kq_icount kq|kq-outcome|kq-outcome-error|floor COUNT\n");
    return 2;
  }
  const std::string what = argv[1];
  const std::int64_t count = std::stoll(argv[2]);
  try {
    if (what == "kq") return CountKq(count, Outcome::None);
    if (what == "kq-outcome") return CountKq(count, Outcome::Success);
    if (what == "kq-outcome-error") return CountKq(count, Outcome::Error);
    if (what == "floor") return CountFloor(count);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kq_icount: %s\n", e.what());
    return 1;
  }
  return 2;
}

// kq_signal_cost: what SubmitStatement costs a driver's thread beside what its one event signal
// costs alone and beside the floor model of the same work (the statement copied into a ring slot and
// published, no signal), in the same run, while a monitor thread of ours drains the buffer. Built for
// every platform; on Windows (and under Wine, where each SetEvent is a round trip to the server) a
// statement that signalled would cost what the bare signal does.
//   KQ_NAMESPACE=name kq_signal_cost [COUNT]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// The floor's ring: fixed slots in memory, the statement copied in with its time stamp, the head
// published with release; what any shared-memory channel must do per statement at least.
struct FloorRing {
  struct Slot {
    std::uint32_t Seq;
    std::uint32_t Ticks;
    char16_t Text[kqbench::Statement::Units + 1];
  };
  std::vector<Slot> Slots = std::vector<Slot>(4096);
  std::atomic<std::uint32_t> Head{0};

  void Submit(const char16_t* text, std::int32_t units) noexcept {
    const std::uint32_t seq = Head.load(std::memory_order_relaxed);
    Slot& slot = Slots[seq % Slots.size()];
    slot.Seq = seq;
    slot.Ticks = kq::TickCount();
    std::memcpy(slot.Text, text, static_cast<std::size_t>(units) * 2);
    slot.Text[units] = 0;
    Head.store(seq + 1, std::memory_order_release);
  }
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
    FloorRing floor;
    auto copy = [&] { floor.Submit(statement.Text(), kqbench::Statement::Length()); };
    // The monitor drains as kqmon does: polls, reads, and says it is awake while it reads.
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> read{0};
    std::thread drain([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        static_cast<void>(monitor.Poll(50));
        read.fetch_add(static_cast<std::int64_t>(monitor.ReadNewViews().size()), std::memory_order_relaxed);
      }
    });
    // Alternated, so that all three see the same machine.
    double submitNs = 0, signalNs = 0, floorNs = 0;
    for (int round = 0; round < 3; ++round) {
      submitNs += NsPerCall(count, submit) / 3;
      signalNs += NsPerCall(count, signal) / 3;
      floorNs += NsPerCall(count, copy) / 3;
    }
    stop = true;
    drain.join();
    std::printf(
        "SubmitStatement %.0f ns, bare event signal %.0f ns, floor model %.0f ns; "
        "SubmitStatement / floor %.2f, / signal %.2f; records read while draining %lld\n",
        submitNs, signalNs, floorNs, submitNs / floorNs, submitNs / signalNs, static_cast<long long>(read.load()));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kq_signal_cost: %s\n", e.what());
    return 1;
  }
  return 0;
}

// kq_signal_cost: what SubmitStatement costs a driver's thread beside what its one event signal
// costs alone and beside the floor model of the same work (floor_ring.h: the statement stamped,
// copied into a ring slot and published, the consumer woken only when it said it sleeps), in the same
// run, each while a reader thread drains it: a monitor of ours for the library, the floor's consumer
// for the floor (copy and check, no formatting on either side). The floor without its consumer is
// shown too: what a copy into memory that no other core reads costs. Built for every platform; on
// Windows (and under Wine, where each SetEvent is a round trip to the server) a statement that
// signalled would cost what the bare signal does.
//   KQ_NAMESPACE=name kq_signal_cost [COUNT] [PACED RATE PER SECOND]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench_workload.h"
#include "event.h"
#include "floor_ring.h"
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

// The time inside `body` per call, each call started on a schedule of one per `periodNs` (a driver
// that does other work between its statements): the reader keeps up or not as it would then.
template <class Body>
double PacedNsPerCall(std::int64_t count, std::int64_t periodNs, Body body) {
  std::int64_t inside = 0;
  std::int64_t next = kqbench::NowNs();
  for (std::int64_t i = 0; i < count; ++i, next += periodNs) {
    while (kqbench::NowNs() < next) {
    }
    const std::int64_t started = kqbench::NowNs();
    body();
    inside += kqbench::NowNs() - started;
  }
  return static_cast<double>(inside) / static_cast<double>(count);
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t count = argc > 1 ? std::stoll(argv[1]) : 20000;
  const std::int64_t rate = argc > 2 ? std::stoll(argv[2]) : 500000;
  if (count <= 0 || rate <= 0 || rate > 1000000000) {
    std::fprintf(stderr, "usage: kq_signal_cost [COUNT] [PACED RATE PER SECOND]\n");
    return 2;
  }
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
    // The floor's ring in this process's memory, as large as the library's buffer.
    constexpr std::uint32_t floorSlots = 512 * 1024 / sizeof(kqbench::FloorSlot);
    std::vector<unsigned char> floorMemory(kqbench::FloorBytes(floorSlots));
    auto* floorShared = new (floorMemory.data()) kqbench::FloorShared{};
    floorShared->SlotCount = floorSlots;
    kqbench::FloorProducer floor(*floorShared);
    auto copy = [&] { floor.Submit(statement.Text(), kqbench::Statement::Length()); };
    // The same floor with nobody reading it.
    std::vector<unsigned char> loneMemory(kqbench::FloorBytes(floorSlots));
    auto* loneShared = new (loneMemory.data()) kqbench::FloorShared{};
    loneShared->SlotCount = floorSlots;
    kqbench::FloorProducer lone(*loneShared);
    auto copyAlone = [&] { lone.Submit(statement.Text(), kqbench::Statement::Length()); };
    // The monitor drains as kqmon does: polls, reads, and says it is awake while it reads.
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> read{0};
    std::thread drain([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        static_cast<void>(monitor.Poll(50));
        read.fetch_add(static_cast<std::int64_t>(monitor.ReadNewViews().size()), std::memory_order_relaxed);
      }
    });
    // The floor's consumer watches as long as our monitor does before it sleeps.
    std::uint64_t floorLost = 0;
    std::thread floorDrain([&] {
      kqbench::FloorConsumer consumer(*floorShared, std::chrono::microseconds(kq::Monitor::MaxWatchUs));
      consumer.Drain([&](std::uint32_t head) { consumer.Take(head); });
      floorLost = consumer.Lost;
    });
    // Alternated, so that all three see the same machine.
    double submitNs = 0, signalNs = 0, floorNs = 0, aloneNs = 0;
    for (int round = 0; round < 3; ++round) {
      submitNs += NsPerCall(count, submit) / 3;
      signalNs += NsPerCall(count, signal) / 3;
      floorNs += NsPerCall(count, copy) / 3;
      aloneNs += NsPerCall(count, copyAlone) / 3;
    }
    const std::int64_t readFlat = read.load();
    // Paced: the clock's own pair of reads is measured the same way and taken off.
    const std::int64_t periodNs = 1000000000 / rate;
    double pacedSubmitNs = 0, pacedFloorNs = 0, clockNs = 0;
    for (int round = 0; round < 3; ++round) {
      pacedSubmitNs += PacedNsPerCall(count, periodNs, submit) / 3;
      pacedFloorNs += PacedNsPerCall(count, periodNs, copy) / 3;
      clockNs += PacedNsPerCall(count, periodNs, [] {}) / 3;
    }
    pacedSubmitNs -= clockNs;
    pacedFloorNs -= clockNs;
    stop = true;
    drain.join();
    floor.Finish();
    floorDrain.join();
    const long long floorRead = 6 * count - static_cast<long long>(floorLost);
    std::printf(
        "flat out: SubmitStatement %.1f ns, bare event signal %.0f ns, floor model %.1f ns (unread: %.1f ns); "
        "SubmitStatement / floor %.2f, / signal %.4f\n"
        "paced at %lld/s: SubmitStatement %.1f ns, floor model %.1f ns, SubmitStatement / floor %.2f (clock pair "
        "%.1f ns taken off)\n"
        "records read while draining: library %lld flat out and %lld paced, floor %lld in all, of %lld each\n",
        submitNs, signalNs, floorNs, aloneNs, submitNs / floorNs, submitNs / signalNs, static_cast<long long>(rate),
        pacedSubmitNs, pacedFloorNs, pacedSubmitNs / pacedFloorNs, clockNs, static_cast<long long>(readFlat),
        static_cast<long long>(read.load() - readFlat), floorRead, static_cast<long long>(6 * count));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kq_signal_cost: %s\n", e.what());
    return 1;
  }
  return 0;
}

// kq_multi_watch: the reading cost of the watch of many clients, beside the floor model read the same
// way, in one run. For each client count N, N producer processes each submit the rate workload into a
// ring of their own; one reader process reads every ring. The library's reader is MultiWatch (private
// rings of our clients); the floor model's reader takes the N floor rings in turn with the floor
// consumer's own batch. Each reader's processor time is divided by the records it read.
//   kq_multi_watch --clients 1,4,16 --rate R --count C --ring BYTES [--burst B]
// Prints one line per client count and model: records read, records missing, ns of reader time per
// record, and whether any gap was seen.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "bench_workload.h"
#include "floor_ring.h"
#include "ipc_client.h"
#include "multi_watch.h"

namespace {

void SleepUntilNs(std::int64_t deadline) {
  timespec ts{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

std::int64_t CpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

struct Outcome {
  std::int64_t Read = 0;
  std::int64_t Missing = 0;
  std::int64_t CpuNs = 0;
  std::int64_t WallNs = 0;
};

// The library: MultiWatch in this process, N forked clients of ours.
Outcome RunLibrary(int clients, const kqbench::WorkloadOptions& workload, std::int32_t ring) {
  const std::string ns = "kqmw-" + std::to_string(getpid()) + "-" + std::to_string(clients);
  setenv("KQ_NAMESPACE", ns.c_str(), 1);
  Outcome outcome;
  {
    kq::MultiWatch watch(9000 + clients, ring);
    std::vector<pid_t> children;
    const std::int64_t start = kqbench::NowNs();
    for (int c = 0; c < clients; ++c) {
      const pid_t pid = fork();
      if (pid == 0) {
        {
          kq::TIPCClient client(100 + c, u"bench");
          client.Activate();
          if (!client.Private()) _exit(3);
          kqbench::RunWorkload(
              workload,
              [&](const char16_t* text, std::int32_t units) {
                const bool stored = client.AddData(text, (units + 1) * 2);
                client.SignalMonitor();
                return stored;
              },
              SleepUntilNs);
        }
        _exit(0);
      }
      children.push_back(pid);
    }
    const std::int64_t cpuStart = CpuNs();
    int left = clients;
    int joined = 0;
    bool anyJoined = false;
    while (left > 0 || joined > 0 || !anyJoined) {
      watch.Poll(50);
      watch.ReadNew([&](std::int32_t, const kq::TraceLineView& line) {
        if (line.Gap)
          outcome.Missing += line.Missing;
        else
          ++outcome.Read;
      });
      for (const kq::WatchNews& news : watch.TakeNews()) {
        if (news.Kind == kq::WatchNewsKind::Joined) {
          ++joined;
          anyJoined = true;
        } else if (news.Kind == kq::WatchNewsKind::Detached || news.Kind == kq::WatchNewsKind::Ended) {
          --joined;
        }
      }
      for (pid_t& pid : children)
        if (pid != 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
          pid = 0;
          --left;
        }
    }
    watch.ReadNew([&](std::int32_t, const kq::TraceLineView& line) {
      if (line.Gap)
        outcome.Missing += line.Missing;
      else
        ++outcome.Read;
    });
    outcome.CpuNs = CpuNs() - cpuStart;
    outcome.WallNs = kqbench::NowNs() - start;
  }
  // The first line of each client is a record too.
  outcome.Read -= clients;
  return outcome;
}

// The floor model: N floor rings, one reader taking them in turn (polling every 50 us when all are
// empty: the floor's futex doorbell is one per ring).
Outcome RunFloor(int clients, const kqbench::WorkloadOptions& workload, std::int32_t ring) {
  const auto slots = static_cast<std::uint32_t>(ring / sizeof(kqbench::FloorSlot));
  std::vector<kqbench::FloorShared*> shared;
  for (int c = 0; c < clients; ++c) {
    void* memory = mmap(nullptr, kqbench::FloorBytes(slots), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) std::exit(1);
    shared.push_back(new (memory) kqbench::FloorShared{});
    shared.back()->SlotCount = slots;
  }
  std::vector<pid_t> children;
  const std::int64_t start = kqbench::NowNs();
  for (int c = 0; c < clients; ++c) {
    const pid_t pid = fork();
    if (pid == 0) {
      kqbench::FloorProducer producer(*shared[static_cast<std::size_t>(c)]);
      kqbench::RunWorkload(
          workload, [&](const char16_t* text, std::int32_t units) { return producer.Submit(text, units); },
          SleepUntilNs);
      producer.Finish();
      _exit(0);
    }
    children.push_back(pid);
  }
  const std::int64_t cpuStart = CpuNs();
  std::vector<std::unique_ptr<kqbench::FloorConsumer>> readers;
  std::vector<std::uint32_t> next(static_cast<std::size_t>(clients), 0);
  for (auto* s : shared) readers.push_back(std::make_unique<kqbench::FloorConsumer>(*s, std::chrono::microseconds(0)));
  Outcome outcome;
  for (;;) {
    bool any = false;
    bool allDone = true;
    for (int c = 0; c < clients; ++c) {
      auto& s = *shared[static_cast<std::size_t>(c)];
      const std::uint32_t head = s.Head.load(std::memory_order_acquire);
      auto& n = next[static_cast<std::size_t>(c)];
      if (head != n) {
        const std::uint64_t lostBefore = readers[static_cast<std::size_t>(c)]->Lost;
        const std::uint32_t from = n;
        static_cast<void>(readers[static_cast<std::size_t>(c)]->Batch(head));
        n = std::min<std::uint32_t>(head, from + kqbench::FloorConsumer::BatchMax);
        if (head - from > slots) n = std::min<std::uint32_t>(head, head - slots + kqbench::FloorConsumer::BatchMax);
        const std::uint64_t lost = readers[static_cast<std::size_t>(c)]->Lost - lostBefore;
        outcome.Missing += static_cast<std::int64_t>(lost);
        any = true;
      }
      if (s.Done.load(std::memory_order_acquire) == 0 || s.Head.load() != n) allDone = false;
    }
    if (allDone) break;
    if (!any) SleepUntilNs(kqbench::NowNs() + 50000);
  }
  outcome.CpuNs = CpuNs() - cpuStart;
  outcome.WallNs = kqbench::NowNs() - start;
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  outcome.Read = static_cast<std::int64_t>(workload.Count) * clients - outcome.Missing;
  return outcome;
}

void Print(const char* model, int clients, const Outcome& o) {
  std::printf("%-8s clients %2d  read %9lld  missing %7lld  reader %7.1f ns/record  wall %6.2f s  %s\n", model, clients,
              static_cast<long long>(o.Read), static_cast<long long>(o.Missing),
              o.Read > 0 ? static_cast<double>(o.CpuNs) / static_cast<double>(o.Read) : 0.0,
              static_cast<double>(o.WallNs) / 1e9, o.Missing == 0 ? "no gap" : "GAPS");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  kqbench::WorkloadOptions workload;
  workload.Flood = false;
  workload.Rate = std::stoll(kqbench::Option(args, "--rate", "60000"));
  workload.Count = std::stoll(kqbench::Option(args, "--count", "300000"));
  workload.Burst = std::stoll(kqbench::Option(args, "--burst", "60"));
  const auto ring = static_cast<std::int32_t>(std::stol(kqbench::Option(args, "--ring", "524288")));
  std::vector<int> counts;
  std::stringstream list(kqbench::Option(args, "--clients", "1,4,16"));
  for (std::string item; std::getline(list, item, ',');) counts.push_back(std::stoi(item));
  const std::string only = kqbench::Option(args, "--model", "both");
  for (int clients : counts) {
    if (only != "floor") Print("library", clients, RunLibrary(clients, workload, ring));
    if (only != "library") Print("floor", clients, RunFloor(clients, workload, ring));
  }
  return 0;
}

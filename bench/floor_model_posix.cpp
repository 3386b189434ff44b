// kq_floor: the floor model as a pair of processes. The parent produces the workload into the ring;
// a forked child consumes it and writes the lines to standard output.
//   kq_floor --ring BYTES --watch-us MICROSECONDS --stats FILE --mode flood|rate --count N [--rate R --burst B]
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_workload.h"
#include "floor_ring.h"

namespace {

void SleepUntilNs(std::int64_t deadline) {
  timespec ts{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void WriteAll(const char* data, std::size_t bytes) {
  while (bytes > 0) {
    ssize_t n = write(STDOUT_FILENO, data, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(1);
    data += n;
    bytes -= static_cast<std::size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  kqbench::WorkloadOptions workload;
  if (!kqbench::ParseWorkload(args, workload)) {
    std::fprintf(stderr, "usage: kq_floor --ring BYTES --watch-us US --stats FILE --mode flood|rate --count N ...\n");
    return 2;
  }
  const std::size_t ringBytes = std::stoul(kqbench::Option(args, "--ring", "524288"));
  const auto watch = std::chrono::microseconds(std::stol(kqbench::Option(args, "--watch-us", "20")));
  const std::string stats = kqbench::Option(args, "--stats", "/dev/null");
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

  const auto slots = static_cast<std::uint32_t>(ringBytes / sizeof(kqbench::FloorSlot));
  void* memory = mmap(nullptr, kqbench::FloorBytes(slots), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return 1;
  auto* shared = new (memory) kqbench::FloorShared{};
  shared->SlotCount = slots;

  const pid_t consumer = fork();
  if (consumer < 0) return 1;
  if (consumer == 0) {
    kqbench::FloorConsumer reader(*shared, watch);
    reader.Run([](const char* data, std::size_t bytes) { WriteAll(data, bytes); });
    _exit(0);
  }
  close(STDOUT_FILENO);  // only the consumer writes there: its end is the reader's end of input
  kqbench::FloorProducer producer(*shared);
  const kqbench::WorkloadResult result = kqbench::RunWorkload(
      workload, [&](const char16_t* text, std::int32_t units) { return producer.Submit(text, units); }, SleepUntilNs);
  producer.Finish();
  int status = 0;
  waitpid(consumer, &status, 0);
  kqbench::WriteResult(stats, result);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

// The statement path: what one traced statement costs the driver's thread, against the floor of a
// bare copy into shared memory, and how long it takes to reach a monitor in another process.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ipc_buffer.h"
#include "ipc_client.h"
#include "monitor.h"
#include "shared_mem.h"
#include "text.h"

extern char** environ;

namespace {

const std::u16string Statement100 =
    u"SELECT o.id, o.total, o.placed_at FROM orders o WHERE o.customer_id = 4711 AND o.status = 'open' ";

// A helper process from the test suite's helper executable, ended when the object goes.
class Helper {
 public:
  explicit Helper(std::vector<std::string> args) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = 0;
    std::string path = (std::filesystem::path(self).parent_path().parent_path() / "tests" / "kq_test_helper").string();
    std::vector<char*> argv{path.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&FPid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) FPid = 0;
  }
  ~Helper() {
    if (FPid) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  bool Started() const { return FPid != 0; }
  void Join() {
    if (FPid) waitpid(FPid, nullptr, 0);
    FPid = 0;
  }

 private:
  pid_t FPid = 0;
};

class Namespace {
 public:
  explicit Namespace(const char* name) {
    std::string ns = std::string("bench-") + name + "-" + std::to_string(getpid());
    setenv("KQ_NAMESPACE", ns.c_str(), 1);
  }
  ~Namespace() { unsetenv("KQ_NAMESPACE"); }
};

void Submit(kq::TIPCClient& client) {
  client.AddData(Statement100.c_str(), static_cast<std::int32_t>((Statement100.size() + 1) * 2));
  client.SignalMonitor();
}

void BM_StatementWithNoMonitorAttached(benchmark::State& state) {
  Namespace ns("idle");
  kq::TIPCClient client(1, u"bench");
  client.Activate();
  for (auto _ : state) Submit(client);
}
BENCHMARK(BM_StatementWithNoMonitorAttached);

// Connected to a monitor in this process that does not read: the path alone, every line it
// writes staying in this core's cache.
void BM_StatementToAMonitorThatDoesNotRead(benchmark::State& state) {
  Namespace ns("idle-monitor");
  kq::Monitor monitor(903);
  monitor.SetBufferSize(512 * 1024);
  kq::TIPCClient client(4, u"bench");
  client.Activate();
  for (int i = 0; i < 2000 && monitor.Directory().FindClient(4) == -1; ++i) usleep(5000);
  if (!monitor.Attach(4)) {
    state.SkipWithError("the client did not attach");
    return;
  }
  for (auto _ : state) Submit(client);
}
BENCHMARK(BM_StatementToAMonitorThatDoesNotRead);

void BM_StatementWithMonitorDraining(benchmark::State& state) {
  Namespace ns("draining");
  kq::TIPCClient client(2, u"bench");
  client.Activate();
  Helper monitor({"monitor", "900", "2"});
  for (int i = 0; i < 2000 && client.State() != kq::stConnected; ++i) usleep(5000);
  if (client.State() != kq::stConnected) {
    state.SkipWithError("the monitor did not attach");
    return;
  }
  for (auto _ : state) Submit(client);
}
BENCHMARK(BM_StatementWithMonitorDraining);

// The floor: the same text copied into a shared section once, plus the header words an append
// publishes it with.
void BM_FloorBareCopyIntoSharedSection(benchmark::State& state) {
  Namespace ns("floor");
  kq::TSharedMem section(u"Floor", 1 << 20);
  auto* base = static_cast<unsigned char*>(section.Buffer());
  auto* header = reinterpret_cast<std::int32_t*>(base);
  const std::size_t bytes = (Statement100.size() + 1) * 2;
  std::int32_t offset = 592;
  for (auto _ : state) {
    if (offset + static_cast<std::int32_t>(bytes) + 20 > (1 << 20)) offset = 592;
    std::memcpy(base + offset + 20, Statement100.c_str(), bytes);
    std::atomic_thread_fence(std::memory_order_release);
    std::atomic_ref<std::int32_t>(header[2]).store(offset, std::memory_order_relaxed);
    offset += static_cast<std::int32_t>(bytes) + 20;
    std::atomic_ref<std::int32_t>(header[3]).store(offset, std::memory_order_relaxed);
    std::atomic_ref<std::int32_t>(header[5]).fetch_add(1, std::memory_order_relaxed);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FloorBareCopyIntoSharedSection);

// Submission to monitor read, across processes, at about 10,000 statements a second.
void BM_EndToEndLatencyAt10kPerSecond(benchmark::State& state) {
  Namespace ns("latency");
  const int count = 20000;
  for (auto _ : state) {
    kq::Monitor monitor(901);
    monitor.SetBufferSize(1 << 20);
    Helper driver({"stamped-driver", "3", std::to_string(count), "10000"});
    bool attached = false;
    for (int i = 0; i < 200 && !(attached = monitor.Attach(3, 100)); ++i) {
    }
    if (!attached) {
      state.SkipWithError("the driver did not attach");
      return;
    }
    std::vector<double> latencies;
    latencies.reserve(count);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (static_cast<int>(latencies.size()) < count && std::chrono::steady_clock::now() < deadline) {
      monitor.Poll(50);
      for (const kq::TraceLine& line : monitor.ReadNew()) {
        if (line.Gap) continue;
        auto now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        std::string text = kq::Utf16ToUtf8(line.Text);
        if (text.empty() || text[0] < '0' || text[0] > '9') continue;
        latencies.push_back(static_cast<double>(now - std::stoll(text)));
      }
    }
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
      state.SkipWithError("no statement read");
      return;
    }
    state.counters["p50_ns"] = latencies[latencies.size() / 2];
    state.counters["p99_ns"] = latencies[latencies.size() * 99 / 100];
    state.counters["read"] = static_cast<double>(latencies.size());
  }
}
BENCHMARK(BM_EndToEndLatencyAt10kPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

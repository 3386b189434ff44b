// Costs on the road of every traced statement: setting an event, with and without a sleeper in
// another process, and a round trip through two event channels.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "event.h"
#include "ipc_event.h"

extern char** environ;

using namespace kq;

namespace {

// A namespace of its own, so that no monitor and no test meets these objects.
struct BenchNamespace {
  BenchNamespace() {
    Name = "bench-" + std::to_string(getpid());
    setenv("KQ_NAMESPACE", Name.c_str(), 1);
  }
  ~BenchNamespace() {
    std::error_code ignored;
    std::filesystem::remove("/dev/shm/kq-" + std::to_string(getuid()) + "-" + Name, ignored);
    unsetenv("KQ_NAMESPACE");
  }
  std::string Name;
};

// The test helper of the same build tree, started with a role; killed if still running at the end.
class Helper {
 public:
  explicit Helper(std::vector<std::string> args) {
    std::string path =
        (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "tests" / "kq_test_helper")
            .string();
    std::vector<char*> argv{path.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&FPid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) FPid = 0;
  }
  ~Helper() {
    if (FPid == 0) return;
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }
  bool Started() const { return FPid != 0; }
  int Join() {
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t FPid = 0;
};

void SignalWithoutWaiter(benchmark::State& state) {
  BenchNamespace ns;
  TEvent event(u"Ev", false);
  for (auto _ : state) event.Signal();
}
BENCHMARK(SignalWithoutWaiter);

void SignalWithWaiterInAnotherProcess(benchmark::State& state) {
  BenchNamespace ns;
  TEvent event(u"Ev", false);
  Helper sink({"event-sink", "Ev"});
  if (!sink.Started()) return state.SkipWithError("no helper");
  usleep(200000);  // let it go to sleep on the event
  for (auto _ : state) event.Signal();
}
BENCHMARK(SignalWithWaiterInAnotherProcess);

void IpcRoundTripToAnotherProcess(benchmark::State& state) {
  BenchNamespace ns;
  TIPCEvent request(u"Request", false);
  TIPCEvent reply(u"Reply", false);
  TEvent ready(u"Ready", true);
  Helper echo({"ipc-echo", "Request", "Reply", "Ready"});
  if (!echo.Started() || !ready.Wait(20000)) return state.SkipWithError("no helper");
  std::int32_t id = 0;
  for (auto _ : state) {
    request.SignalID(evClientSignal, ++id);
    if (!reply.WaitFor(10000, id, evClientAttach)) {
      state.SkipWithError("echo lost");
      break;
    }
  }
  request.SignalID(evClientExit, 0);
  if (echo.Join() != 0) state.SkipWithError("echo failed");
}
BENCHMARK(IpcRoundTripToAnotherProcess)->UseRealTime();

}  // namespace

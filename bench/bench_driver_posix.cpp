// kq_bench_driver: a database driver as far as the benchmarks go. Loads the kqclient library beside
// it, attaches a client, waits until a monitor is connected and submits the workload through the
// COM interface; with --outcomes 1 each statement goes with a success outcome (IKqClient2), as a
// driver that reports durations and rows sends it.
//   kq_bench_driver --id ID --stats FILE --mode flood|rate --count N [--rate R --burst B] [--outcomes 1]
#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_workload.h"
#include "kq_loader.h"
#include "kqintf.h"

namespace {

void SleepUntilNs(std::int64_t deadline) {
  timespec ts{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  kqbench::WorkloadOptions workload;
  if (!kqbench::ParseWorkload(args, workload)) {
    std::fprintf(stderr, "usage: kq_bench_driver --id ID --stats FILE --mode flood|rate --count N ...\n");
    return 2;
  }
  const auto id = static_cast<std::int32_t>(std::stol(kqbench::Option(args, "--id", "4242")));
  const std::string stats = kqbench::Option(args, "--stats", "/dev/null");
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  try {
    kq::KqLibrary library(kq::KqLibraryBesideExecutable());
    HRESULT hr = S_OK;
    std::unique_ptr<IKqClient, Releaser> client(library.CreateKqClient(&hr));
    if (!client) return 1;
    const std::u16string name = u"bench driver";
    if (client->AttachClient(id, reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, nullptr) != KqTrue) return 1;
    // A driver learns of its monitor only from what SubmitStatement returns.
    const std::u16string probe = u"kqb-warm-up";
    const std::int64_t giveUp = kqbench::NowNs() + 20000000000LL;
    while (client->SubmitStatement(reinterpret_cast<const WCHAR*>(probe.c_str()),
                                   static_cast<std::int32_t>(probe.size())) != KqTrue) {
      if (kqbench::NowNs() > giveUp) return 1;
      SleepUntilNs(kqbench::NowNs() + 2000000);
    }
    IKqClient2* withOutcome = nullptr;
    const bool outcomes = kqbench::Option(args, "--outcomes", "0") == "1";
    if (outcomes && client->QueryInterface(IID_IKqClient2, reinterpret_cast<void**>(&withOutcome)) != S_OK) return 1;
    std::unique_ptr<IKqClient2, Releaser> client2(withOutcome);
    KqOutcome outcome{};
    outcome.durationMicros = 1250;
    outcome.rows = 1;
    outcome.status = KqStatusSuccess;
    const kqbench::WorkloadResult result = kqbench::RunWorkload(
        workload,
        [&](const char16_t* text, std::int32_t units) {
          if (client2)
            return client2->SubmitStatementOutcome(reinterpret_cast<const WCHAR*>(text), units, &outcome) == KqTrue;
          return client->SubmitStatement(reinterpret_cast<const WCHAR*>(text), units) == KqTrue;
        },
        SleepUntilNs);
    kqbench::WriteResult(stats, result);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kq_bench_driver: %s\n", e.what());
    return 1;
  }
  return 0;
}

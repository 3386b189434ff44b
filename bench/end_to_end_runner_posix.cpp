// kq_e2e: the library against its floor model, through real processes, in one run. For kq: the
// benchmark driver (the library loaded as a driver loads it) with `kqmon watch --refno --time`
// writing to a pipe, and again with kq_bench_monitor (the monitor library and a batch writer like
// the floor's, which tells the reader's pace from kqmon's writer); for the floor: kq_floor's
// producer and consumer writing to a pipe. This program reads the pipe, takes each line's latency
// from the stamp in its statement, and prints a Markdown table of the medians over the repeats,
// each figure beside the floor's from the same run.
//   kq_e2e [--repeat N] [--scale PERCENT] [--scenarios flood,10k,500k,1m] [--consumers kqmon,library,floor]
//          [--ring-kb 512] [--clients 1..16] [--outcomes 1]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_workload.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr std::int32_t DriverID = 4242;

// What kq's side of a run looks like: the ring, how many drivers share the workload (more than one:
// kqmon watches every client at once, each on a ring of its own), and whether each statement carries
// its outcome. The floor always runs one producer with the text alone.
struct Setup {
  int RingKB = 512;
  int Clients = 1;
  bool Outcomes = false;
};

// The scenario's workload for one of `clients` drivers: its share of the count, the rate and the burst.
std::vector<std::string> ShareOf(const std::vector<std::string>& workload, int clients) {
  std::vector<std::string> share = workload;
  for (std::size_t i = 0; i + 1 < share.size(); i += 2)
    if (share[i] == "--count" || share[i] == "--rate" || share[i] == "--burst")
      share[i + 1] = std::to_string(std::max<long long>(1, std::stoll(share[i + 1]) / clients));
  return share;
}

struct Scenario {
  std::string Name;
  std::vector<std::string> Workload;  // producer arguments
  std::int64_t Count = 0;
  int FloorWatchUs = 20;  // the floor consumer's watch before it sleeps (0: a sleeping consumer)
};

struct Outcome {
  bool Ok = false;
  std::map<std::string, double> Producer;  // from the producer's stats file
  std::int64_t Delivered = 0;
  double LinesPerSecond = 0;
  std::vector<std::int64_t> Latencies;
};

fs::path SelfDir() { return fs::canonical("/proc/self/exe").parent_path(); }

class Child {
 public:
  Child(const std::vector<std::string>& argv, int stdoutFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> raw;
    for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    if (posix_spawn(&FPid, raw[0], &actions, nullptr, raw.data(), environ) != 0) FPid = 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (FPid == 0) return;
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }
  bool Started() const { return FPid != 0; }
  // The exit code, or -1 when it had to be killed after `timeoutMs`.
  int Wait(int timeoutMs) {
    for (int waited = 0; FPid != 0; waited += 10) {
      int status = 0;
      if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (waited >= timeoutMs) {
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
        FPid = 0;
        return -1;
      }
      usleep(10000);
    }
    return -1;
  }

 private:
  pid_t FPid = 0;
};

std::map<std::string, double> ReadStats(const fs::path& path) {
  std::map<std::string, double> values;
  std::ifstream in(path);
  std::string key;
  double value = 0;
  while (in >> key >> value) values[key] = value;
  return values;
}

// Reads the consumer's lines until the pipe closes (or the deadline passes).
void Collect(int fd, Outcome& outcome, std::int64_t deadlineNs) {
  std::vector<char> buffer(1 << 20);
  std::string carry;
  std::int64_t first = 0, last = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const std::int64_t left = (deadlineNs - kqbench::NowNs()) / 1000000;
    if (left <= 0 || poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 1000))) < 0) break;
    if (p.revents == 0) continue;
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n <= 0) break;
    const std::int64_t now = kqbench::NowNs();
    std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
    while (!chunk.empty()) {
      const std::size_t end = chunk.find('\n');
      if (end == std::string_view::npos) {
        carry.append(chunk);
        break;
      }
      std::string_view line = chunk.substr(0, end);
      if (!carry.empty()) {
        carry.append(line);
        line = carry;
      }
      std::uint64_t seq = 0;
      std::int64_t stamp = 0;
      if (kqbench::ParseStatement(line, seq, stamp)) {
        ++outcome.Delivered;
        if (first == 0) first = now;
        last = now;
        if (stamp != 0) outcome.Latencies.push_back(now - stamp);
      }
      carry.clear();
      chunk.remove_prefix(end + 1);
    }
  }
  if (last > first)
    outcome.LinesPerSecond = static_cast<double>(outcome.Delivered) * 1e9 / static_cast<double>(last - first);
}

enum class Consumer { Kqmon, Library, Floor };

Outcome RunOnce(const Scenario& scenario, Consumer which, int serial, const Setup& setup) {
  const bool kq = which != Consumer::Floor;
  const int clients = kq ? setup.Clients : 1;
  const fs::path dir = SelfDir();
  const fs::path stats =
      fs::temp_directory_path() / ("kq_e2e-" + std::to_string(getpid()) + "-" + std::to_string(serial));
  fs::remove(stats);
  const std::string ns = "e2e-" + std::to_string(getpid()) + "-" + std::to_string(serial);
  setenv("KQ_NAMESPACE", ns.c_str(), 1);
  Outcome outcome;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return outcome;
  const std::int64_t deadline = kqbench::NowNs() + 120000000000LL;
  {
    std::vector<std::vector<std::string>> producers;
    std::vector<std::string> consumer;
    const std::vector<std::string> share = ShareOf(scenario.Workload, clients);
    if (kq) {
      for (int c = 0; c < clients; ++c) {
        // The first driver's figures stand for all (they share the workload evenly).
        const std::string statsFile = c == 0 ? stats.string() : "/dev/null";
        producers.push_back({(dir / "kq_bench_driver").string(), "--id", std::to_string(DriverID + c), "--stats",
                             statsFile, "--outcomes", setup.Outcomes ? "1" : "0"});
      }
      const std::string ring = std::to_string(setup.RingKB);
      if (which == Consumer::Kqmon) {
        consumer = {(dir.parent_path() / "tools" / "kqmon").string(), "watch", "--refno", "--time"};
        if (clients == 1) consumer.insert(consumer.end(), {"--client", std::to_string(DriverID)});
        consumer.insert(consumer.end(), {"--buffer-size", ring, "--until-detach"});
      } else {
        consumer = {(dir / "kq_bench_monitor").string(), "--client", std::to_string(DriverID), "--buffer-size", ring};
      }
    } else {
      producers.push_back({(dir / "kq_floor").string(), "--ring", std::to_string(setup.RingKB * 1024), "--watch-us",
                           std::to_string(scenario.FloorWatchUs), "--stats", stats.string()});
    }
    // The floor's producer forks its consumer with the pipe as output; kq's consumer is kqmon.
    std::vector<std::unique_ptr<Child>> started;
    for (std::vector<std::string>& producer : producers) {
      producer.insert(producer.end(), share.begin(), share.end());
      started.push_back(std::make_unique<Child>(producer, kq ? -1 : pipeFds[1]));
    }
    std::unique_ptr<Child> monitor;
    if (kq) monitor = std::make_unique<Child>(consumer, pipeFds[1]);
    close(pipeFds[1]);
    Collect(pipeFds[0], outcome, deadline);
    bool allStarted = !monitor || monitor->Started();
    int producerExit = 0;
    for (const auto& child : started) {
      allStarted = allStarted && child->Started();
      if (const int code = child->Wait(30000); code != 0) producerExit = code;
    }
    const int consumerExit = monitor ? monitor->Wait(30000) : 0;
    outcome.Ok = allStarted && producerExit == 0 && consumerExit == 0;
    if (!outcome.Ok) std::fprintf(stderr, "kq_e2e: exit codes %d %d\n", producerExit, consumerExit);
  }
  close(pipeFds[0]);
  unsetenv("KQ_NAMESPACE");
  std::error_code ignored;
  fs::remove(fs::path("/dev/shm") / ("kq-" + std::to_string(getuid()) + "-" + ns), ignored);
  outcome.Producer = ReadStats(stats);
  fs::remove(stats, ignored);
  return outcome;
}

double Percentile(std::vector<std::int64_t> values, double p) {
  if (values.empty()) return NAN;
  const auto at = static_cast<std::size_t>(
      std::min<double>(static_cast<double>(values.size() - 1), std::floor(p * static_cast<double>(values.size()))));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return static_cast<double>(values[at]);
}

double Median(std::vector<double> values) {
  values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }), values.end());
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Figure {
  std::string Label;
  std::string Unit;
  std::string Goal;
  std::vector<double> Values[3];  // by Consumer
};

std::string Number(double v, const std::string& unit) {
  if (std::isnan(v)) return "n/a";
  char text[64];
  if (unit == "%")
    std::snprintf(text, sizeof text, "%.1f %%", v);
  else if (v >= 100000)
    std::snprintf(text, sizeof text, "%.0f", v);
  else if (v >= 100)
    std::snprintf(text, sizeof text, "%.0f %s", v, unit.c_str());
  else
    std::snprintf(text, sizeof text, "%.1f %s", v, unit.c_str());
  std::string s = text;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int repeat = std::stoi(kqbench::Option(args, "--repeat", "3"));
  const double scale = std::stod(kqbench::Option(args, "--scale", "100")) / 100.0;
  auto count = [&](std::int64_t n) { return std::max<std::int64_t>(1000, static_cast<std::int64_t>(n * scale)); };
  signal(SIGPIPE, SIG_IGN);
  Setup setup;
  setup.RingKB = std::stoi(kqbench::Option(args, "--ring-kb", "512"));
  setup.Clients = std::stoi(kqbench::Option(args, "--clients", "1"));
  setup.Outcomes = kqbench::Option(args, "--outcomes", "0") == "1";
  if (setup.RingKB < 64 || setup.RingKB > 65536 || setup.Clients < 1 || setup.Clients > 16) {
    std::fprintf(stderr, "kq_e2e: --ring-kb takes 64 to 65536, --clients 1 to 16\n");
    return 2;
  }

  const std::int64_t floodCount = count(2000000), slowCount = count(30000), fastCount = count(1000000);
  const std::vector<Scenario> scenarios = {
      {"flood", {"--mode", "flood", "--count", std::to_string(floodCount)}, floodCount, 20},
      {"10k",
       {"--mode", "rate", "--rate", "10000", "--burst", "1", "--count", std::to_string(slowCount)},
       slowCount,
       0},
      {"500k",
       {"--mode", "rate", "--rate", "500000", "--burst", "500", "--count", std::to_string(fastCount)},
       fastCount,
       20},
      // Sustained: a million a second for two seconds, the drain's goal, where a flood measures only how
      // the producers and the consumer share the processors.
      {"1m",
       {"--mode", "rate", "--rate", "1000000", "--burst", "1000", "--count", std::to_string(2 * fastCount)},
       2 * fastCount,
       20},
  };

  Figure cost{"driver ns per 200-byte statement, flat out, monitor draining", "ns", "<= 2x", {}};
  Figure slowCost{"driver ns per statement at 10,000/s (monitor asleep)", "ns", "report", {}};
  Figure p50{"latency p50 at 10,000/s, to the consumer's output", "us", "<= 1.5x", {}};
  Figure p99{"latency p99 at 10,000/s", "us", "<= 2x", {}};
  Figure p999{"latency p99.9 at 10,000/s", "us", "report", {}};
  Figure fastLines{"lines/s delivered at 500,000/s", "", "500,000", {}};
  Figure fastLoss{"loss at 500,000/s for 2 s, " + std::to_string(setup.RingKB) + " KB ring", "%", "0", {}};
  Figure sustainedLines{"lines/s to a pipe at 1,000,000/s for 2 s", "", ">= 1,000,000", {}};
  Figure sustainedLoss{"loss at 1,000,000/s", "%", "0", {}};
  Figure floodLines{"lines/s to a pipe during a flat-out flood", "", ">= 1,000,000", {}};
  Figure floodLoss{"loss under a flat-out flood of 2 M statements", "%", "<= floor", {}};

  const char* const names[3] = {"kqmon", "library", "floor"};
  const std::string only = kqbench::Option(args, "--scenarios", "flood,10k,500k,1m");
  // The monitor library's consumer attaches one client.
  const std::string consumers =
      kqbench::Option(args, "--consumers", setup.Clients == 1 ? "kqmon,library,floor" : "kqmon,floor");
  int serial = 0, failures = 0;
  for (int r = 0; r < repeat; ++r) {
    for (const Scenario& s : scenarios) {
      if (only.find(s.Name) == std::string::npos) continue;
      for (Consumer which : {Consumer::Kqmon, Consumer::Library, Consumer::Floor}) {
        const int column = static_cast<int>(which);
        if (consumers.find(names[column]) == std::string::npos) continue;
        if (which == Consumer::Library && setup.Clients > 1) continue;
        Outcome o = RunOnce(s, which, serial++, setup);
        if (!o.Ok) {
          ++failures;
          std::fprintf(stderr, "kq_e2e: %s run of %s failed\n", names[column], s.Name.c_str());
          continue;
        }
        const double lossPercent = 100.0 * static_cast<double>(s.Count - o.Delivered) / static_cast<double>(s.Count);
        auto put = [&](Figure& f, double v) { f.Values[column].push_back(v); };
        if (s.Name == "flood") {
          put(cost, o.Producer["ns_per_statement"]);
          put(floodLines, o.LinesPerSecond);
          put(floodLoss, lossPercent);
        } else if (s.Name == "10k") {
          put(slowCost, o.Producer["ns_per_statement"]);
          put(p50, Percentile(o.Latencies, 0.50) / 1000);
          put(p99, Percentile(o.Latencies, 0.99) / 1000);
          put(p999, Percentile(o.Latencies, 0.999) / 1000);
        } else if (s.Name == "1m") {
          put(sustainedLoss, lossPercent);
          put(sustainedLines, o.LinesPerSecond);
        } else {
          put(fastLoss, lossPercent);
          put(fastLines, o.LinesPerSecond);
        }
        std::fprintf(stderr, "kq_e2e: %-7s %-5s delivered %lld of %lld, producer %.1f ns/statement\n", names[column],
                     s.Name.c_str(), static_cast<long long>(o.Delivered), static_cast<long long>(s.Count),
                     o.Producer["ns_per_statement"]);
      }
    }
  }

  if (setup.Clients > 1 || setup.Outcomes)
    std::printf("kq: %d driver(s) sharing each workload%s%s; the floor: one producer, the text alone\n\n",
                setup.Clients, setup.Clients > 1 ? ", kqmon watching every client" : "",
                setup.Outcomes ? ", every statement with its outcome" : "");
  std::printf(
      "| figure | kq, kqmon | kq, monitor library | floor model | kqmon / floor | library / floor | goal |\n"
      "|---|---|---|---|---|---|---|\n");
  for (const Figure* f : {&cost, &slowCost, &p50, &p99, &p999, &fastLines, &fastLoss, &sustainedLines, &sustainedLoss,
                          &floodLines, &floodLoss}) {
    double m[3];
    for (int c = 0; c < 3; ++c) m[c] = Median(f->Values[c]);
    auto ratio = [&](double v) -> std::string {
      if (std::isnan(v) || std::isnan(m[2]) || m[2] <= 0 || f->Unit == "%") return "";
      char text[32];
      std::snprintf(text, sizeof text, "%.2f", v / m[2]);
      return text;
    };
    std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", f->Label.c_str(), Number(m[0], f->Unit).c_str(),
                Number(m[1], f->Unit).c_str(), Number(m[2], f->Unit).c_str(), ratio(m[0]).c_str(), ratio(m[1]).c_str(),
                f->Goal.c_str());
  }
  std::printf("\nMedians of %d run(s) of each; failed runs: %d.\n", repeat, failures);
  return failures == 0 ? 0 : 1;
}

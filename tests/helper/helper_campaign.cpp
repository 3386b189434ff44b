// Roles of the reliability campaign (scripts/campaign.sh): drivers that go through the library as a
// database driver does, monitors that keep attaching, detaching and reallocating, a process that
// writes hostile values into every shared section, and the checks that judge a run. Each role prints
// its figures on one line starting with its name and exits 0 when everything it checks held.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "client_directory.h"
#include "helper_roles.h"
#include "ipc_client.h"
#include "ipc_event.h"
#include "kq_error.h"
#include "kq_loader.h"
#include "kqconsts.h"
#include "monitor.h"
#include "platform.h"
#include "test_support.h"
#include "text.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point After(double seconds) {
  return Clock::now() + std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::int32_t Submit(IKqClient* client, const std::u16string& text) {
  return client->SubmitStatement(reinterpret_cast<const WCHAR*>(text.c_str()), static_cast<std::int32_t>(text.size()));
}

std::u16string U(const std::string& text) { return kq::Utf8ToUtf16(text); }

// The library as a driver loads it, with one KqClient object at a time.
class DriverLibrary {
 public:
  DriverLibrary() : FLibrary(kq::KqLibraryBesideExecutable()) {}
  IKqClient* Attach(std::int32_t id, const std::u16string& name) {
    IKqClient* client = FLibrary.CreateKqClient();
    if (!client) return nullptr;
    if (client->AttachClient(id, reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, nullptr) != KqTrue) {
      client->Release();
      return nullptr;
    }
    return client;
  }

 private:
  kq::ComInitializer FCom;
  kq::KqLibrary FLibrary;
};

// The phase a chaos role is in, on its own line, so that the script can tell where a kill landed.
void Phase(const char* name) {
  std::printf("%s\n", name);
  std::fflush(stdout);
}

// ---- soak with accounting ----

// Statement texts carry their origin: "soak c<client> t<thread> n<number> " and some padding.
struct StatementKey {
  std::int64_t Client = -1, Thread = -1, Number = -1;
  std::uint64_t Packed() const {
    return (static_cast<std::uint64_t>(Client) << 40) | (static_cast<std::uint64_t>(Thread) << 32) |
           static_cast<std::uint64_t>(Number);
  }
};

bool ParseKey(const std::string& text, StatementKey& key) {
  std::istringstream in(text);
  std::string soak, c, t, n;
  if (!(in >> soak >> c >> t >> n) || soak != "soak" || c[0] != 'c' || t[0] != 't' || n[0] != 'n') return false;
  try {
    key = {std::stoll(c.substr(1)), std::stoll(t.substr(1)), std::stoll(n.substr(1))};
  } catch (const std::exception&) {
    return false;
  }
  return key.Client >= 0 && key.Client < (1 << 23) && key.Thread >= 0 && key.Thread < 256 && key.Number >= 0 &&
         key.Number <= UINT32_MAX;
}

// soak-driver ID THREADS SECONDS OUT: THREADS threads submit numbered statements in bursts for SECONDS
// through one KqClient; OUT receives "<thread> <number>" for every statement that came back traced.
int SoakDriver(const std::vector<std::string>& args) {
  if (args.size() != 4) return 2;
  const std::int32_t id = std::stoi(args[0]);
  const int threads = std::stoi(args[1]);
  const auto deadline = After(std::stod(args[2]));
  DriverLibrary library;
  IKqClient* client = library.Attach(id, U("soak" + args[0]));
  if (!client) return 10;
  std::vector<std::vector<std::uint32_t>> traced(static_cast<std::size_t>(threads));
  std::atomic<std::int64_t> submitted{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(id * 100 + t));
      const std::string head = "soak c" + args[0] + " t" + std::to_string(t) + " n";
      std::uint32_t n = 0;
      while (Clock::now() < deadline) {
        for (int burst = static_cast<int>(rng() % 400) + 1; burst > 0; --burst, ++n) {
          const std::u16string text = U(head + std::to_string(n) + " " + std::string(rng() % 48, 'x'));
          if (Submit(client, text) == KqTrue) traced[static_cast<std::size_t>(t)].push_back(n);
        }
        kq::SleepMs(rng() % 20);
      }
      submitted += n;
    });
  for (auto& worker : workers) worker.join();
  client->Release();
  std::ofstream out(args[3], std::ios::binary);
  std::size_t total = 0;
  for (std::size_t t = 0; t < traced.size(); ++t) {
    total += traced[t].size();
    for (std::uint32_t n : traced[t]) out << t << ' ' << n << '\n';
  }
  std::printf("soak-driver %d: %lld submitted, %zu traced\n", id, static_cast<long long>(submitted.load()), total);
  return out ? 0 : 4;
}

// Writes what the monitor read: "R <refno> <client> <thread> <number>", "R <refno> first" for a first
// line, "R <refno> ?" for a text of no statement, "G <refno> <missing>" for a gap.
void LogLines(std::FILE* out, const std::vector<kq::TraceLine>& lines) {
  for (const kq::TraceLine& line : lines) {
    if (line.Gap) {
      std::fprintf(out, "G %d %d\n", line.RefNo, line.Missing);
      continue;
    }
    const std::string text = kq::Utf16ToUtf8(line.Text);
    StatementKey key;
    if (ParseKey(text, key))
      std::fprintf(out, "R %d %lld %lld %lld\n", line.RefNo, static_cast<long long>(key.Client),
                   static_cast<long long>(key.Thread), static_cast<long long>(key.Number));
    else if (text.rfind("Log started for: ", 0) == 0)
      std::fprintf(out, "R %d first\n", line.RefNo);
    else
      std::fprintf(out, "R %d ?\n", line.RefNo);
  }
}

// soak-monitor MONITOR_ID SECONDS BUFSIZE SPOOL OUT CLIENT...: for SECONDS, attaches to each listed
// client in turn for a random while, spooling to SPOOL, and logs every session to OUT ("S <client>"
// ... "E"; "F <client>" for an attach that did not happen, "X <client>" for one that raised).
int SoakMonitor(const std::vector<std::string>& args) {
  if (args.size() < 6) return 2;
  kq::Monitor monitor(std::stoi(args[0]));
  const auto deadline = After(std::stod(args[1]));
  monitor.SetBufferSize(std::stoi(args[2]));
  monitor.SetViewSettings(false, false, U(args[3]));
  std::FILE* out = std::fopen(args[4].c_str(), "wb");
  if (!out) return 4;
  std::vector<std::int32_t> clients;
  for (std::size_t i = 5; i < args.size(); ++i) clients.push_back(std::stoi(args[i]));
  std::mt19937 rng(static_cast<unsigned>(std::stoi(args[0])));
  int sessions = 0, failed = 0, raised = 0;
  for (std::size_t next = 0; Clock::now() < deadline; ++next) {
    const std::int32_t client = clients[next % clients.size()];
    if (monitor.Directory().FindClient(client) == -1) {
      kq::SleepMs(2);
      continue;
    }
    bool attached = false;
    try {
      attached = monitor.Attach(client, 3000);
    } catch (const kq::EKqError&) {
      std::fprintf(out, "X %d\n", client);
      ++raised;
      kq::SleepMs(20);
      continue;
    }
    if (!attached) {
      std::fprintf(out, "F %d\n", client);
      ++failed;
      continue;
    }
    ++sessions;
    std::fprintf(out, "S %d\n", client);
    const auto until = After((20 + rng() % 300) / 1000.0);
    while (Clock::now() < until && monitor.Attached()) {
      monitor.Poll(5);
      LogLines(out, monitor.ReadNew());
    }
    LogLines(out, monitor.ReadNew());  // the rest of a client that left on its own
    const auto detachStart = Clock::now();
    if (monitor.Attached()) LogLines(out, monitor.Detach());
    std::fprintf(out, "E %lld\n", static_cast<long long>(MsSince(detachStart)));
  }
  const bool spoolStopped = monitor.TakeSpoolStop().has_value();
  std::fclose(out);
  std::printf("soak-monitor: %d sessions, %d attaches not taken, %d raised%s\n", sessions, failed, raised,
              spoolStopped ? ", spooling stopped" : "");
  return spoolStopped ? 5 : 0;
}

struct ClientTally {
  std::int64_t Traced = 0, Read = 0, GapStatements = 0, Unread = 0, Lost = 0;
};

// soak-check MONITOR_LOG SPOOL DRIVER_LOG...: every statement traced by a driver (driver logs are
// named driver-<ID>.txt) was read, or evicted unread into the spool and reported in a gap; nothing
// read or spooled twice, nothing that was never traced, numbering without breaks.
int SoakCheck(const std::vector<std::string>& args) {
  if (args.size() < 3) return 2;
  std::unordered_set<std::uint64_t> traced;
  std::unordered_map<std::int64_t, ClientTally> tally;
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string leaf = std::filesystem::path(args[i]).filename().string();
    const std::int64_t client = std::stoll(leaf.substr(leaf.find('-') + 1));
    std::ifstream in(args[i]);
    std::int64_t t, n;
    while (in >> t >> n) {
      traced.insert(StatementKey{client, t, n}.Packed());
      ++tally[client].Traced;
    }
  }
  std::unordered_set<std::uint64_t> read;
  std::int64_t sessions = 0, duplicates = 0, phantoms = 0, misattributed = 0, garbled = 0, breaks = 0, firstLines = 0,
               gapRecords = 0, notTaken = 0, raised = 0;
  {
    std::ifstream in(args[0]);
    std::string line;
    std::int64_t client = -1, last = 0;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string tag;
      fields >> tag;
      if (tag == "S") {
        fields >> client;
        last = 0;
        ++sessions;
      } else if (tag == "F") {
        ++notTaken;
      } else if (tag == "X") {
        ++raised;
      } else if (tag == "G") {
        std::int64_t refNo, missing;
        fields >> refNo >> missing;
        if (refNo != last + 1) ++breaks;
        last = refNo + missing - 1;
        gapRecords += missing;
        // A session's number 1 is its first line, not a statement.
        tally[client].GapStatements += missing - (refNo == 1 ? 1 : 0);
      } else if (tag == "R") {
        std::int64_t refNo;
        std::string what;
        fields >> refNo >> what;
        if (refNo != last + 1) ++breaks;
        last = refNo;
        if (what == "first") {
          ++firstLines;
          if (refNo != 1) ++breaks;
          continue;
        }
        StatementKey key;
        if (what == "?" || !(fields >> key.Thread >> key.Number)) {
          ++garbled;
          continue;
        }
        key.Client = std::stoll(what);
        if (key.Client != client) ++misattributed;
        if (!read.insert(key.Packed()).second) ++duplicates;
        if (!traced.count(key.Packed())) ++phantoms;
        ++tally[client].Read;
      }
    }
  }
  std::unordered_set<std::uint64_t> spooled;
  std::int64_t spoolDuplicates = 0, spoolPhantoms = 0, spoolLines = 0;
  {
    std::ifstream in(args[1], std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      ++spoolLines;
      StatementKey key;
      if (!ParseKey(line, key)) continue;  // first lines
      if (!spooled.insert(key.Packed()).second) ++spoolDuplicates;
      if (!traced.count(key.Packed())) ++spoolPhantoms;
    }
  }
  std::int64_t totalTraced = 0, totalRead = 0, totalUnread = 0, totalLost = 0, gapMismatch = 0;
  for (std::uint64_t key : traced) {
    if (read.count(key)) continue;
    ClientTally& t = tally[static_cast<std::int64_t>(key >> 40)];
    ++t.Unread;
    if (!spooled.count(key)) ++t.Lost;
  }
  for (auto& [client, t] : tally) {
    totalTraced += t.Traced;
    totalRead += t.Read;
    totalUnread += t.Unread;
    totalLost += t.Lost;
    if (t.Unread != t.GapStatements) {
      ++gapMismatch;
      std::printf("soak-check: client %lld: %lld traced, %lld read, %lld unread, %lld in gaps, %lld lost\n",
                  static_cast<long long>(client), static_cast<long long>(t.Traced), static_cast<long long>(t.Read),
                  static_cast<long long>(t.Unread), static_cast<long long>(t.GapStatements),
                  static_cast<long long>(t.Lost));
    }
  }
  std::printf(
      "soak-check: %zu clients, %lld sessions (%lld attaches not taken, %lld raised), %lld traced, %lld read, %lld "
      "unread and reported in gaps (%lld gap records), %lld spool lines; lost %lld, duplicates %lld+%lld, phantoms "
      "%lld+%lld, misattributed %lld, garbled %lld, numbering breaks %lld, clients whose gaps do not add up %lld\n",
      tally.size(), static_cast<long long>(sessions), static_cast<long long>(notTaken), static_cast<long long>(raised),
      static_cast<long long>(totalTraced), static_cast<long long>(totalRead), static_cast<long long>(totalUnread),
      static_cast<long long>(gapRecords), static_cast<long long>(spoolLines), static_cast<long long>(totalLost),
      static_cast<long long>(duplicates), static_cast<long long>(spoolDuplicates), static_cast<long long>(phantoms),
      static_cast<long long>(spoolPhantoms), static_cast<long long>(misattributed), static_cast<long long>(garbled),
      static_cast<long long>(breaks), static_cast<long long>(gapMismatch));
  const bool sound = totalLost == 0 && duplicates == 0 && spoolDuplicates == 0 && phantoms == 0 && spoolPhantoms == 0 &&
                     misattributed == 0 && garbled == 0 && breaks == 0 && gapMismatch == 0;
  return sound && totalTraced > 0 && sessions > 0 ? 0 : 1;
}

// ---- chaos ----

// chaos-driver ID SEED: creates, attaches, streams and releases KqClient objects in a loop, until killed.
int ChaosDriver(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  const std::int32_t id = std::stoi(args[0]);
  std::mt19937 rng(static_cast<unsigned>(std::stoul(args[1])));
  DriverLibrary library;
  for (;;) {
    Phase("attach");
    IKqClient* client = library.Attach(id, U("chaos" + args[0]));
    if (!client) {
      kq::SleepMs(50);
      continue;
    }
    Phase("stream");
    for (int i = 0, n = static_cast<int>(rng() % 4000); i < n; ++i) {
      Submit(client, U("chaos " + std::to_string(i) + std::string(rng() % 200, 'y')));
      if (rng() % 400 == 0) kq::SleepMs(rng() % 30);
    }
    Phase("release");
    client->Release();
  }
}

// chaos-monitor ID CLIENT SEED: starts a monitor, attaches to CLIENT with random sizes, reads,
// reallocates and detaches, stops it and starts again, until killed.
int ChaosMonitor(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  const std::int32_t client = std::stoi(args[1]);
  std::mt19937 rng(static_cast<unsigned>(std::stoul(args[2])));
  for (;;) {
    Phase("start");
    kq::Monitor monitor(std::stoi(args[0]));
    for (int k = static_cast<int>(rng() % 6); k >= 0; --k) {
      monitor.SetBufferSize(4096 << (rng() % 8));
      Phase("attach");
      bool attached = false;
      try {
        attached = monitor.Attach(client, 1000);
      } catch (const kq::EKqError&) {
      }
      if (!attached) {
        kq::SleepMs(20);
        continue;
      }
      Phase("stream");
      for (auto until = After((rng() % 200) / 1000.0); Clock::now() < until && monitor.Attached();) {
        monitor.Poll(5);
        monitor.ReadNew();
      }
      if (rng() % 3 == 0 && monitor.Attached()) {
        Phase("realloc");
        try {
          monitor.Reallocate(4096 << (rng() % 8), 2000);
        } catch (const kq::EKqError&) {
        }
      }
      Phase("detach");
      monitor.Detach();
    }
    Phase("stop");
  }
}

// trace-check MONITOR_ID CLIENT COUNT TIMEOUT_MS: the monitor of a fresh pair: attaches to CLIENT (the
// "driver" role) and must read its COUNT statements "stmt <i>" in order, without a gap.
int TraceCheck(const std::vector<std::string>& args) {
  if (args.size() != 4) return 2;
  const std::int32_t client = std::stoi(args[1]);
  const int count = std::stoi(args[2]);
  const auto deadline = After(std::stoi(args[3]) / 1000.0);
  kq::Monitor monitor(std::stoi(args[0]));
  monitor.SetBufferSize(4 * 1024 * 1024);
  bool attached = false;
  while (!attached && Clock::now() < deadline) {
    if (monitor.Directory().FindClient(client) != -1) {
      try {
        attached = monitor.Attach(client, 2000);
      } catch (const kq::EKqError& e) {
        std::printf("trace-check: %s\n", e.what());
      }
    }
    if (!attached) kq::SleepMs(20);
  }
  if (!attached) {
    std::printf("trace-check: client %d never attached\n", client);
    return 1;
  }
  int next = 0, gaps = 0, wrong = 0;
  auto take = [&](const std::vector<kq::TraceLine>& lines) {
    for (const kq::TraceLine& line : lines) {
      if (line.Gap) {
        ++gaps;
      } else if (line.RefNo != 1) {
        if (line.Text != U("stmt " + std::to_string(next))) ++wrong;
        ++next;
      }
    }
  };
  while (next < count && Clock::now() < deadline && monitor.Attached()) {
    monitor.Poll(20);
    take(monitor.ReadNew());
  }
  take(monitor.ReadNew());
  std::printf("trace-check: client %d, %d of %d statements read, %d gaps, %d out of order\n", client, next, count, gaps,
              wrong);
  return next == count && gaps == 0 && wrong == 0 ? 0 : 1;
}

// register-check ID: a new driver must be able to register while the directory holds dead entries.
int RegisterCheck(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  const std::int32_t id = std::stoi(args[0]);
  kq::TIPCClient client(id, u"late driver");
  try {
    client.Activate();
  } catch (const kq::EKqError& e) {
    std::printf("register-check: client %d refused: %s\n", id, e.what());
    return 1;
  }
  kq::TClientDirectory directory(16);
  if (directory.FindClient(id) == -1) {
    std::printf("register-check: client %d not listed\n", id);
    return 1;
  }
  std::printf("register-check: client %d registered beside %d others\n", id, directory.Count() - 1);
  return 0;
}

// ---- leaks ----

// leak-cycles CYCLES STATEMENTS: in one process, CYCLES times: a monitor starts, a KqClient is made and
// attached, the monitor attaches to it and reads STATEMENTS statements, then the client is released
// (leaving on its own, or every tenth time after the monitor's detach) and the monitor stops.
// Descriptors, threads and resident memory after the run must be what they were after the warm-up.
int LeakCycles(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  const int cycles = std::stoi(args[0]);
  const int statements = std::stoi(args[1]);
  constexpr int WarmUp = 50;
  DriverLibrary library;
  kqtest::ProcessCounters before;
  std::int64_t read = 0;
  int shortCycles = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    if (cycle == WarmUp) before = kqtest::ReadProcessCounters();
    kq::Monitor monitor(5000 + cycle % 7);
    monitor.SetBufferSize(64 * 1024);
    IKqClient* client = library.Attach(77, u"leaky");
    if (!client) return 10;
    if (!monitor.Attach(77, 5000)) {
      client->Release();
      return 11;
    }
    const std::u16string text = u"SELECT name FROM customers WHERE id = 77";
    for (int i = 0; i < statements; ++i) Submit(client, text);
    std::int64_t got = 0;
    for (auto until = After(5); got < statements && Clock::now() < until;) {
      monitor.Poll(1);
      for (const kq::TraceLine& line : monitor.ReadNew()) got += line.Gap ? line.Missing : (line.RefNo == 1 ? 0 : 1);
    }
    read += got;
    if (got < statements) ++shortCycles;
    if (cycle % 10 == 9) {
      monitor.Detach();
      client->Release();
    } else {
      std::atomic<bool> released{false};
      std::thread answer([&] {
        while (!released) monitor.Poll(5);
      });
      client->Release();
      released = true;
      answer.join();
    }
  }
  const kqtest::ProcessCounters after = kqtest::ReadProcessCounters();
  std::printf(
      "leak-cycles: %d cycles, %lld statements read, %d short; descriptors %lld -> %lld, threads %lld -> %lld, "
      "resident %lld KB -> %lld KB\n",
      cycles, static_cast<long long>(read), shortCycles, static_cast<long long>(before.Descriptors),
      static_cast<long long>(after.Descriptors), static_cast<long long>(before.Threads),
      static_cast<long long>(after.Threads), static_cast<long long>(before.ResidentKB),
      static_cast<long long>(after.ResidentKB));
  if (cycles <= WarmUp) return 2;
  const bool flat = after.Descriptors <= before.Descriptors && after.Threads <= before.Threads &&
                    after.ResidentKB - before.ResidentKB < 16 * 1024;
  return flat && shortCycles == 0 ? 0 : 1;
}

// ---- stalled monitor ----

// stall-driver ID COUNT DIR: attaches and waits until its statements are traced, writes DIR/connected,
// waits for DIR/go (the monitor is stopped by then), submits COUNT statements and releases the object,
// timing each call.
int StallDriver(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  const std::int32_t id = std::stoi(args[0]);
  const int count = std::stoi(args[1]);
  const std::filesystem::path dir(args[2]);
  DriverLibrary library;
  IKqClient* client = library.Attach(id, u"stalled");
  if (!client) return 10;
  const std::u16string probe = u"SELECT 1";
  bool connected = false;
  for (auto until = After(30); !connected && Clock::now() < until;) {
    connected = Submit(client, probe) == KqTrue;
    if (!connected) kq::SleepMs(10);
  }
  if (!connected) {
    client->Release();
    return 11;
  }
  std::ofstream(dir / "connected") << "1";
  for (auto until = After(30); !std::filesystem::exists(dir / "go");) {
    if (Clock::now() > until) {
      client->Release();
      return 12;
    }
    kq::SleepMs(5);
  }
  std::int64_t slowestUs = 0, totalUs = 0, traced = 0;
  for (int i = 0; i < count; ++i) {
    const std::u16string text = U("UPDATE stock SET qty = qty - 1 WHERE item = " + std::to_string(i));
    const auto start = Clock::now();
    traced += Submit(client, text) == KqTrue ? 1 : 0;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    slowestUs = std::max<std::int64_t>(slowestUs, us);
    totalUs += us;
  }
  const auto releaseStart = Clock::now();
  client->Release();
  const std::int64_t releaseMs = MsSince(releaseStart);
  std::printf(
      "stall-driver: %d statements while the monitor was stopped, %lld traced, mean %.2f us, slowest %lld us; "
      "release %lld ms\n",
      count, static_cast<long long>(traced), count ? static_cast<double>(totalUs) / count : 0.0,
      static_cast<long long>(slowestUs), static_cast<long long>(releaseMs));
  // Generous bounds: a blocked driver would never end; these catch one that waits on the monitor.
  return slowestUs < 500000 && releaseMs < 6000 ? 0 : 1;
}

// ---- hostile memory ----

constexpr std::int32_t Extremes[] = {INT32_MIN, INT32_MIN + 1, -2, -1, 0, 1, 2, 592, 4096, INT32_MAX - 1, INT32_MAX};

class HostileWriter {
 public:
  explicit HostileWriter(unsigned seed) : FRng(seed) {
    FDirectory = std::make_unique<kq::TSharedMem>(kq::KqClientDirectoryName, 16 * 121 + 32);
    for (std::u16string_view name : {kq::KqMonitorEventName, kq::KqClientEventName, kq::KqConnectEventName}) {
      FRecords.push_back(std::make_unique<kq::TSharedMem>(kq::FormatKq(u"%s.Data", {name}), 12));
      FEvents.push_back(std::make_unique<kq::TEvent>(name, name == kq::KqConnectEventName));
    }
    const auto* bytes = static_cast<const unsigned char*>(FDirectory->Buffer());
    FSoundDirectory.assign(bytes, bytes + FDirectory->MappedSize());
  }

  // Puts the directory back as it was at the start (the driver listed), so that the pair gets
  // through whole handshakes again between the bursts.
  void Repair() { std::memcpy(FDirectory->Buffer(), FSoundDirectory.data(), FSoundDirectory.size()); }

  std::int64_t Writes() const { return FWrites; }

  void Round() {
    switch (FRng() % 6) {
      case 0:
        Scribble(*FDirectory, 0, 32, true);
        break;
      case 1:
        Scribble(*FDirectory, 32, FDirectory->MappedSize(), false);
        break;
      case 2:
      case 3: {
        const std::size_t which = FRng() % FRecords.size();
        kq::TSharedMem& record = *FRecords[which];
        PutInt(record, 0, Value());
        static_cast<unsigned char*>(record.Buffer())[4] = static_cast<unsigned char>(FRng());
        PutInt(record, 8, Value());
        ++FWrites;
        if (FRng() % 2) FEvents[which]->Signal();
        break;
      }
      default:
        Buffer();
        break;
    }
  }

 private:
  std::int32_t Value() {
    if (FRng() % 3 == 0) return static_cast<std::int32_t>(FRng());
    return Extremes[FRng() % std::size(Extremes)];
  }

  void PutInt(kq::TSharedMem& mem, std::size_t offset, std::int32_t value) {
    if (offset + 4 <= mem.MappedSize()) std::memcpy(static_cast<unsigned char*>(mem.Buffer()) + offset, &value, 4);
  }

  // Extreme values at aligned places, or random bytes anywhere, in [from, to).
  void Scribble(kq::TSharedMem& mem, std::size_t from, std::size_t to, bool aligned) {
    to = std::min(to, mem.MappedSize());
    if (to <= from + 4) return;
    for (int n = static_cast<int>(FRng() % 8) + 1; n > 0; --n, ++FWrites) {
      std::size_t at = from + FRng() % (to - from - 4);
      if (aligned) at &= ~std::size_t{3};
      if (FRng() % 2)
        PutInt(mem, at, Value());
      else
        static_cast<unsigned char*>(mem.Buffer())[at] = static_cast<unsigned char>(FRng());
    }
  }

  // The trace buffer at the size the monitor asked for, held only for one round: header fields,
  // record links that point at themselves, backwards, outside, and random bytes.
  void Buffer() {
    std::int32_t size = 0;
    std::memcpy(&size, static_cast<unsigned char*>(FDirectory->Buffer()) + 24, 4);
    if (size < 4096 || size > 4 * 1024 * 1024) size = 64 * 1024;
    std::unique_ptr<kq::TSharedMem> buffer;
    try {
      buffer = std::make_unique<kq::TSharedMem>(kq::KqBufferName, size + 592);
    } catch (const kq::EKqError&) {
      return;  // another size is there now
    }
    if (buffer->Created()) return;  // nobody uses one; ours goes again
    std::int32_t last = 0;
    std::memcpy(&last, static_cast<unsigned char*>(buffer->Buffer()) + 8, 4);
    switch (FRng() % 4) {
      case 0:
        Scribble(*buffer, 0, 68, true);
        break;
      case 1:
        if (last >= 592 && static_cast<std::size_t>(last) + 20 <= buffer->MappedSize()) {
          const std::int32_t targets[] = {last, last - 50, 0, 3, 592, INT32_MAX, static_cast<std::int32_t>(FRng())};
          PutInt(*buffer, static_cast<std::size_t>(last) + 4 * (FRng() % 5), targets[FRng() % std::size(targets)]);
          ++FWrites;
        }
        break;
      case 2:
        Scribble(*buffer, 592, buffer->MappedSize(), false);
        break;
      default:
        Scribble(*buffer, 592, buffer->MappedSize(), true);
        break;
    }
  }

  std::mt19937 FRng;
  std::unique_ptr<kq::TSharedMem> FDirectory;
  std::vector<unsigned char> FSoundDirectory;
  std::vector<std::unique_ptr<kq::TSharedMem>> FRecords;
  std::vector<std::unique_ptr<kq::TEvent>> FEvents;
  std::int64_t FWrites = 0;
};

// hostile-writer SECONDS SEED: for SECONDS, writes extremes, cycles, out-of-range offsets and random
// bytes into the directory, the event records and the trace buffer, and sets the events; now and then
// it puts the directory back and pauses, so that the pair attaches again under the next burst.
int HostileWriterRole(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  const auto deadline = After(std::stod(args[0]));
  HostileWriter writer(static_cast<unsigned>(std::stoul(args[1])));
  std::int64_t rounds = 0;
  while (Clock::now() < deadline) {
    writer.Round();
    // Bursts with breathing space, so that the pair also gets through whole handshakes.
    if (++rounds % 64 == 0) kq::SleepMs(2);
    if (rounds % 1024 == 0) {
      writer.Repair();
      kq::SleepMs(100);
    }
  }
  std::printf("hostile-writer: %lld rounds, %lld hostile writes\n", static_cast<long long>(rounds),
              static_cast<long long>(writer.Writes()));
  return 0;
}

kqtest::HelperRole soakDriverRole("soak-driver", SoakDriver);
kqtest::HelperRole soakMonitorRole("soak-monitor", SoakMonitor);
kqtest::HelperRole soakCheckRole("soak-check", SoakCheck);
kqtest::HelperRole chaosDriverRole("chaos-driver", ChaosDriver);
kqtest::HelperRole chaosMonitorRole("chaos-monitor", ChaosMonitor);
kqtest::HelperRole traceCheckRole("trace-check", TraceCheck);
kqtest::HelperRole registerCheckRole("register-check", RegisterCheck);
kqtest::HelperRole leakCyclesRole("leak-cycles", LeakCycles);
kqtest::HelperRole stallDriverRole("stall-driver", StallDriver);
kqtest::HelperRole hostileWriterRole("hostile-writer", HostileWriterRole);

}  // namespace

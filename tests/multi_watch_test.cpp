// The watch of many clients: real processes, each scenario in a namespace of its own. Every client's
// accounting must be exact: what its ring took (the first line and each statement it reported as
// stored) is either read, in order and at its place, or counted in a gap.
#include "multi_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "com_test_monitor.h"
#include "ipc_buffer.h"
#include "ipc_client.h"
#include "monitor.h"
#include "private_channel.h"
#include "record_outcome.h"
#include "test_support.h"
#include "text.h"

using namespace kq;

namespace {

struct ClientResult {
  bool Private = false;
  std::int64_t Records = 0;
  std::int64_t Missing = 0;
  std::int64_t Mismatched = 0;
  bool Ended = false;
  bool Detached = false;
  std::int64_t AccountRecords = -1;
  std::int64_t AccountMissing = -1;
};

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

void Touch(const std::string& path) { std::ofstream(path) << "stop\n"; }

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// "traced N ..." of a driver's result file, -1 while it has none.
std::int64_t Traced(const std::string& path, bool* isPrivate = nullptr) {
  std::istringstream in(Slurp(path));
  std::string word, privateWord;
  std::int64_t traced = -1;
  int privateFlag = 0;
  in >> word >> traced >> privateWord >> privateFlag;
  if (isPrivate) *isPrivate = privateFlag == 1;
  return word == "traced" ? traced : -1;
}

std::map<std::int32_t, ClientResult> ReadWatch(const std::string& path) {
  std::map<std::int32_t, ClientResult> results;
  std::istringstream in(Slurp(path));
  std::string kind;
  while (in >> kind) {
    std::int32_t id = 0;
    if (kind == "client") {
      ClientResult& r = results[(in >> id, id)];
      int isPrivate = 0, ended = 0, detached = 0;
      in >> isPrivate >> r.Records >> r.Missing >> r.Mismatched >> ended >> detached;
      r.Private = isPrivate == 1;
      r.Ended = ended == 1;
      r.Detached = detached == 1;
    } else if (kind == "account") {
      ClientResult& r = results[(in >> id, id)];
      in >> r.AccountRecords >> r.AccountMissing;
    }
  }
  return results;
}

// A watch-many helper: started, waited for until ready, stopped and read.
class WatchProcess {
 public:
  WatchProcess(std::int32_t monitorID, int ringKB, const std::string& name)
      : FStop(kqtest::TempPath(name + ".stop")), FResult(kqtest::TempPath(name + ".txt")) {
    FProcess = std::make_unique<kqtest::ChildProcess>(
        std::vector<std::string>{"watch-many", std::to_string(monitorID), std::to_string(ringKB), FStop, FResult});
    EXPECT_TRUE(kqtest::WaitUntil([&] { return Exists(FResult + ".ready"); }, 20000));
  }
  std::map<std::int32_t, ClientResult> Stop() {
    Touch(FStop);
    EXPECT_EQ(FProcess->Wait(30000), std::optional<int>(0));
    return ReadWatch(FResult);
  }
  void Kill() { FProcess->Kill(); }

 private:
  std::string FStop;
  std::string FResult;
  std::unique_ptr<kqtest::ChildProcess> FProcess;
};

struct Driver {
  std::int32_t ID;
  std::string Result;
  std::unique_ptr<kqtest::ChildProcess> Process;
};

Driver StartDriver(std::int32_t id, int count, int pauseMs, int holdMs) {
  Driver d{id, kqtest::TempPath("driver" + std::to_string(id) + ".txt"), nullptr};
  d.Process = std::make_unique<kqtest::ChildProcess>(
      std::vector<std::string>{"chan-driver", std::to_string(id), std::to_string(count), std::to_string(pauseMs),
                               std::to_string(holdMs), d.Result});
  return d;
}

// Every record a client's ring took is read at its place or counted in a gap, by the test's own
// check of the texts and by the watch's accounting alike.
void ExpectExact(const std::map<std::int32_t, ClientResult>& results, std::int32_t id, std::int64_t traced) {
  SCOPED_TRACE("client " + std::to_string(id));
  const auto it = results.find(id);
  ASSERT_NE(it, results.end());
  const ClientResult& r = it->second;
  EXPECT_EQ(r.Mismatched, 0);
  EXPECT_EQ(r.Records + r.Missing, traced + 1);  // the first line, then every stored statement
  EXPECT_EQ(r.AccountRecords, r.Records);
  EXPECT_EQ(r.AccountMissing, r.Missing);
}

}  // namespace

TEST(MultiWatch, SixteenClientsOfOursAreWatchedAtOnceEachExactly) {
  kqtest::ScopedNamespace ns;
  WatchProcess watch(5100, 64, "watch");
  std::vector<Driver> drivers;
  for (std::int32_t id = 1; id <= 16; ++id) drivers.push_back(StartDriver(id, 4000, 0, 0));
  for (Driver& d : drivers) EXPECT_EQ(d.Process->Wait(60000), std::optional<int>(0));
  const auto results = watch.Stop();
  std::int64_t read = 0;
  for (Driver& d : drivers) {
    bool isPrivate = false;
    const std::int64_t traced = Traced(d.Result, &isPrivate);
    EXPECT_TRUE(isPrivate) << d.ID;
    EXPECT_EQ(traced, 4000) << "with our monitor registered every statement is stored: " << d.ID;
    ExpectExact(results, d.ID, traced);
    if (results.count(d.ID)) {
      EXPECT_TRUE(results.at(d.ID).Private);
      EXPECT_TRUE(results.at(d.ID).Detached) << "left on its own: " << d.ID;
      read += results.at(d.ID).Records;
    }
  }
  EXPECT_GT(read, 16) << "records were read, not only counted missing";
}

TEST(MultiWatch, ARawLayoutClientIsWatchedThroughTheSharedBufferBesideOurs) {
  kqtest::ScopedNamespace ns;
  WatchProcess watch(5200, 64, "watch");
  const std::string rawResult = kqtest::TempPath("raw.txt");
  kqtest::ChildProcess raw({"raw-client", "900", "3000", "0", rawResult});
  std::vector<Driver> drivers;
  // Clients start and leave while the watch runs: short ones, long ones, late ones.
  for (std::int32_t id = 1; id <= 8; ++id) drivers.push_back(StartDriver(id, 500 * id, id % 3, 0));
  kqtest::SleepForMs(300);
  for (std::int32_t id = 9; id <= 15; ++id) drivers.push_back(StartDriver(id, 1500, 1, 100));
  for (Driver& d : drivers) EXPECT_EQ(d.Process->Wait(60000), std::optional<int>(0));
  EXPECT_EQ(raw.Wait(60000), std::optional<int>(0));
  const auto results = watch.Stop();
  for (Driver& d : drivers) ExpectExact(results, d.ID, Traced(d.Result));
  const std::int64_t rawTraced = Traced(rawResult);
  EXPECT_EQ(rawTraced, 3000) << "the raw client was attached within its 10 s";
  ExpectExact(results, 900, rawTraced);
  ASSERT_TRUE(results.count(900));
  EXPECT_FALSE(results.at(900).Private);
  EXPECT_TRUE(results.at(900).Detached);
}

TEST(MultiWatch, ClientsKilledMidStreamAreReportedEndedAndAccountedExactly) {
  kqtest::ScopedNamespace ns;
  WatchProcess watch(5300, 64, "watch");
  std::vector<Driver> steady;
  for (std::int32_t id = 1; id <= 4; ++id) steady.push_back(StartDriver(id, 2000, 1, 0));
  std::vector<Driver> doomed;
  for (std::int32_t id = 11; id <= 13; ++id) doomed.push_back(StartDriver(id, 1000000, 1, -1));
  kqtest::SleepForMs(800);
  for (Driver& d : doomed) d.Process->Kill();
  for (Driver& d : steady) EXPECT_EQ(d.Process->Wait(60000), std::optional<int>(0));
  kqtest::SleepForMs(1000);  // the watch looks for the dead a few times a second
  const auto results = watch.Stop();
  for (Driver& d : steady) ExpectExact(results, d.ID, Traced(d.Result));
  for (Driver& d : doomed) {
    SCOPED_TRACE("killed client " + std::to_string(d.ID));
    ASSERT_TRUE(results.count(d.ID));
    const ClientResult& r = results.at(d.ID);
    EXPECT_TRUE(r.Ended);
    EXPECT_EQ(r.Mismatched, 0);
    EXPECT_GT(r.Records, 1) << "its statements up to the kill were read";
    EXPECT_EQ(r.AccountRecords, r.Records);
    EXPECT_EQ(r.AccountMissing, r.Missing);
  }
}

// A watch killed while `drivers` clients of ours stream on their rings, then a successor: every
// statement a driver counted as traced is read by the successor or counted in its gaps. Between the
// two, as `between` says, every client looks at the directory at least once while it shows nothing
// more, the dead watch's registration withdrawn (as the next opener of the directory does), or a
// monitor of ours registered that has not made its offer (as a successor is between the two steps).
namespace {

enum class Between { Nothing, Withdrawn, OursWithoutOffer };

void ExpectTakeOverAccountsForEveryRecord(std::int32_t firstID, std::int32_t drivers, int statements, Between between) {
  auto first = std::make_unique<WatchProcess>(firstID, 256, "first");
  std::vector<Driver> running;
  for (std::int32_t id = 1; id <= drivers; ++id) running.push_back(StartDriver(id, statements, 4, 300));
  // Killed once every driver is on its ring (a slow start, as under Wine or a sanitizer, must not make
  // a driver find no monitor at all), while they stream.
  {
    const kq::ChannelTable channels;
    ASSERT_TRUE(kqtest::WaitUntil(
        [&] {
          int published = 0;
          for (std::int32_t slot = 0; slot < kq::KqChannelSlots; ++slot) {
            const kq::ChannelSlot entry = channels.Slot(slot);
            if (entry.State == kq::ChannelSlotState::Published && entry.ClientID >= 1 && entry.ClientID <= drivers)
              ++published;
          }
          return published == drivers;
        },
        30000));
  }
  kqtest::SleepForMs(200);
  first->Kill();
  std::optional<kq::Monitor> registeredOnly;
  switch (between) {
    case Between::Nothing:
      kqtest::SleepForMs(400);
      break;
    case Between::Withdrawn:
      // Each opening withdraws the registration once its holder is seen dead.
      EXPECT_TRUE(
          kqtest::WaitUntil([] { return kq::TClientDirectory(kq::KqDirectoryCapacity).MonitorID() == 0; }, 30000));
      kqtest::SleepForMs(1000);  // every client looks at least once meanwhile
      break;
    case Between::OursWithoutOffer:
      registeredOnly.emplace(firstID + 2);
      kqtest::SleepForMs(1000);
      break;
  }
  // The rings outlive the dead monitor: the next one joins them and reads from their first record.
  WatchProcess second(firstID + 1, 256, "second");
  registeredOnly.reset();
  for (Driver& d : running) EXPECT_EQ(d.Process->Wait(60000), std::optional<int>(0));
  const auto results = second.Stop();
  for (Driver& d : running) {
    bool isPrivate = false;
    const std::int64_t traced = Traced(d.Result, &isPrivate);
    EXPECT_EQ(traced, statements) << "no statement was dropped while no monitor lived: " << d.ID;
    EXPECT_TRUE(isPrivate);
    ExpectExact(results, d.ID, traced);
  }
}

}  // namespace

TEST(MultiWatch, AMonitorKilledMidStreamIsSucceededByOneThatAccountsForEveryRecord) {
  kqtest::ScopedNamespace ns;
  ExpectTakeOverAccountsForEveryRecord(5400, 6, 600, Between::Nothing);
}

// The clients look at the registration every 200 ms, and a successor starting up withdraws the dead
// one's a moment before it registers: their rings must wait for it also then.
TEST(MultiWatch, RingsWaitForTheNextMonitorAlsoOnceTheDeadOnesRegistrationIsWithdrawn) {
  kqtest::ScopedNamespace ns;
  ExpectTakeOverAccountsForEveryRecord(5450, 3, 400, Between::Withdrawn);
}

// A successor registers a moment before it makes its offer; a client that looks in that moment sees a
// living monitor of ours that offers nothing. Held open here for a second, so that every client looks.
TEST(MultiWatch, RingsWaitForTheNextMonitorWhileItIsRegisteredButHasNotYetOffered) {
  kqtest::ScopedNamespace ns;
  ExpectTakeOverAccountsForEveryRecord(5500, 3, 400, Between::OursWithoutOffer);
}

// A monitor that knows only the shared objects never meets the extension: our client attaches through
// "KqBuffer" as before, and makes no private object.
TEST(MultiWatch, ARawLayoutMonitorSeesOurClientExactlyAsBefore) {
  kqtest::ScopedNamespace ns;
  {
    // A watch of ours that came and went leaves no offer behind.
    MultiWatch earlier(6000, 64 * 1024);
  }
  kqtest::TestMonitor monitor;
  TIPCClient client(71, u"plain");
  client.Activate();
  EXPECT_FALSE(client.Private());
  ASSERT_TRUE(monitor.Attach(71));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return client.State() == stConnected; }));
  EXPECT_FALSE(client.Private());
  const std::u16string text = u"select 1";
  EXPECT_TRUE(client.AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2)));
  client.SignalMonitor();
  EXPECT_EQ(monitor.LastRecord().second, text);
  EXPECT_TRUE(monitor.WaitForClient(71, evClientSignal, 5000).has_value())
      << "the statement's signal carries the client's ID in the shared record";
  // No ring of its own was made: opening it now creates it.
  TIPCBuffer probe(PrivateRingName(71), 64 * 1024, KqBufferBlocks);
  EXPECT_TRUE(probe.SharedMem().Created());
}

// Our monitor died; a monitor that knows only the shared objects registers and asks our client on
// the connect event: the client leaves its private ring and attaches through "KqBuffer".
TEST(MultiWatch, ARawLayoutMonitorAfterOursGetsOurClientBack) {
  kqtest::ScopedNamespace ns;
  auto first = std::make_unique<WatchProcess>(5500, 64, "first");
  Driver driver = StartDriver(31, 1, 0, 20000);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return Traced(driver.Result) >= 0; }, 20000));
  bool isPrivate = false;
  Traced(driver.Result, &isPrivate);
  EXPECT_TRUE(isPrivate);
  first->Kill();
  kqtest::TestMonitor monitor;  // registers another ID
  EXPECT_TRUE(monitor.Attach(31)) << "the client answers the shared attach";
}

TEST(MultiWatch, SignalsAndReallocationReachOnlyTheAddressedClient) {
  kqtest::ScopedNamespace ns;
  MultiWatch watch(5600, 64 * 1024);
  struct Seen {
    std::atomic<int> Value{0};
    std::atomic<int> Count{0};
  } seen[3];
  std::vector<std::unique_ptr<TIPCClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<TIPCClient>(40 + i, u"sig"));
    clients.back()->SetOnSignal({[](void* self, TIPCThread*, std::int32_t data) {
                                   auto* s = static_cast<Seen*>(self);
                                   s->Value = data;
                                   ++s->Count;
                                 },
                                 &seen[i]});
    clients.back()->Activate();
    EXPECT_TRUE(clients.back()->Private());
  }
  ASSERT_TRUE(kqtest::WaitUntil([&] {
    watch.Poll(10);
    watch.ReadNew([](std::int32_t, const TraceLineView&) {});
    return watch.Clients().size() == 3;
  }));
  EXPECT_TRUE(watch.SendSignal(41, 77));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return seen[1].Count.load() == 1; }));
  kqtest::SleepForMs(100);
  EXPECT_EQ(seen[1].Value.load(), 77);
  EXPECT_EQ(seen[0].Count.load(), 0);
  EXPECT_EQ(seen[2].Count.load(), 0);

  // Statements still unread when their ring is replaced are handed on after the reallocation, the
  // outcome of one with it.
  const std::u16string before = u"before realloc", timed = u"timed before realloc";
  EXPECT_TRUE(clients[2]->AddData(before.c_str(), static_cast<std::int32_t>((before.size() + 1) * 2)));
  kq::TOutcomeTail tail;
  tail.DurationMicros = 1234;
  tail.Rows = 5;
  std::vector<unsigned char> payload((timed.size() + 1) * 2 + static_cast<std::size_t>(tail.Bytes()));
  std::memcpy(payload.data(), timed.c_str(), (timed.size() + 1) * 2);
  tail.WriteTo(payload.data() + (timed.size() + 1) * 2);
  EXPECT_TRUE(clients[2]->AddData(payload.data(), static_cast<std::int32_t>(payload.size())));
  clients[2]->SignalMonitor();
  ASSERT_TRUE(watch.Reallocate(42, 256 * 1024));
  std::vector<std::u16string> handedOn;
  std::vector<std::optional<kq::TRecordOutcome>> outcomes;
  watch.ReadNew([&](std::int32_t id, const TraceLineView& line) {
    if (id != 42 || line.Gap) return;
    handedOn.emplace_back(line.Text);
    outcomes.push_back(line.Outcome());
  });
  EXPECT_EQ(handedOn, (std::vector<std::u16string>{before, timed}));
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_FALSE(outcomes[0].has_value());
  ASSERT_TRUE(outcomes[1].has_value());
  EXPECT_EQ(outcomes[1]->DurationMicros, 1234);
  EXPECT_EQ(outcomes[1]->Rows, 5);
  EXPECT_EQ(watch.Accounting(42)->RingSize, 256 * 1024);
  EXPECT_EQ(watch.Accounting(40)->RingSize, 64 * 1024);
  const std::u16string text = u"after realloc";
  std::vector<std::pair<std::int32_t, std::u16string>> read;
  for (auto& client : clients) {
    EXPECT_TRUE(client->AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2)));
    client->SignalMonitor();
  }
  ASSERT_TRUE(kqtest::WaitUntil([&] {
    watch.Poll(10);
    watch.ReadNew([&](std::int32_t id, const TraceLineView& line) {
      if (!line.Gap) read.emplace_back(id, std::u16string(line.Text));
    });
    return read.size() >= 3;
  }));
  std::map<std::int32_t, int> perClient;
  for (const auto& [id, line] : read) {
    EXPECT_EQ(line, text);
    ++perClient[id];
  }
  EXPECT_EQ(perClient, (std::map<std::int32_t, int>{{40, 1}, {41, 1}, {42, 1}}));

  EXPECT_TRUE(watch.Detach(40));
  EXPECT_EQ(clients[0]->State(), stDisconnected);
  EXPECT_TRUE(clients[1]->Private());
  EXPECT_FALSE(clients[0]->AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2)));
}

// A program as short as one statement leaves before the watch has met it: its ring is kept until the
// watch answers, so the statement is read all the same.
TEST(MultiWatch, AOneStatementProgramIsReadAlthoughItLeavesAtOnce) {
  kqtest::ScopedNamespace ns;
  WatchProcess watch(5700, 64, "watch");
  std::vector<Driver> drivers;
  for (std::int32_t id = 1; id <= 4; ++id) drivers.push_back(StartDriver(id, 1, 0, 0));
  for (Driver& d : drivers) EXPECT_EQ(d.Process->Wait(30000), std::optional<int>(0));
  const auto results = watch.Stop();
  for (Driver& d : drivers) {
    EXPECT_EQ(Traced(d.Result), 1);
    ExpectExact(results, d.ID, 1);
    if (results.count(d.ID)) {
      EXPECT_EQ(results.at(d.ID).Records, 2) << "the first line and the statement: " << d.ID;
    }
  }
}

TEST(MultiWatch, AShortLivedCommandBesideTheWatchLeavesClientsOnTheirRings) {
  // `kqmon list` and the like register for a moment and hand the registration back: a client on a
  // ring of its own must not take that for the end of its monitor and leave (dropping statements).
  kqtest::ScopedNamespace ns;
  WatchProcess watch(5600, 64, "watch");
  Driver d = StartDriver(61, 3000, 1, 0);
  for (int i = 0; i < 40 && !d.Process->Wait(0); ++i) {
    { const Monitor briefly(5601); }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(d.Process->Wait(60000), std::optional<int>(0));
  const auto results = watch.Stop();
  bool isPrivate = false;
  EXPECT_EQ(Traced(d.Result, &isPrivate), 3000);
  EXPECT_TRUE(isPrivate);
  ExpectExact(results, 61, 3000);
}

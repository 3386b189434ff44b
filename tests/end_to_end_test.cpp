#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "client_directory.h"
#include "ipc_client.h"
#include "ipc_event.h"
#include "monitor.h"
#include "test_support.h"
#include "text.h"

using namespace kq;

namespace {

std::u16string Statement(int i) { return Utf8ToUtf16("stmt " + std::to_string(i)); }

// Reads everything the attached client sends until it detaches (or timeOutMs passes).
std::vector<TraceLine> ReadUntilDetach(Monitor& monitor, int timeOutMs = 60000) {
  std::vector<TraceLine> lines;
  auto deadline = kqtest::SteadyMs() + timeOutMs;
  while (kqtest::SteadyMs() < deadline) {
    MonitorMessage message = monitor.Poll(100);
    for (auto& line : monitor.ReadNew()) lines.push_back(std::move(line));
    if (message.News == MonitorNews::ClientDetached && !monitor.Attached()) break;
  }
  for (auto& line : monitor.ReadNew()) lines.push_back(std::move(line));
  EXPECT_TRUE(monitor.ReadNew().empty()) << "one read after the client is quiet gets everything";
  return lines;
}

bool AttachWhenListed(Monitor& monitor, std::int32_t id) {
  if (!kqtest::WaitUntil([&] { return monitor.Directory().FindClient(id) != -1; })) return false;
  return monitor.Attach(id);
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

TEST(EndToEnd, EveryStatementSubmittedWhileAttachedIsReadInOrder) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(777);
  monitor.SetBufferSize(1024 * 1024);
  const int count = 3000;
  kqtest::ChildProcess driver({"driver", "5", std::to_string(count), "0", "0"});
  ASSERT_TRUE(AttachWhenListed(monitor, 5));
  std::vector<TraceLine> lines = ReadUntilDetach(monitor);
  ASSERT_EQ(driver.Wait(20000), 0);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(count + 1));
  EXPECT_EQ(lines[0].Text, u"Log started for: driver5");
  for (int i = 0; i < count; ++i) {
    const TraceLine& line = lines[static_cast<std::size_t>(i) + 1];
    ASSERT_FALSE(line.Gap) << i;
    ASSERT_EQ(line.RefNo, i + 2);
    ASSERT_EQ(line.Text, Statement(i));
  }
}

TEST(EndToEnd, ASmallBufferSpoolsWhatTheMonitorCouldNotReadAndReportsTheGaps) {
  kqtest::ScopedNamespace ns;
  const std::string spool = kqtest::TempPath("spool.txt");
  Monitor monitor(778);
  monitor.SetBufferSize(4096);
  monitor.SetViewSettings(true, false, Utf8ToUtf16(spool));
  const int count = 4000;
  kqtest::ChildProcess driver({"driver", "6", std::to_string(count), "0", "0"});
  ASSERT_TRUE(AttachWhenListed(monitor, 6));
  std::vector<TraceLine> lines = ReadUntilDetach(monitor);
  ASSERT_EQ(driver.Wait(20000), 0);

  // Read lines carry "<refno>  <text>"; every statement was either read or spooled, and neither list
  // holds one twice or out of order. Reported gaps add up to what was not read.
  std::set<std::string> seen;
  int lastRead = -1, gapTotal = 0, readCount = 0;
  for (const TraceLine& line : lines) {
    if (line.Gap) {
      gapTotal += line.Missing;
      continue;
    }
    ++readCount;
    std::string text = Utf16ToUtf8(line.Text);
    std::size_t at = text.find("stmt ");
    if (at == std::string::npos) continue;
    int i = std::stoi(text.substr(at + 5));
    EXPECT_GT(i, lastRead);
    lastRead = i;
    seen.insert(text.substr(at));
  }
  int lastSpooled = -1;
  std::set<std::string> spooled;
  for (const std::string& line : ReadLines(spool)) {
    if (line.rfind("stmt ", 0) != 0) continue;
    int i = std::stoi(line.substr(5));
    EXPECT_GT(i, lastSpooled);
    lastSpooled = i;
    EXPECT_TRUE(spooled.insert(line).second);
    seen.insert(line);
  }
  EXPECT_FALSE(spooled.empty()) << "a 4 KB buffer must have evicted";
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(count));
  EXPECT_EQ(readCount + gapTotal, count + 1) << "every reference number was either shown or reported missing";
}

TEST(EndToEnd, AMonitorAsleepOnItsEventIsWokenByEachStatementOfAQuietDriver) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(780);
  kqtest::ChildProcess driver({"driver", "9", "5", "300", "1000"});
  ASSERT_TRUE(AttachWhenListed(monitor, 9));
  std::size_t read = 0;
  const std::int64_t started = kqtest::SteadyMs();
  // Each poll may sleep a minute: only the client's signals end them early.
  while (read < 6 && kqtest::SteadyMs() - started < 30000) {
    monitor.Poll(60000);
    read += monitor.ReadNew().size();
  }
  EXPECT_EQ(read, 6u) << "the first line and five statements";
  EXPECT_LT(kqtest::SteadyMs() - started, 30000);
}

TEST(EndToEnd, AKilledMonitorNeverBlocksTheDriver) {
  kqtest::ScopedNamespace ns;
  auto client = std::make_unique<TIPCClient>(8, u"survivor");
  client->Activate();
  kqtest::ChildProcess monitor({"monitor", "901", "8"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return client->State() == stConnected; }, 20000));
  monitor.Kill();
  ASSERT_TRUE(monitor.Wait(10000));
  std::u16string text = u"INSERT INTO audit_log (event) VALUES ('after the monitor died')";
  for (int i = 0; i < 20000; ++i) {
    client->AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
    client->SignalMonitor();
  }
  EXPECT_EQ(client->State(), stConnected);
  auto started = kqtest::SteadyMs();
  client.reset();  // waits at most the 2 s for the dead monitor's answer
  EXPECT_LT(kqtest::SteadyMs() - started, 15000);
}

TEST(EndToEnd, AKilledDriverLeavesTheMonitorRunningAndShowsAsNotAlive) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(779);
  kqtest::ChildProcess doomed({"driver", "31", "1000000", "2", "-1"});
  kqtest::ChildProcess idle({"driver", "32", "0", "0", "-1"});
  ASSERT_TRUE(AttachWhenListed(monitor, 31));
  ASSERT_TRUE(kqtest::WaitUntil([&] {
    monitor.Poll(50);
    return monitor.ReadNew().size() > 0;
  }));
  // Both are listed before the kill: a client registering afterwards would purge the dead entry.
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory().FindClient(32) != -1; }));
  doomed.Kill();
  ASSERT_TRUE(doomed.Wait(10000));
  monitor.Poll(300);
  monitor.ReadNew();
  monitor.Detach(500);  // nobody answers; the monitor goes on

  // A ping is a pulse of the connect event: a client that is not waiting on it at that moment (under
  // Wine, one busy with its look at the offers) does not see it, and answers the next one.
  monitor.Ping();
  std::int64_t pinged = kqtest::SteadyMs();
  ASSERT_TRUE(kqtest::WaitUntil(
      [&] {
        auto position = monitor.Directory().FindClient(32);
        if (position != -1 && monitor.Directory().GetClientRec(position).Alive == 1) return true;
        if (kqtest::SteadyMs() - pinged > 1000) {
          monitor.Ping(false);
          pinged = kqtest::SteadyMs();
        }
        return false;
      },
      30000));
  std::int32_t dead = monitor.Directory().FindClient(31);
  ASSERT_NE(dead, -1) << "a killed client cannot remove its own entry";
  EXPECT_EQ(monitor.Directory().GetClientRec(dead).Alive, 0);
  EXPECT_TRUE(monitor.Directory().ClientDead(31));
  EXPECT_FALSE(monitor.Directory().ClientDead(32));
  EXPECT_TRUE(monitor.Attach(32)) << "the monitor still works with the live client";
}

namespace {

// Starts `count` drivers with IDs from `first` on, waits until all are listed and kills them with -9.
void KillListedDrivers(TClientDirectory& directory, int first, int count) {
  std::vector<std::unique_ptr<kqtest::ChildProcess>> drivers;
  for (int id = first; id < first + count; ++id)
    drivers.push_back(
        std::make_unique<kqtest::ChildProcess>(std::vector<std::string>{"driver", std::to_string(id), "0", "0", "-1"}));
  for (int id = first; id < first + count; ++id)
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.FindClient(id) != -1; }, 60000)) << "driver " << id;
  for (auto& driver : drivers) driver->Kill();
  for (auto& driver : drivers) ASSERT_TRUE(driver->Wait(10000));
}

}  // namespace

TEST(DeadOwners, TwentyDriversKilledWhileAMonitorRunsLeaveRoomForATracedDriver) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(780);
  TClientDirectory& directory = monitor.Directory();
  ASSERT_NO_FATAL_FAILURE(KillListedDrivers(directory, 100, 16));
  EXPECT_EQ(directory.Count(), 16);
  for (int id = 100; id < 116; ++id) EXPECT_TRUE(directory.ClientDead(id)) << "listed as dead until purged: " << id;

  // The table is full of dead entries: the first of these purges them before anything is refused.
  ASSERT_NO_FATAL_FAILURE(KillListedDrivers(directory, 200, 4));
  EXPECT_EQ(directory.Count(), 4);
  EXPECT_EQ(directory.FindClient(100), -1);

  kqtest::ChildProcess driver({"driver", "300", "50", "0", "0"});
  ASSERT_TRUE(AttachWhenListed(monitor, 300));
  std::vector<TraceLine> lines = ReadUntilDetach(monitor);
  ASSERT_EQ(driver.Wait(20000), 0);
  ASSERT_EQ(lines.size(), 51u);
  EXPECT_EQ(lines[50].Text, Statement(49));
  EXPECT_EQ(directory.Count(), 0) << "the last four dead went when the traced driver registered";
}

TEST(DeadOwners, EntriesWithoutALivenessObjectAreNeverPurged) {
  kqtest::ScopedNamespace ns;
  TClientDirectory directory(KqDirectoryCapacity);
  ASSERT_EQ(kqtest::RunHelper({"dir-add", "16", "42", "another implementation", "1"}), 0);
  TIPCClient client(43, u"ours");
  client.Activate();
  EXPECT_NE(directory.FindClient(42), -1) << "an entry whose owner has no liveness object stays";
  EXPECT_FALSE(directory.ClientDead(42));
  EXPECT_TRUE(directory.ClientOwned(43));
  EXPECT_FALSE(directory.ClientDead(43));
}

TEST(DeadOwners, TheMonitorReportsAWatchedClientThatDied) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(782);
  kqtest::ChildProcess doomed({"driver", "33", "1000000", "2", "-1"});
  ASSERT_TRUE(AttachWhenListed(monitor, 33));
  ASSERT_TRUE(kqtest::WaitUntil([&] {
    monitor.Poll(50);
    return !monitor.ReadNew().empty();
  }));
  doomed.Kill();
  ASSERT_TRUE(doomed.Wait(10000));
  std::optional<MonitorMessage> ended;
  ASSERT_TRUE(kqtest::WaitUntil(
      [&] {
        MonitorMessage message = monitor.Poll(100);
        monitor.ReadNew();
        if (message.News == MonitorNews::ClientEnded) ended = message;
        return ended.has_value();
      },
      20000));
  EXPECT_EQ(ended->ClientID, 33);
  EXPECT_FALSE(monitor.Attached());
  EXPECT_TRUE(monitor.Directory().ClientDead(33));
}

TEST(DeadOwners, AKilledMonitorIsTakenOverAndNeverGetsTheRegistrationBack) {
  kqtest::ScopedNamespace ns;
  TClientDirectory directory(KqDirectoryCapacity);
  TIPCEvent monitorEvent(KqMonitorEventName, false);
  kqtest::ChildProcess dead({"monitor-idle", "901"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.MonitorID() == 901; }, 20000));
  EXPECT_TRUE(directory.MonitorRunning());
  dead.Kill();
  ASSERT_TRUE(dead.Wait(10000));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.MonitorDead(901); }));
  EXPECT_EQ(directory.MonitorID(), 901) << "nobody has taken over yet";
  {
    TIPCClient client(61, u"after the monitor died");
    client.Activate();
    EXPECT_FALSE(monitorEvent.Wait(500)) << "a dead monitor is no monitor: no evClientStart";
  }
  EXPECT_FALSE(monitorEvent.Wait(300)) << "nor evClientStop";

  {
    Monitor next(902);
    EXPECT_EQ(directory.MonitorID(), 902);
    EXPECT_FALSE(next.LiveOtherMonitor());
  }
  EXPECT_EQ(directory.MonitorID(), 0) << "the registration is not handed back to the dead monitor";

  // A live monitor still gets it back from a short-lived one.
  kqtest::ChildProcess live({"monitor-idle", "903"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.MonitorID() == 903; }, 20000));
  {
    Monitor brief(904);
    EXPECT_EQ(brief.LiveOtherMonitor(), std::optional<std::int32_t>(903));
  }
  EXPECT_EQ(directory.MonitorID(), 903);
}

TEST(ReusedIDs, AnEndpointThatLeftUnconnectedDoesNotEndTheNextOneUnderItsID) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(783);  // holds the connect event, as any other process may
  TIPCEvent connect(KqConnectEventName, true);
  ASSERT_EQ(kqtest::RunHelper({"driver", "70", "0", "0", "0"}), 0);  // registers and leaves unconnected
  EXPECT_FALSE(connect.Wait(0)) << "the leaving endpoint reset its exit record";

  kqtest::ChildProcess driver({"driver", "70", "20", "0", "0"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory().FindClient(70) != -1; }));
  kqtest::SleepForMs(300);  // a worker that took an old exit record for its own has left by now
  ASSERT_TRUE(monitor.Attach(70));
  std::vector<TraceLine> lines = ReadUntilDetach(monitor);
  ASSERT_EQ(driver.Wait(20000), 0);
  EXPECT_EQ(lines.size(), 21u);
}

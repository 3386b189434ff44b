#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "ipc_client.h"
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
  doomed.Kill();
  ASSERT_TRUE(doomed.Wait(10000));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory().FindClient(32) != -1; }));
  monitor.Poll(300);
  monitor.ReadNew();
  monitor.Detach(500);  // nobody answers; the monitor goes on

  monitor.Ping();
  ASSERT_TRUE(kqtest::WaitUntil([&] {
    auto position = monitor.Directory().FindClient(32);
    return position != -1 && monitor.Directory().GetClientRec(position).Alive == 1;
  }));
  std::int32_t dead = monitor.Directory().FindClient(31);
  ASSERT_NE(dead, -1) << "a killed client cannot remove its own entry";
  EXPECT_EQ(monitor.Directory().GetClientRec(dead).Alive, 0);
  EXPECT_TRUE(monitor.Attach(32)) << "the monitor still works with the live client";
}

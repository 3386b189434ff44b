// The awake announcement: clients of ours leave their signal out while our monitor says it is awake,
// and only then. A monitor written from the shared objects alone must still get a signal for every
// statement, and ours must never sleep on a record whose signal was left out.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "com_test_monitor.h"
#include "directory_liveness.h"
#include "ipc_client.h"
#include "monitor.h"
#include "platform.h"
#include "test_support.h"

using namespace kq;

namespace {

void Submit(TIPCClient& client, int i) {
  const std::u16string text = u"select " + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
  ASSERT_TRUE(client.AddStatement(text.c_str(), static_cast<std::int32_t>(text.size())));
  client.SignalMonitor();
}

void SetAwakeWord(std::int32_t value) {
  const DirectoryLiveness liveness;
  std::int32_t* word = liveness.MonitorAwakeWord();
  ASSERT_NE(word, nullptr);
  std::atomic_ref<std::int32_t>(*word).store(value, std::memory_order_seq_cst);
}

std::int32_t AwakeWord() {
  const DirectoryLiveness liveness;
  return std::atomic_ref<std::int32_t>(*liveness.MonitorAwakeWord()).load(std::memory_order_seq_cst);
}

}  // namespace

TEST(AwakeSignal, AMonitorOfTheSharedObjectsGetsEverySignalWhateverTheWordSays) {
  kqtest::ScopedNamespace ns;
  kqtest::TestMonitor monitor;
  // A word left by a monitor of ours that died under the same ID: the client must not believe it, as
  // this monitor never announces anything.
  SetAwakeWord(kqtest::TestMonitor::MonitorID);
  TIPCClient client(21, u"parts");
  client.Activate();
  ASSERT_TRUE(monitor.Attach(21));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return client.State() == stConnected; }, 5000));
  for (int i = 0; i < 200; ++i) {
    Submit(client, i);
    ASSERT_TRUE(monitor.MonitorEvent.Wait(0)) << "statement " << i << " came without a signal";
    EXPECT_EQ(monitor.MonitorEvent.ID(), 21);
    EXPECT_EQ(monitor.MonitorEvent.Kind(), evClientSignal);
  }
  EXPECT_EQ(monitor.RecordCount(), 201);
  monitor.Leave();
}

TEST(AwakeSignal, OurMonitorAwakeGetsNoSignalAndAsleepGetsEveryOne) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(5150);
  TIPCClient client(22, u"ours");
  client.Activate();
  ASSERT_TRUE(monitor.Attach(22));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return client.State() == stConnected; }, 5000));
  TEvent doorbell(KqMonitorEventName, false);
  while (doorbell.Wait(0)) {
  }
  monitor.AnnounceAwake();
  ASSERT_EQ(AwakeWord(), 5150);
  for (int i = 0; i < 100; ++i) Submit(client, i);
  EXPECT_FALSE(doorbell.Wait(0)) << "a signal while the monitor said it was awake";
  monitor.AnnounceAsleep();
  EXPECT_EQ(AwakeWord(), 0);
  for (int i = 0; i < 20; ++i) {
    Submit(client, i);
    EXPECT_TRUE(doorbell.Wait(0)) << "statement " << i << " to a sleeping monitor came without a signal";
  }
  // Every statement is read, the quiet ones included.
  std::size_t read = 0;
  for (int polls = 0; polls < 20 && read < 121; ++polls) {
    static_cast<void>(monitor.Poll(10));
    read += monitor.ReadNewViews().size();
  }
  EXPECT_EQ(read, 121u) << "the first line and 120 statements";
  // Poll sleeps only after taking the announcement back, and says it is awake when it returns.
  EXPECT_EQ(AwakeWord(), 5150);
}

TEST(AwakeSignal, AClientOfAnotherMonitorOfOursIsNotQuietedByTheWord) {
  kqtest::ScopedNamespace ns;
  Monitor monitor(5160);
  TIPCClient client(23, u"ours");
  client.Activate();
  ASSERT_TRUE(monitor.Attach(23));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return client.State() == stConnected; }, 5000));
  TEvent doorbell(KqMonitorEventName, false);
  while (doorbell.Wait(0)) {
  }
  SetAwakeWord(5161);  // some other monitor's announcement
  for (int i = 0; i < 20; ++i) {
    Submit(client, i);
    EXPECT_TRUE(doorbell.Wait(0)) << "statement " << i;
  }
}

TEST(AwakeSignal, OurWatchNeverSleepsOnARecordWhoseSignalWasLeftOut) {
  kqtest::ScopedNamespace ns;
  const std::string result = kqtest::TempPath("watch-long.txt");
  kqtest::ChildProcess watch({"watch-long", "5170", "3", "400", result});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return std::filesystem::exists(result + ".ready"); }, 20000));
  // A stream that keeps the watch awake, one that lets it doze between statements and one that lets
  // it fall asleep before each: records land on every side of its announcement.
  std::vector<std::unique_ptr<kqtest::ChildProcess>> drivers;
  const char* pauses[] = {"0", "1", "15"};
  for (int i = 0; i < 3; ++i)
    drivers.push_back(std::make_unique<kqtest::ChildProcess>(
        std::vector<std::string>{"chan-driver", std::to_string(31 + i), "400", pauses[i], "20000",
                                 kqtest::TempPath("quiet" + std::to_string(i))}));
  // The watch sleeps up to a minute per poll: a record it did not look at before sleeping would keep
  // it from finishing long after the drivers are done.
  const std::optional<int> ended = watch.Wait(40000);
  for (auto& driver : drivers) driver->Kill();
  if (!ended) watch.Kill();
  ASSERT_EQ(ended, std::optional<int>(0)) << "the watch did not read every record";
  std::ifstream in(result);
  std::string done, word;
  std::int64_t missing = -1;
  in >> done >> word >> missing;
  EXPECT_EQ(done, "done");
  EXPECT_EQ(missing, 0);
}

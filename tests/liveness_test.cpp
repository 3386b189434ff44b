// Liveness objects prove the death of one holder: never of an ID that somebody else may use again.
#include <gtest/gtest.h>

#include <memory>

#include "client_directory.h"
#include "ipc_client.h"
#include "ipc_event.h"
#include "test_support.h"

using namespace kq;

namespace {

// Waits for the next signal of that kind and client on the monitor event, skipping others.
bool AwaitSignal(TIPCEvent& monitorEvent, TEventKind kind, std::int32_t clientID, int timeOutMs = 10000) {
  const std::int64_t deadline = kqtest::SteadyMs() + timeOutMs;
  for (;;) {
    const std::int64_t left = deadline - kqtest::SteadyMs();
    if (left <= 0 || !monitorEvent.Wait(static_cast<std::int32_t>(left))) return false;
    if (monitorEvent.Kind() == kind && monitorEvent.ID() == clientID) return true;
  }
}

}  // namespace

TEST(LivenessHolders, AnEndpointRegisteredAgainAfterAMonitorDroppedTheLiveEntryListens) {
  kqtest::ScopedNamespace ns;
  TIPCEvent monitorEvent(KqMonitorEventName, false);
  TClientDirectory directory(KqDirectoryCapacity);
  directory.SetMonitorID(951);  // a registered monitor hears every worker that starts listening
  auto first = std::make_unique<TIPCClient>(52, u"first");
  first->Activate();
  ASSERT_TRUE(AwaitSignal(monitorEvent, evClientStart, 52));
  // The monitor drops the entry of a live endpoint; the same ID registers again meanwhile.
  ASSERT_TRUE(directory.RemoveClient(52));
  auto second = std::make_unique<TIPCClient>(52, u"second");
  second->Activate();
  EXPECT_TRUE(AwaitSignal(monitorEvent, evClientStart, 52)) << "the second worker never started listening";
  EXPECT_TRUE(directory.ClientOwned(52));
  EXPECT_FALSE(directory.ClientDead(52));
  second.reset();
  EXPECT_TRUE(AwaitSignal(monitorEvent, evClientStop, 52)) << "the second worker left through its exit record";
}

TEST(LivenessHolders, AMonitorWithoutALivenessObjectUnderADeadMonitorsIDIsHeard) {
  kqtest::ScopedNamespace ns;
  TIPCEvent monitorEvent(KqMonitorEventName, false);
  TClientDirectory directory(KqDirectoryCapacity);
  kqtest::ChildProcess crashed({"monitor-idle", "961"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.MonitorID() == 961; }, 20000));
  crashed.Kill();
  ASSERT_TRUE(crashed.Wait(10000));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.MonitorDead(961); }));

  // A monitor built only for the shared layouts writes the same ID: it is no dead monitor.
  kqtest::ChildProcess plain({"monitor-plain", "961", "65536"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.IPCBufSize() == 65536; }, 20000));
  EXPECT_EQ(directory.MonitorID(), 961);
  EXPECT_FALSE(directory.MonitorDead(961));
  {
    TIPCClient client(63, u"under the plain monitor");
    client.Activate();
    EXPECT_TRUE(AwaitSignal(monitorEvent, evClientStart, 63));
  }
  EXPECT_TRUE(AwaitSignal(monitorEvent, evClientStop, 63));
  plain.Kill();
  ASSERT_TRUE(plain.Wait(10000));
}

#include "ipc_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "client_directory.h"
#include "ipc_buffer.h"
#include "ipc_event.h"
#include "kq_error.h"
#include "test_support.h"
#include "text.h"

using namespace kq;

namespace {

struct Signal {
  std::int32_t ID;
  TEventKind Kind;
  std::int32_t Data;
};

// The monitor's side, played by the test over the same named objects as the endpoint.
class ScriptedMonitor {
 public:
  explicit ScriptedMonitor(std::int32_t monitorID = 4242, std::int32_t bufSize = 64 * 1024) {
    Directory.SetMonitorID(monitorID);
    Directory.SetIPCBufSize(bufSize);
  }

  // The next signal a client sends, or nothing within timeOutMs.
  std::optional<Signal> Next(std::int32_t timeOutMs = 5000) {
    if (!MonitorEvent.Wait(timeOutMs)) return std::nullopt;
    return Signal{MonitorEvent.ID(), MonitorEvent.Kind(), MonitorEvent.Data()};
  }

  // Asks the client to attach and returns its answer.
  std::optional<Signal> Attach(std::int32_t clientID) {
    ConnectEvent.SignalID(evMonitorAttach, clientID);
    return Next();
  }

  TClientDirectory Directory{KqDirectoryCapacity};
  TIPCEvent MonitorEvent{KqMonitorEventName, false};
  TIPCEvent ClientEvent{KqClientEventName, false};
  TIPCEvent ConnectEvent{KqConnectEventName, true};
};

struct CallbackLog {
  std::atomic<int> Signals{0};
  std::atomic<std::int32_t> LastData{0};
  std::atomic<int> Connects{0};
  std::atomic<int> Disconnects{0};
  std::atomic<TIPCThread*> Sender{nullptr};
};

void OnSignal(void* self, TIPCThread* sender, std::int32_t data) {
  auto* log = static_cast<CallbackLog*>(self);
  log->Sender = sender;
  log->LastData = data;
  ++log->Signals;
}

void OnConnect(void* self, TIPCThread*, bool connecting) {
  auto* log = static_cast<CallbackLog*>(self);
  ++(connecting ? log->Connects : log->Disconnects);
}

std::unique_ptr<TIPCClient> MakeClient(std::int32_t id, std::u16string_view name, CallbackLog& log) {
  auto client = std::make_unique<TIPCClient>(id, name);
  client->SetOnSignal({&OnSignal, &log});
  client->SetOnConnect({&OnConnect, &log});
  return client;
}

std::u16string RecordText(TIPCBuffer& buffer, std::int32_t index) { return ReadFixedText(buffer.Data(index), 1 << 20); }

// Activates the client and has the monitor attach it.
void Connect(ScriptedMonitor& monitor, TIPCClient& client) {
  client.Activate();
  ASSERT_TRUE(monitor.Next());  // evClientStart
  ASSERT_TRUE(monitor.Attach(client.ID()));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return client.State() == stConnected; }));
}

void Submit(TIPCClient& client, std::u16string_view text) {
  std::u16string copy(text);
  client.AddData(copy.c_str(), static_cast<std::int32_t>((copy.size() + 1) * 2));
  client.SignalMonitor();
}

}  // namespace

TEST(ClientEndpoint, AnnouncesItselfAttachesAndWritesTheFirstLine) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor;
  CallbackLog log;
  std::u16string longName(70, u'n');  // longer than the directory keeps
  auto client = MakeClient(7, longName, log);
  EXPECT_EQ(client->State(), stInActive);
  client->Activate();
  EXPECT_EQ(client->State(), stDisconnected);
  EXPECT_EQ(monitor.Directory.FindClient(7), 1);

  auto start = monitor.Next();
  ASSERT_TRUE(start);
  EXPECT_EQ(start->ID, 7);
  EXPECT_EQ(start->Kind, evClientStart);

  auto answer = monitor.Attach(7);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Kind, evClientAttach);
  EXPECT_EQ(answer->ID, 7);
  EXPECT_EQ(answer->Data, 1);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return log.Connects == 1; }));
  EXPECT_EQ(client->State(), stConnected);
  EXPECT_FALSE(monitor.ConnectEvent.Wait(0)) << "the attached client resets the connect event";

  TIPCBuffer buffer(64 * 1024, 4);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return buffer.Count() == 1; }));
  std::u16string expected = u"Log started for: " + longName;
  EXPECT_EQ(RecordText(buffer, 0), expected);
  TTraceRecord head;
  std::memcpy(&head, reinterpret_cast<unsigned char*>(kqtest::RawHeader(buffer)) + 592, sizeof head);
  EXPECT_EQ(head.Size, static_cast<std::int32_t>((expected.size() + 1) * 2));
  EXPECT_EQ(head.RefNo, 1);
}

TEST(ClientEndpoint, StoresStatementsOnlyWhileConnected) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor(0);
  CallbackLog log;
  auto client = MakeClient(3, u"Orders", log);
  client->Activate();
  Submit(*client, u"dropped before attach");
  EXPECT_FALSE(monitor.Next(300)) << "no monitor registered: silent start, no signal for a dropped statement";

  ASSERT_TRUE(monitor.Attach(3));
  ASSERT_TRUE(kqtest::WaitUntil([&] { return client->State() == stConnected; }));
  TIPCBuffer buffer(64 * 1024, 4);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return buffer.Count() == 1; }));
  Submit(*client, u"SELECT 1");
  auto signal = monitor.Next();
  ASSERT_TRUE(signal);
  EXPECT_EQ(signal->Kind, evClientSignal);
  EXPECT_EQ(signal->ID, 3);
  ASSERT_EQ(buffer.Count(), 2);
  EXPECT_EQ(RecordText(buffer, 1), u"SELECT 1");
  EXPECT_EQ(buffer.RefNo(1), 2);
}

TEST(ClientEndpoint, IgnoresOwnKindsItHasNoUseForAndMarksItselfAliveOnAnotherIdsPing) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor;
  CallbackLog log;
  auto client = MakeClient(5, u"Ledger", log);
  client->Activate();
  ASSERT_TRUE(monitor.Next());  // evClientStart
  for (TEventKind kind : {evMonitorExit, evMonitorRealloc, evClientPing}) {
    monitor.ConnectEvent.SignalID(kind, 5);
    kqtest::SleepForMs(50);
    monitor.ConnectEvent.Reset();
  }
  EXPECT_FALSE(monitor.Next(300));
  EXPECT_EQ(client->State(), stDisconnected);
  EXPECT_EQ(monitor.Directory.GetClientRec(1).Alive, 0) << "a ping with its own ID is not an answer";

  monitor.ConnectEvent.SignalID(evClientPing, -1);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory.GetClientRec(1).Alive == 1; }));
  monitor.ConnectEvent.Reset();
  // Still listening: an attach after all that works.
  auto answer = monitor.Attach(5);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Kind, evClientAttach);
}

TEST(ClientEndpoint, DetachesOnTheMonitorsRequestWithExactlyOneSignal) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor;
  CallbackLog log;
  auto client = MakeClient(9, u"Billing", log);
  ASSERT_NO_FATAL_FAILURE(Connect(monitor, *client));

  monitor.ClientEvent.SignalID(evMonitorDetach, 9);
  auto detach = monitor.Next();
  ASSERT_TRUE(detach);
  EXPECT_EQ(detach->Kind, evClientDetach);
  EXPECT_EQ(detach->ID, 9);
  EXPECT_FALSE(monitor.Next(500)) << "one evClientDetach, nothing after it";
  EXPECT_EQ(client->State(), stDisconnected);
  EXPECT_TRUE(kqtest::WaitUntil([&] { return log.Disconnects == 1; }));
  Submit(*client, u"after detach");
  EXPECT_FALSE(monitor.Next(300));

  // Back on the connect event: it can be attached again.
  auto again = monitor.Attach(9);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Kind, evClientAttach);
  EXPECT_EQ(again->Data, 1);
}

TEST(ClientEndpoint, ReallocatesWhenTheMonitorAnswersAndDetachesWhenItDoesNot) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor(4242, 8 * 1024);
  CallbackLog log;
  auto client = MakeClient(11, u"Stock", log);
  ASSERT_NO_FATAL_FAILURE(Connect(monitor, *client));

  monitor.ClientEvent.SignalID(evClientBufFree, 11);
  auto freed = monitor.Next();
  ASSERT_TRUE(freed);
  EXPECT_EQ(freed->Kind, evClientBufFree);
  monitor.Directory.SetIPCBufSize(16 * 1024);
  {
    TIPCBuffer fresh(16 * 1024, 4);
    EXPECT_TRUE(fresh.SharedMem().Created()) << "the client let go of the old section";
    monitor.ClientEvent.SignalID(evClientBufAlloc, 11);
    auto alloc = monitor.Next();
    ASSERT_TRUE(alloc);
    EXPECT_EQ(alloc->Kind, evClientBufAlloc);
    EXPECT_EQ(client->State(), stConnected);
    Submit(*client, u"into the new buffer");
    ASSERT_TRUE(monitor.Next());
    EXPECT_EQ(kqtest::RawHeader(fresh)->BufSize, 16 * 1024);
    ASSERT_EQ(fresh.Count(), 1);
    EXPECT_EQ(RecordText(fresh, 0), u"into the new buffer");
  }

  monitor.ClientEvent.SignalID(evClientBufFree, 11);
  ASSERT_TRUE(monitor.Next());  // evClientBufFree; nobody answers
  auto gaveUp = monitor.Next(10000);
  ASSERT_TRUE(gaveUp);
  EXPECT_EQ(gaveUp->Kind, evClientDetach);
  EXPECT_EQ(client->State(), stDisconnected);
  EXPECT_TRUE(kqtest::WaitUntil([&] { return log.Disconnects == 1; }));
}

TEST(ClientEndpoint, DetachesWhenTheReallocatedBufferCannotBeOpened) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor;
  CallbackLog log;
  auto client = MakeClient(12, u"Audit", log);
  ASSERT_NO_FATAL_FAILURE(Connect(monitor, *client));
  monitor.ClientEvent.SignalID(evClientBufFree, 12);
  ASSERT_TRUE(monitor.Next());
  monitor.Directory.SetIPCBufSize(0);  // a size no buffer can be made with
  monitor.ClientEvent.SignalID(evClientBufAlloc, 12);
  auto answer = monitor.Next();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Kind, evClientDetach);
  EXPECT_EQ(client->State(), stDisconnected);
  EXPECT_NO_THROW(Submit(*client, u"dropped"));
}

TEST(ClientEndpoint, ReportsAFailedAttachAndStaysDisconnected) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor(4242, 0);
  CallbackLog log;
  auto client = MakeClient(13, u"Broken", log);
  client->Activate();
  ASSERT_TRUE(monitor.Next());
  auto answer = monitor.Attach(13);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Kind, evClientAttach);
  EXPECT_EQ(answer->Data, 0);
  EXPECT_FALSE(monitor.ConnectEvent.Wait(0));
  EXPECT_EQ(client->State(), stDisconnected);
  EXPECT_EQ(log.Connects, 0);
}

TEST(ClientEndpoint, PassesTheMonitorsDataToOnSignal) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor;
  CallbackLog log;
  auto client = MakeClient(14, u"Data", log);
  ASSERT_NO_FATAL_FAILURE(Connect(monitor, *client));
  monitor.ClientEvent.SignalData(evMonitorSignal, 14, 5);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return log.Signals == 1; }));
  EXPECT_EQ(log.LastData, 5);
  EXPECT_EQ(log.Sender.load(), client.get());
}

TEST(ClientEndpoint, LeavesWithTheRightSignalForEachState) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor;
  CallbackLog log;
  {
    auto client = MakeClient(21, u"Connected", log);
    client->Activate();
    ASSERT_TRUE(monitor.Next());
    ASSERT_TRUE(monitor.Attach(21));
    ASSERT_TRUE(kqtest::WaitUntil([&] { return client->State() == stConnected; }));
    std::thread answer([&] {
      auto detach = monitor.Next();
      ASSERT_TRUE(detach);
      EXPECT_EQ(detach->Kind, evClientDetach);
      monitor.ClientEvent.SignalID(evMonitorDetach, 21);
    });
    client.reset();
    answer.join();
    EXPECT_EQ(log.Disconnects, 1);
    EXPECT_EQ(monitor.Directory.FindClient(21), -1);
  }
  {
    auto client = MakeClient(22, u"Waiting", log);
    client->Activate();
    ASSERT_TRUE(monitor.Next());
    client.reset();
    auto stop = monitor.Next();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->Kind, evClientStop);
    EXPECT_EQ(stop->ID, 22);
    EXPECT_FALSE(monitor.Next(300));
  }
  monitor.ConnectEvent.Reset();  // the unconnected client's exit record stays set on it
  {
    monitor.Directory.SetMonitorID(0);
    auto client = MakeClient(23, u"Alone", log);
    client->Activate();
    client.reset();
    EXPECT_FALSE(monitor.Next(300)) << "with no monitor registered the client leaves silently";
  }
}

TEST(ClientEndpoint, DestroyedWithoutActivationSendsNothingAndLeavesTheOwnersEntry) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor;
  CallbackLog log;
  auto other = MakeClient(31, u"Other", log);
  other->Activate();
  ASSERT_TRUE(monitor.Next());
  {
    TIPCClient never(31, u"Same ID");  // never activated: the entry of its ID is not its own
  }
  EXPECT_FALSE(monitor.Next(300));
  EXPECT_EQ(monitor.Directory.FindClient(31), 1);
  EXPECT_EQ(monitor.Directory.GetClientName(31), u"Other");
}

TEST(ClientEndpoint, ActivatesOnceAndRefusesATakenIDOrAFullDirectory) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor(0);
  CallbackLog log;
  auto client = MakeClient(41, u"Once", log);
  client->Activate();
  client->Activate();
  EXPECT_EQ(monitor.Directory.Count(), 1);
  TIPCClient twin(41, u"Twin");
  try {
    twin.Activate();
    FAIL() << "a taken ID must be refused";
  } catch (const EKqError& e) {
    EXPECT_EQ(e.Message(), u"Client ID not unique");
  }
  EXPECT_EQ(twin.State(), stInActive);
  Submit(twin, u"nothing");
  EXPECT_EQ(monitor.Directory.Count(), 1);

  for (std::int32_t id = 2; id <= KqDirectoryCapacity; ++id)
    ASSERT_EQ(monitor.Directory.AddClient(id, u"filler").Count, id);
  TIPCClient late(99, u"Late");
  try {
    late.Activate();
    FAIL() << "a full directory must be refused";
  } catch (const EKqError& e) {
    EXPECT_EQ(e.Message(), u"Maximum of 16 clients allowed");
  }
  EXPECT_EQ(late.State(), stInActive);
  EXPECT_EQ(monitor.Directory.FindClient(99), -1);
}

TEST(ClientEndpoint, AWorkerThatMissesItsExitRecordStillEndsAndReleasesEverything) {
  kqtest::ScopedNamespace ns;
  std::atomic<bool> noisy{true};
  {
    ScriptedMonitor monitor(0);
    CallbackLog log;
    auto client = MakeClient(51, u"Deaf", log);
    client->Activate();
    // Another process keeps overwriting the connect event's record, so the exit record never
    // survives the worker's 200 ms pause after each foreign record.
    std::thread noise([&] {
      TIPCEvent connect(KqConnectEventName, true);
      while (noisy) {
        connect.SignalID(evMonitorDetach, 999);
        kqtest::SleepForMs(1);
      }
    });
    kqtest::SleepForMs(300);  // the worker is now pausing after foreign records
    auto started = kqtest::SteadyMs();
    client.reset();
    auto took = kqtest::SteadyMs() - started;
    noisy = false;
    noise.join();
    EXPECT_GE(took, 1500) << "the exit record was read after all: the forced end was not exercised";
    EXPECT_LT(took, 15000);
    EXPECT_EQ(monitor.Directory.Count(), 0);
  }
  // Everything was released: the next opener creates the objects afresh.
  TSharedMem directory(KqClientDirectoryName, KqDirectoryCapacity * 121 + 32);
  EXPECT_TRUE(directory.Created());
  TSharedMem record(u"KqConnectEvenet.Data", 12);
  EXPECT_TRUE(record.Created());
}

TEST(ClientEndpoint, AppendsFromManyThreadsWhileTheMonitorAttachesAndDetaches) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor;
  CallbackLog log;
  auto client = MakeClient(61, u"Busy", log);
  client->Activate();
  ASSERT_TRUE(monitor.Next());
  std::atomic<bool> running{true};
  std::vector<std::thread> drivers;
  for (int t = 0; t < 3; ++t)
    drivers.emplace_back([&] {
      while (running) Submit(*client, u"UPDATE accounts SET balance = balance + 1 WHERE id = 7");
    });
  for (int round = 0; round < 5; ++round) {
    monitor.ConnectEvent.SignalID(evMonitorAttach, 61);
    ASSERT_TRUE(kqtest::WaitUntil([&] { return client->State() == stConnected; }));
    kqtest::SleepForMs(20);
    monitor.ClientEvent.SignalID(evMonitorDetach, 61);
    ASSERT_TRUE(kqtest::WaitUntil([&] { return client->State() == stDisconnected; }));
    kqtest::SleepForMs(250);  // the worker pauses after a detach
  }
  running = false;
  for (auto& d : drivers) d.join();
  EXPECT_EQ(log.Connects, 5);
  EXPECT_EQ(log.Disconnects, 5);
}

TEST(ClientEndpoint, DropsAStatementWhenTheSharedHeaderIsDamagedAndStaysUsable) {
  kqtest::ScopedNamespace ns;
  ScriptedMonitor monitor;
  CallbackLog log;
  auto client = MakeClient(71, u"Damaged", log);
  ASSERT_NO_FATAL_FAILURE(Connect(monitor, *client));
  TIPCBuffer buffer(64 * 1024, 4);
  const std::int32_t count = buffer.Count();
  kqtest::RawHeader(buffer)->Free = 0x7fff0000;  // another process scribbled over the header
  EXPECT_THROW(Submit(*client, u"lost"), EKqError);
  EXPECT_EQ(buffer.Count(), count);
  buffer.Clear(false);  // the monitor repairs it
  Submit(*client, u"kept");
  ASSERT_EQ(buffer.Count(), 1);
  EXPECT_EQ(RecordText(buffer, 0), u"kept");
  EXPECT_EQ(client->State(), stConnected);
}

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "com_exports.h"
#include "com_test_monitor.h"
#include "kqintf.h"
#include "test_support.h"

namespace {

using kqtest::TestMonitor;

const WCHAR* W(const std::u16string& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }

// One KqClient made through the module's own class object, released with the holder.
class ClientObject {
 public:
  ClientObject() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_KqClient, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    if (!factory) return;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IKqClient, reinterpret_cast<void**>(&FClient)), S_OK);
    factory->Release();
  }
  ~ClientObject() {
    if (FClient) FClient->Release();
  }
  IKqClient* operator->() const { return FClient; }
  void Release() {
    FClient->Release();
    FClient = nullptr;
  }

 private:
  IKqClient* FClient = nullptr;
};

struct CallbackLog {
  std::atomic<int> Calls{0};
  std::atomic<void*> Data{nullptr};
  std::atomic<void*> Sender{nullptr};
  std::atomic<std::int32_t> Value{0};
  std::atomic<bool> OnCallerThread{false};
  std::thread::id Caller = std::this_thread::get_id();
};

void KQ_CALLBACK LogCallback(void* callbackData, void* sender, std::int32_t data) {
  auto* log = static_cast<CallbackLog*>(callbackData);
  log->Data = callbackData;
  log->Sender = sender;
  log->Value = data;
  if (std::this_thread::get_id() == log->Caller) log->OnCallerThread = true;
  ++log->Calls;
}

TEST(KqClientTest, StatementsAreRefusedUntilAttachedAndWithBadArguments) {
  kqtest::ScopedNamespace ns;
  ClientObject client;
  const std::u16string text = u"select 1";
  EXPECT_EQ(client->SubmitStatement(W(text), 8), KqFalse);

  TestMonitor monitor;
  ASSERT_EQ(client->AttachClient(7, W(u"seven"), nullptr, nullptr), KqTrue);
  ASSERT_TRUE(monitor.Attach(7));
  const std::int32_t before = monitor.RecordCount();
  EXPECT_EQ(client->SubmitStatement(nullptr, 3), KqFalse);
  EXPECT_EQ(client->SubmitStatement(W(text), -1), KqFalse);
  EXPECT_EQ(monitor.RecordCount(), before);
  monitor.Leave();
}

TEST(KqClientTest, AttachListsTheClientWithoutMonitorAndDropsStatements) {
  kqtest::ScopedNamespace ns;
  kq::TClientDirectory directory(kq::KqDirectoryCapacity);
  kq::TIPCEvent monitorEvent(kq::KqMonitorEventName, false);
  {
    ClientObject client;
    ASSERT_EQ(client->AttachClient(31, W(u"no monitor here"), nullptr, nullptr), KqTrue);
    EXPECT_EQ(directory.Count(), 1);
    EXPECT_EQ(directory.GetClientName(31), u"no monitor here");
    const std::u16string text = u"update t set a = 1";
    EXPECT_EQ(client->SubmitStatement(W(text), static_cast<std::int32_t>(text.size())), KqFalse);
    EXPECT_FALSE(monitorEvent.Wait(200)) << "a dropped statement must not signal";

    // One endpoint per object: the second attach is refused and the first entry stays.
    EXPECT_EQ(client->AttachClient(32, W(u"second"), nullptr, nullptr), KqFalse);
    EXPECT_EQ(directory.FindClient(32), -1);
    EXPECT_NE(directory.FindClient(31), -1);
  }
  EXPECT_EQ(directory.Count(), 0) << "the final Release removes the entry";
}

TEST(KqClientTest, AttachFailuresReturnFalseAndLaterStatementsAreDropped) {
  kqtest::ScopedNamespace ns;
  ClientObject first;
  ASSERT_EQ(first->AttachClient(5, W(u"first"), nullptr, nullptr), KqTrue);
  ClientObject duplicate;
  EXPECT_EQ(duplicate->AttachClient(5, W(u"duplicate"), nullptr, nullptr), KqFalse);
  const std::u16string text = u"x";
  EXPECT_EQ(duplicate->SubmitStatement(W(text), 1), KqFalse);
  EXPECT_EQ(duplicate->AttachClient(6, W(u"again"), nullptr, nullptr), KqFalse);

  ClientObject nameless;
  EXPECT_EQ(nameless->AttachClient(8, nullptr, nullptr, nullptr), KqTrue);
}

TEST(KqClientTest, ConnectedStatementIsOneRecordWithItsNulAndOneSignal) {
  kqtest::ScopedNamespace ns;
  TestMonitor monitor;
  ClientObject client;
  ASSERT_EQ(client->AttachClient(12, W(u"connected"), nullptr, nullptr), KqTrue);
  ASSERT_TRUE(monitor.Attach(12));
  ASSERT_EQ(monitor.RecordCount(), 1) << "the first line";

  const std::u16string text = u"select * from t where s = 'x'";
  EXPECT_EQ(client->SubmitStatement(W(text), static_cast<std::int32_t>(text.size())), KqTrue);
  EXPECT_TRUE(monitor.WaitForClient(12, kq::evClientSignal));
  ASSERT_EQ(monitor.RecordCount(), 2);
  auto [size, stored] = monitor.LastRecord();
  EXPECT_EQ(size, static_cast<std::int32_t>((text.size() + 1) * 2));
  EXPECT_EQ(stored, text);

  // Len counts code units: a prefix of the text is stored up to Len, with text[Len] as its NUL.
  const std::u16string empty;
  EXPECT_EQ(client->SubmitStatement(W(empty), 0), KqTrue);
  EXPECT_TRUE(monitor.WaitForClient(12, kq::evClientSignal));
  EXPECT_EQ(monitor.LastRecord().first, 2);
  monitor.Leave();
}

TEST(KqClientTest, AStatementThatCannotBeStoredIsNotReportedAsTraced) {
  kqtest::ScopedNamespace ns;
  TestMonitor monitor;
  ClientObject client;
  ASSERT_EQ(client->AttachClient(13, W(u"reallocated"), nullptr, nullptr), KqTrue);
  ASSERT_TRUE(monitor.Attach(13));
  const std::u16string text = u"update t set x = 1";
  const auto len = static_cast<std::int32_t>(text.size());
  // Between the two buffers of a reallocation the client is still connected, but holds no buffer.
  monitor.Buffer.reset();
  monitor.ClientEvent.SignalID(kq::evClientBufFree, 13);
  ASSERT_TRUE(monitor.WaitForClient(13, kq::evClientBufFree));
  EXPECT_EQ(client->SubmitStatement(W(text), len), KqFalse);
  monitor.ClientEvent.SignalID(kq::evClientBufAlloc, 13);
  ASSERT_TRUE(monitor.WaitForClient(13, kq::evClientBufAlloc));
  EXPECT_EQ(client->SubmitStatement(W(text), len), KqTrue);
  monitor.Buffer = std::make_unique<kq::TIPCBuffer>(TestMonitor::BufferSize, 4);
  EXPECT_EQ(monitor.LastRecord().second, text);
  EXPECT_EQ(monitor.RecordCount(), 1) << "the new buffer holds only what was reported as traced";
  monitor.Leave();
}

TEST(KqClientTest, CallbackNeedsBothValuesAndRunsOnTheWorker) {
  kqtest::ScopedNamespace ns;
  TestMonitor monitor;
  struct Case {
    bool Data;
    bool Proc;
  };
  // The monitor serves one client at a time: each case attaches, signals and releases in turn.
  for (const Case& c : {Case{true, false}, Case{false, true}, Case{true, true}}) {
    SCOPED_TRACE(testing::Message() << "data " << c.Data << ", proc " << c.Proc);
    CallbackLog log;
    {
      ClientObject client;
      ASSERT_EQ(client->AttachClient(3, W(u"called back"), c.Data ? &log : nullptr, c.Proc ? &LogCallback : nullptr),
                KqTrue);
      ASSERT_TRUE(monitor.Attach(3));
      monitor.SendData(3, 5);
      if (c.Data && c.Proc) {
        ASSERT_TRUE(kqtest::WaitUntil([&] { return log.Calls.load() > 0; }));
        EXPECT_EQ(log.Data.load(), &log);
        EXPECT_NE(log.Sender.load(), nullptr);
        EXPECT_EQ(log.Value.load(), 5);
        EXPECT_FALSE(log.OnCallerThread.load());
      }
      kqtest::SleepForMs(300);
      EXPECT_EQ(log.Calls.load(), c.Data && c.Proc ? 1 : 0);
      monitor.Leave();
    }
    monitor.Directory.SetMonitorID(TestMonitor::MonitorID);
  }
}

TEST(KqClientTest, ConcurrentAttachAndSubmitOnOneObject) {
  kqtest::ScopedNamespace ns;
  TestMonitor monitor;
  ClientObject client;
  std::atomic<bool> go{false};
  std::atomic<int> attached{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      if (client->AttachClient(40, W(u"raced"), nullptr, nullptr) == KqTrue) ++attached;
      const std::u16string text = u"thread " + std::u16string(1, static_cast<char16_t>(u'0' + t));
      for (int i = 0; i < 200; ++i) client->SubmitStatement(W(text), static_cast<std::int32_t>(text.size()));
    });
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(attached.load(), 1);
  EXPECT_EQ(monitor.Directory.Count(), 1);

  ASSERT_TRUE(monitor.Attach(40));
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([&] {
      const std::u16string text = u"parallel";
      for (int i = 0; i < 100; ++i)
        EXPECT_EQ(client->SubmitStatement(W(text), static_cast<std::int32_t>(text.size())), KqTrue);
    });
  for (auto& thread : writers) thread.join();
  EXPECT_EQ(monitor.RecordCount(), 1 + 4 * 100);
  EXPECT_EQ(monitor.LastRecord().second, u"parallel");
  monitor.Leave();
}

}  // namespace

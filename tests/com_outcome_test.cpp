#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "com_exports.h"
#include "com_test_monitor.h"
#include "kqintf.h"
#include "monitor.h"
#include "outcome_c_table.h"
#include "outcome_sample.h"
#include "record_outcome.h"
#include "test_support.h"

namespace {

using kqtest::TestMonitor;

const WCHAR* W(const std::u16string& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }
std::int32_t Len(const std::u16string& text) { return static_cast<std::int32_t>(text.size()); }

// One KqClient from the module's class object, asked for `iid`.
template <typename Interface>
Interface* NewClient(REFIID iid) {
  IClassFactory* factory = nullptr;
  EXPECT_EQ(DllGetClassObject(CLSID_KqClient, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  if (!factory) return nullptr;
  Interface* client = nullptr;
  EXPECT_EQ(factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&client)), S_OK);
  factory->Release();
  return client;
}

struct Released {
  void operator()(IUnknown* object) const { object->Release(); }
};

KqOutcome SampleOutcome(const std::u16string& message) {
  KqOutcome outcome{};
  outcome.durationMicros = 2500;
  outcome.rows = 17;
  outcome.status = KqStatusError;
  outcome.nativeCode = 1205;
  std::memcpy(outcome.sqlState, u"40001", 12);
  outcome.message = W(message);
  return outcome;
}

// The newest record's payload, read raw from the section.
std::vector<unsigned char> NewestPayload(const kq::TIPCBuffer& buffer) {
  const auto* base = static_cast<const unsigned char*>(buffer.SharedMem().Buffer());
  const std::int32_t last = kqtest::RawHeader(buffer)->Last;
  std::int32_t size = 0;
  std::memcpy(&size, base + last + 8, 4);
  return {base + last + 20, base + last + 20 + size};
}

// The payload as text up to its NUL, as a monitor that knows nothing of outcomes shows it.
std::u16string ReadableText(const std::vector<unsigned char>& payload) {
  std::u16string text(payload.size() / 2, u'\0');
  std::memcpy(text.data(), payload.data(), text.size() * 2);
  return text.substr(0, text.find(u'\0'));
}

}  // namespace

TEST(KqClientOutcome, OneObjectAnswersForBothInterfaces) {
  std::unique_ptr<IKqClient, Released> client(NewClient<IKqClient>(IID_IKqClient));
  ASSERT_TRUE(client);
  IKqClient2* client2 = nullptr;
  ASSERT_EQ(client->QueryInterface(IID_IKqClient2, reinterpret_cast<void**>(&client2)), S_OK);
  ASSERT_TRUE(client2);
  IKqClient* back = nullptr;
  ASSERT_EQ(client2->QueryInterface(IID_IKqClient, reinterpret_cast<void**>(&back)), S_OK);
  EXPECT_EQ(back, client.get()) << "IKqClient2 extends the same table";
  IUnknown* identity1 = nullptr;
  IUnknown* identity2 = nullptr;
  ASSERT_EQ(client->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity1)), S_OK);
  ASSERT_EQ(client2->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity2)), S_OK);
  EXPECT_EQ(identity1, identity2);
  ISupportErrorInfo* support = nullptr;
  ASSERT_EQ(client2->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IKqClient2), S_OK);
  support->Release();
  identity1->Release();
  identity2->Release();
  back->Release();
  client2->Release();

  // Made as IKqClient2 directly.
  std::unique_ptr<IKqClient2, Released> direct(NewClient<IKqClient2>(IID_IKqClient2));
  EXPECT_TRUE(direct);
}

TEST(KqClientOutcome, AnOutcomeTravelsWithItsStatement) {
  kqtest::ScopedNamespace ns;
  std::unique_ptr<IKqClient2, Released> client(NewClient<IKqClient2>(IID_IKqClient2));
  ASSERT_TRUE(client);
  const std::u16string text = u"update accounts set balance = 0";
  const std::u16string message = u"deadlock detected";
  const KqOutcome outcome = SampleOutcome(message);
  EXPECT_EQ(client->SubmitStatementOutcome(W(text), Len(text), &outcome), KqFalse) << "not attached";

  TestMonitor monitor;
  ASSERT_EQ(client->AttachClient(21, W(u"outcomes"), nullptr, nullptr), KqTrue);
  ASSERT_TRUE(monitor.Attach(21));
  EXPECT_EQ(client->SubmitStatementOutcome(nullptr, 3, &outcome), KqFalse);
  EXPECT_EQ(client->SubmitStatementOutcome(W(text), -1, &outcome), KqFalse);
  ASSERT_EQ(monitor.RecordCount(), 1) << "the first line only";

  EXPECT_EQ(client->SubmitStatementOutcome(W(text), Len(text), &outcome), KqTrue);
  EXPECT_TRUE(monitor.WaitForClient(21, kq::evClientSignal));
  ASSERT_EQ(monitor.RecordCount(), 2);
  EXPECT_EQ(ReadableText(NewestPayload(*monitor.Buffer)), text) << "the readable text is the bare statement";
  auto got = monitor.Buffer->Outcome(1);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->DurationMicros, 2500);
  EXPECT_EQ(got->Rows, 17);
  EXPECT_EQ(got->Status, 1);
  EXPECT_EQ(got->NativeCode, 1205);
  EXPECT_EQ(got->SqlState, u"40001");
  EXPECT_EQ(got->Message, message);
  EXPECT_EQ(got->TextUnits, Len(text));

  // Unknowns, odd statuses, no state, no message, and a message past the limit.
  KqOutcome odd{};
  odd.durationMicros = -99;
  odd.rows = -5;
  odd.status = 70000;
  const std::u16string longMessage(300, u'w');
  odd.message = W(longMessage);
  EXPECT_EQ(client->SubmitStatementOutcome(W(text), Len(text), &odd), KqTrue);
  got = monitor.Buffer->Outcome(2);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->DurationMicros, -1);
  EXPECT_EQ(got->Rows, -1);
  EXPECT_EQ(got->Status, KqStatusError);
  EXPECT_EQ(got->SqlState, u"");
  EXPECT_EQ(got->Message, longMessage.substr(0, KqOutcomeMessageMax));

  // No outcome at all: the plain statement.
  EXPECT_EQ(client->SubmitStatementOutcome(W(text), Len(text), nullptr), KqTrue);
  EXPECT_EQ(NewestPayload(*monitor.Buffer).size(), (text.size() + 1) * 2);
  EXPECT_FALSE(monitor.Buffer->Outcome(3));
  monitor.Leave();
}

TEST(KqClientOutcome, TheStatementsNulIsOursNotTheCallers) {
  kqtest::ScopedNamespace ns;
  std::unique_ptr<IKqClient2, Released> client(NewClient<IKqClient2>(IID_IKqClient2));
  ASSERT_TRUE(client);
  TestMonitor monitor;
  ASSERT_EQ(client->AttachClient(22, W(u"prefix"), nullptr, nullptr), KqTrue);
  ASSERT_TRUE(monitor.Attach(22));
  const std::u16string text = u"abcdef";
  const std::u16string noMessage;
  for (int withOutcome = 0; withOutcome < 2; ++withOutcome) {
    const KqOutcome outcome = SampleOutcome(noMessage);
    EXPECT_EQ(withOutcome ? client->SubmitStatementOutcome(W(text), 3, &outcome) : client->SubmitStatement(W(text), 3),
              KqTrue);
    const std::vector<unsigned char> payload = NewestPayload(*monitor.Buffer);
    ASSERT_GE(payload.size(), 8u);
    EXPECT_EQ(std::memcmp(payload.data(), u"abc", 8), 0) << "three units and a NUL, not text[3]";
    EXPECT_EQ(payload.size(), withOutcome ? 8u + kq::KqOutcomeFixedBytes : 8u);
  }
  monitor.Leave();
}

TEST(KqClientOutcome, ACDriverCallsThroughTheTable) {
  kqtest::ScopedNamespace ns;
  std::unique_ptr<IKqClient, Released> client(NewClient<IKqClient>(IID_IKqClient));
  ASSERT_TRUE(client);
  TestMonitor monitor;
  ASSERT_EQ(client->AttachClient(23, W(u"from C"), nullptr, nullptr), KqTrue);
  ASSERT_TRUE(monitor.Attach(23));
  const std::u16string text = u"select 42";
  const std::u16string message = u"ok";
  const KqOutcome outcome = SampleOutcome(message);
  std::int32_t same = 0;
  EXPECT_EQ(KqTestCTableOutcome(client.get(), W(text), Len(text), &outcome, &same), KqTrue);
  EXPECT_EQ(same, 1);
  auto got = monitor.Buffer->Outcome(1);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->Rows, 17);
  EXPECT_EQ(got->NativeCode, 1205);
  EXPECT_EQ(got->Message, message);
  EXPECT_EQ(ReadableText(NewestPayload(*monitor.Buffer)), text);
  EXPECT_EQ(KqTestCTableSubmit(client.get(), W(text), Len(text)), KqTrue);
  EXPECT_EQ(monitor.RecordCount(), 3);
  EXPECT_FALSE(monitor.Buffer->Outcome(2));
  monitor.Leave();
}

TEST(KqClientOutcome, AnotherProcessesOutcomesReachTheMonitorWhole) {
  kqtest::ScopedNamespace ns;
  kq::Monitor monitor(4711);
  monitor.SetBufferSize(1024 * 1024);
  const int count = 400;
  kqtest::ChildProcess driver({"outcome-driver", "62", std::to_string(count)});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory().FindClient(62) != -1; }, 30000));
  ASSERT_TRUE(monitor.Attach(62));
  std::vector<kq::TraceLine> lines;
  const std::int64_t deadline = kqtest::SteadyMs() + 60000;
  while (kqtest::SteadyMs() < deadline) {
    const kq::MonitorMessage message = monitor.Poll(100);
    for (auto& line : monitor.ReadNew()) lines.push_back(std::move(line));
    if (message.News == kq::MonitorNews::ClientDetached && !monitor.Attached()) break;
  }
  for (auto& line : monitor.ReadNew()) lines.push_back(std::move(line));
  ASSERT_EQ(driver.Wait(20000), 0);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(count) + 1);
  EXPECT_FALSE(lines[0].Outcome) << "the first line is ours, not a statement's";
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    const kq::TraceLine& line = lines[static_cast<std::size_t>(i) + 1];
    const kqtest::OutcomeSample want = kqtest::OutcomeFor(i);
    ASSERT_FALSE(line.Gap);
    EXPECT_EQ(line.Text, want.Text);
    ASSERT_TRUE(line.Outcome);
    EXPECT_EQ(line.Outcome->DurationMicros, want.DurationMicros);
    EXPECT_EQ(line.Outcome->Rows, want.Rows);
    EXPECT_EQ(line.Outcome->Status, want.Status);
    EXPECT_EQ(line.Outcome->NativeCode, want.NativeCode);
    EXPECT_EQ(line.Outcome->SqlState, want.SqlState);
    EXPECT_EQ(line.Outcome->Message, want.Message);
    EXPECT_EQ(line.Outcome->TextUnits, static_cast<std::int32_t>(want.Text.size()));
  }
}

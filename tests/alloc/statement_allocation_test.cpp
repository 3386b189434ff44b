// The statement path allocates nothing: this executable replaces the global allocation functions
// with ones that count, per thread, how often they are called, and submits bursts of statements
// through the COM object to a monitor that reads, and to one that sleeps between them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "com_exports.h"
#include "kqintf.h"
#include "monitor.h"
#include "test_support.h"
#include "text.h"

namespace {

thread_local std::size_t tAllocations = 0;

void* Allocate(std::size_t size) {
  ++tAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++tAllocations;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  ++tAllocations;
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

const WCHAR* W(const std::u16string& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }

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
  explicit operator bool() const { return FClient != nullptr; }

 private:
  IKqClient* FClient = nullptr;
};

// Statements of three lengths, so that the ring wraps at different places.
const std::u16string Texts[] = {
    u"COMMIT",
    u"SELECT o.id, o.total FROM orders o WHERE o.customer_id = 4711 AND o.status = 'open'",
    kq::Utf8ToUtf16("INSERT INTO audit_log (event, detail) VALUES ('login', '" + std::string(300, 'x') + "')"),
};

// Allocations this thread made while submitting `count` statements; `traced` counts the true results.
std::size_t CountBurst(IKqClient* client, int count, int& traced, bool pause) {
  const std::size_t before = tAllocations;
  for (int i = 0; i < count; ++i) {
    const std::u16string& text = Texts[i % 3];
    if (client->SubmitStatement(W(text), static_cast<std::int32_t>(text.size())) == KqTrue) ++traced;
    // Now and then a pause long enough for the monitor to fall asleep, so that the signal wakes it.
    if (pause && i % 200 == 199) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return tAllocations - before;
}

TEST(StatementAllocations, BurstsOfStatementsAllocateNothingWhetherTheMonitorReadsOrSleeps) {
  kqtest::ScopedNamespace ns;
  kq::Monitor monitor(4343);
  monitor.SetBufferSize(8 * 1024);  // small, so that the bursts take in blocks and wrap many times
  ClientObject client;
  ASSERT_TRUE(client);
  const std::u16string name = u"allocations";
  ASSERT_EQ(client->AttachClient(77, W(name), nullptr, nullptr), KqTrue);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory().FindClient(77) != -1; }));
  ASSERT_TRUE(monitor.Attach(77));
  int traced = 0;
  CountBurst(client.operator->(), 10, traced, false);  // anything done once, on first use

  traced = 0;
  EXPECT_EQ(CountBurst(client.operator->(), 5000, traced, false), 0u) << "nobody reading";
  EXPECT_EQ(traced, 5000);

  std::atomic<bool> stop{false};
  std::atomic<int> read{0};
  std::thread reader([&] {
    while (!stop) {
      monitor.Poll(20);
      read += static_cast<int>(monitor.ReadNewViews().size());
    }
  });
  traced = 0;
  const std::size_t allocations = CountBurst(client.operator->(), 20000, traced, true);
  stop = true;
  reader.join();
  EXPECT_EQ(allocations, 0u) << "a monitor reading and sleeping";
  EXPECT_EQ(traced, 20000);
  EXPECT_GT(read.load(), 0) << "the monitor did read";
}

TEST(StatementAllocations, OutcomesAllocateNothingEither) {
  kqtest::ScopedNamespace ns;
  kq::Monitor monitor(4344);
  monitor.SetBufferSize(8 * 1024);
  ClientObject client;
  ASSERT_TRUE(client);
  IKqClient2* extended = nullptr;
  ASSERT_EQ(client->QueryInterface(IID_IKqClient2, reinterpret_cast<void**>(&extended)), S_OK);
  const std::u16string name = u"outcome allocations";
  ASSERT_EQ(extended->AttachClient(78, W(name), nullptr, nullptr), KqTrue);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return monitor.Directory().FindClient(78) != -1; }));
  ASSERT_TRUE(monitor.Attach(78));
  // A message past the limit, so that the cut is taken too.
  const std::u16string message(400, u'm');
  KqOutcome outcome{};
  outcome.durationMicros = 10;
  outcome.rows = 1;
  outcome.status = KqStatusError;
  outcome.sqlState[0] = u'H';
  outcome.message = W(message);
  auto burst = [&](int count, int& traced) {
    const std::size_t before = tAllocations;
    for (int i = 0; i < count; ++i) {
      const std::u16string& text = Texts[i % 3];
      if (extended->SubmitStatementOutcome(W(text), static_cast<std::int32_t>(text.size()), &outcome) == KqTrue)
        ++traced;
    }
    return tAllocations - before;
  };
  int traced = 0;
  burst(10, traced);
  traced = 0;
  EXPECT_EQ(burst(5000, traced), 0u);
  EXPECT_EQ(traced, 5000);
  extended->Release();
}

}  // namespace

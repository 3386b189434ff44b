#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>

#include "named_object_posix.h"
#endif

#include "ipc_event.h"
#include "kq_error.h"
#include "mutex.h"
#include "shared_mem.h"
#include "test_support.h"

using namespace kq;
using kqtest::ChildProcess;
using kqtest::SteadyMs;
using kqtest::WaitUntil;

namespace {

// The record as the monitor sees it: the raw bytes of "<name>.Data".
struct RawRecord {
  explicit RawRecord(std::u16string_view eventName) : Mem(std::u16string(eventName) + u".Data", 12) {}
  unsigned char* Bytes() const { return static_cast<unsigned char*>(Mem.Buffer()); }
  std::int32_t Int(std::size_t offset) const {
    const unsigned char* b = Bytes() + offset;
    return static_cast<std::int32_t>(std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                                     std::uint32_t{b[3]} << 24);
  }
  TSharedMem Mem;
};

using kqtest::CreationError;

}  // namespace

TEST(IPCEvent, StartsWithZeroRecordAndOwnerID) {
  kqtest::ScopedNamespace ns;
  TIPCEvent event(KqMonitorEventName, false);
  RawRecord raw(KqMonitorEventName);
  EXPECT_FALSE(raw.Mem.Created());
  EXPECT_EQ(event.OwnerID(), 0);
  EXPECT_EQ(event.ID(), 0);
  EXPECT_EQ(event.Kind(), evMonitorAttach);
  EXPECT_EQ(event.Data(), 0);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(raw.Bytes()[i], 0) << i;
  ASSERT_NE(event.EventInfo(), nullptr);
  event.Signal(evClientStop);
  EXPECT_EQ(raw.Int(0), 0);
  EXPECT_EQ(raw.Bytes()[4], evClientStop);
  EXPECT_TRUE(event.Wait(0));
}

TEST(IPCEvent, SignalsWriteTheSharedLayoutAndLeaveReservedBytesAlone) {
  kqtest::ScopedNamespace ns;
  TIPCEvent event(u"Chan", false);
  RawRecord raw(u"Chan");
  raw.Bytes()[5] = 0xE5;
  raw.Bytes()[6] = 0xE6;
  raw.Bytes()[7] = 0xE7;

  event.SignalData(evClientAttach, 0x01020304, -2);
  const unsigned char expected[12] = {0x04, 0x03, 0x02, 0x01, 7, 0xE5, 0xE6, 0xE7, 0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(raw.Bytes(), expected, 12), 0);

  event.SignalID(evClientSignal, -7);
  EXPECT_EQ(raw.Int(0), -7);
  EXPECT_EQ(raw.Bytes()[4], evClientSignal);
  EXPECT_EQ(raw.Int(8), -2) << "only SignalData writes the data";

  event.SetOwnerID(7);
  event.SignalData(evClientAttach, 7, 1);
  event.Signal(evClientStop);
  EXPECT_EQ(event.ID(), 7);
  EXPECT_EQ(event.Kind(), evClientStop);
  EXPECT_EQ(event.Data(), 1);
  EXPECT_EQ(raw.Bytes()[5], 0xE5);
  EXPECT_EQ(raw.Bytes()[6], 0xE6);
  EXPECT_EQ(raw.Bytes()[7], 0xE7);

  // The properties read and write the shared bytes themselves.
  raw.Bytes()[4] = evClientPing;
  EXPECT_EQ(event.Kind(), evClientPing);
  event.SetData(0x7FFFFFFF);
  EXPECT_EQ(raw.Int(8), 0x7FFFFFFF);
}

TEST(IPCEvent, SecondHolderSeesTheRecordInThisAndAnotherProcess) {
  kqtest::ScopedNamespace ns;
  TIPCEvent first(KqMonitorEventName, false);
  TIPCEvent second(KqMonitorEventName, true);
  first.SignalData(evMonitorSignal, 31, -5);
  EXPECT_EQ(second.ID(), 31);
  EXPECT_EQ(second.Kind(), evMonitorSignal);
  EXPECT_EQ(second.Data(), -5);
  EXPECT_TRUE(second.Wait(0));
  EXPECT_FALSE(first.Wait(0)) << "the second opener must not change the reset mode";

  EXPECT_EQ(kqtest::RunHelper({"ipc-expect", "KqMonitorEvent", "0", "31", "4", "-5"}), 0);
  EXPECT_EQ(kqtest::RunHelper({"ipc-signal-data", "KqMonitorEvent", "0", "13", "-900", "2147483647"}), 0);
  EXPECT_EQ(first.ID(), -900);
  EXPECT_EQ(first.Kind(), evClientBufAlloc);
  EXPECT_EQ(first.Data(), 2147483647);
  EXPECT_TRUE(first.Wait(0));
}

TEST(IPCEvent, ThreeSignalsBeforeOneWaitLeaveOneSignalWithTheLastRecord) {
  kqtest::ScopedNamespace ns;
  TIPCEvent event(u"Chan", false);
  event.SignalID(evClientSignal, 1);
  event.SignalID(evClientSignal, 2);
  event.SignalID(evClientPing, 3);
  EXPECT_TRUE(event.WaitFor(0, 3, evClientPing));
  EXPECT_FALSE(event.Wait(0));
}

TEST(IPCEvent, WaitForMatchesIdAndKindOfTheRecord) {
  kqtest::ScopedNamespace ns;
  TIPCEvent event(u"Chan", false);
  event.SignalID(evClientBufAlloc, 7);
  EXPECT_TRUE(event.WaitFor(2000, 7, evClientBufAlloc));

  // A mismatch consumes the signal of an auto-reset event.
  event.SignalID(evClientBufAlloc, 8);
  EXPECT_FALSE(event.WaitFor(2000, 7, evClientBufAlloc));
  EXPECT_FALSE(event.Wait(0));
  event.SignalID(evClientBufFree, 7);
  EXPECT_FALSE(event.WaitFor(2000, 7, evClientBufAlloc));
  EXPECT_FALSE(event.Wait(0));

  auto start = SteadyMs();
  EXPECT_FALSE(event.WaitFor(2000, 7, evClientBufAlloc));
  auto elapsed = SteadyMs() - start;
  EXPECT_GE(elapsed, 1900);
  EXPECT_LT(elapsed, 10000);
}

TEST(IPCEvent, WaitForEndsFalseOnTheFirstSignalForAnotherIdOrKind) {
  kqtest::ScopedNamespace ns;
  TIPCEvent event(u"Chan", false);
  for (auto [id, kind] : {std::pair{8, evClientBufAlloc}, std::pair{7, evClientBufFree}}) {
    std::thread sender([&, id = id, kind = kind] {
      kqtest::SleepForMs(100);
      TIPCEvent(u"Chan", false).SignalID(kind, id);
    });
    auto start = SteadyMs();
    EXPECT_FALSE(event.WaitFor(20000, 7, evClientBufAlloc));
    EXPECT_LT(SteadyMs() - start, 10000);
    sender.join();
  }
}

TEST(IPCEvent, ManualEventWakesEveryWaiterWithTheSameRecord) {
  kqtest::ScopedNamespace ns;
  TIPCEvent event(KqConnectEventName, true);
  TEvent ready(u"Ready", true);
  ChildProcess other({"ipc-waiter", "KqConnectEvenet", "Ready", "42", "0", "99"});
  std::atomic<int> matched{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      TIPCEvent own(KqConnectEventName, true);
      if (own.WaitFor(20000, 42, evMonitorAttach) && own.Data() == 99) ++matched;
    });
  ASSERT_TRUE(ready.Wait(20000));
  kqtest::SleepForMs(200);
  event.SignalData(evMonitorAttach, 42, 99);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(matched.load(), 3);
  EXPECT_EQ(other.Wait(20000), 0);
  EXPECT_TRUE(event.WaitFor(0, 42, evMonitorAttach)) << "stays signalled until reset";
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(IPCEvent, WaiterAlwaysReadsTheRecordWrittenBeforeTheSignal) {
  kqtest::ScopedNamespace ns;
  TIPCEvent request(u"Request", false);
  TIPCEvent reply(u"Reply", false);
  constexpr int Rounds = 3000;
  std::atomic<int> bad{0};
  std::thread echo([&] {
    TIPCEvent in(u"Request", false), out(u"Reply", false);
    for (int i = 1; i <= Rounds; ++i) {
      if (!in.Wait(20000)) return;
      if (in.ID() != i || in.Data() != -i || in.Kind() != static_cast<TEventKind>(i % 15)) ++bad;
      out.SignalData(evClientAttach, i, i * 3);
    }
  });
  int lost = 0;
  for (int i = 1; i <= Rounds && lost == 0; ++i) {
    request.SignalData(static_cast<TEventKind>(i % 15), i, -i);
    if (!reply.WaitFor(20000, i, evClientAttach) || reply.Data() != i * 3) ++lost;
  }
  echo.join();
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(bad.load(), 0);
}

TEST(IPCEvent, FailedCreationKeepsNeitherEventNorSection) {
  kqtest::ScopedNamespace ns;
  // Provoke a failure of the info section only, after the event was made.
#ifdef _WIN32
  constexpr int SectionCode = 6;  // ERROR_INVALID_HANDLE: the name belongs to a mutex
  auto blocker = std::make_unique<TMutex>(u"Chan.Data");
#else
  constexpr int SectionCode = EISDIR;
  int dirError = 0;
  std::string dir = NamedObject::Directory(dirError);
  ASSERT_FALSE(dir.empty()) << dirError;
  ASSERT_EQ(mkdir((dir + "/Chan.Data.shm").c_str(), 0700), 0);
#endif
  auto error = CreationError([] { TIPCEvent(u"Chan", true); });
  ASSERT_TRUE(error);
  EXPECT_EQ(std::string(error->what()),
            "Error creating shared memory: Chan.Data [" + std::to_string(SectionCode) + "]");

  // Had the manual event stayed open, this auto-reset one would be that one.
  TEvent event(u"Chan", false);
  event.Signal();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
#ifndef _WIN32
  rmdir((dir + "/Chan.Data.shm").c_str());
#endif
}

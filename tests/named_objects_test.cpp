#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "event.h"
#include "kq_error.h"
#include "liveness_object.h"
#include "mutex.h"
#include "platform.h"
#include "shared_mem.h"
#include "stop_signal.h"
#include "test_support.h"
#include "text.h"

using namespace kq;
using kqtest::ChildProcess;
using kqtest::SteadyMs;
using kqtest::WaitUntil;

namespace {

using kqtest::CreationError;

std::string CreationText(const std::string& prefix, const std::string& name, int code) {
  return prefix + name + " [" + std::to_string(code) + "]";
}

bool AllZero(const void* memory, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(memory);
  return std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; });
}

// A manual event the helper signals once it has set itself up.
struct ReadyEvent {
  TEvent Event{u"Ready", true};
  bool Await() { return Event.Wait(20000); }
};

}  // namespace

TEST(SharedMem, FirstHolderCreatesZeroFilledAndSecondSharesItsBytes) {
  kqtest::ScopedNamespace ns;
  TSharedMem first(u"Sec", 10000);
  EXPECT_TRUE(first.Created());
  EXPECT_EQ(first.Name(), u"Sec");
  EXPECT_EQ(first.Size(), 10000);
  ASSERT_NE(first.Buffer(), nullptr);
  EXPECT_TRUE(AllZero(first.Buffer(), 10000));

  TSharedMem second(u"Sec", 10000);
  EXPECT_FALSE(second.Created());
  ASSERT_NE(second.Buffer(), first.Buffer());
  auto* a = static_cast<unsigned char*>(first.Buffer());
  auto* b = static_cast<unsigned char*>(second.Buffer());
  a[9999] = 0x5C;
  EXPECT_EQ(b[9999], 0x5C);
  b[0] = 0x3E;
  EXPECT_EQ(a[0], 0x3E);
}

TEST(SharedMem, BytesCrossToAndFromAnotherProcess) {
  kqtest::ScopedNamespace ns;
  TSharedMem mem(u"Sec", 10000);
  auto* bytes = static_cast<unsigned char*>(mem.Buffer());
  bytes[4321] = 0x11;
  EXPECT_EQ(kqtest::RunHelper({"section-swap", "Sec", "10000", "4321", "17", "34"}), 0);
  EXPECT_EQ(bytes[4321], 34);
}

TEST(SharedMem, IsRebornZeroFilledAfterItsLastHolderClosed) {
  kqtest::ScopedNamespace ns;
  {
    TSharedMem mem(u"Sec", 5000);
    std::memset(mem.Buffer(), 0xA5, 5000);
  }
  {
    TSharedMem mem(u"Sec", 5000);
    EXPECT_TRUE(mem.Created());
    EXPECT_TRUE(AllZero(mem.Buffer(), 5000));
  }
  ASSERT_EQ(kqtest::RunHelper({"section-scribble", "Sec", "5000"}), 0);
  TSharedMem mem(u"Sec", 5000);
  EXPECT_TRUE(mem.Created());
  EXPECT_TRUE(AllZero(mem.Buffer(), 5000));
}

TEST(SharedMem, IsRebornZeroFilledAfterItsLastHolderWasKilled) {
  kqtest::ScopedNamespace ns;
  ReadyEvent ready;
  ChildProcess holder({"section-hold", "Sec", "5000", "Ready"});
  ASSERT_TRUE(ready.Await());
  {
    TSharedMem held(u"Sec", 5000);
    ASSERT_FALSE(held.Created());
    ASSERT_EQ(static_cast<unsigned char*>(held.Buffer())[4999], 0xA5);
  }
  holder.Kill();
  ASSERT_TRUE(holder.Wait(10000).has_value());
  // The kernel may drop a killed process's handles a moment after it is reaped.
  bool reborn = WaitUntil([] { return TSharedMem(u"Sec", 5000).Created(); });
  ASSERT_TRUE(reborn);
  TSharedMem mem(u"Sec", 5000);
  EXPECT_TRUE(mem.Created());
  EXPECT_TRUE(AllZero(mem.Buffer(), 5000));
}

TEST(SharedMem, OpeningLargerThanItsCreatorFailsAndKeepsNothingOpen) {
  kqtest::ScopedNamespace ns;
  auto creator = std::make_unique<TSharedMem>(u"Sec", 4096);
  auto error = CreationError([] { TSharedMem(u"Sec", 3 * 4096); });
  ASSERT_TRUE(error);
  EXPECT_NE(error->Code(), 0);
  EXPECT_EQ(std::string(error->what()), CreationText("Error creating shared memory: ", "Sec", error->Code()));
  EXPECT_EQ(error->Message(), Utf8ToUtf16(error->what()));
  creator.reset();
  // Had the failed opener kept a hold, this would open the old section.
  TSharedMem again(u"Sec", 3 * 4096);
  EXPECT_TRUE(again.Created());
}

TEST(SharedMem, NonPositiveSizeFailsAndKeepsNothingOpen) {
  kqtest::ScopedNamespace ns;
  auto empty = CreationError([] { TSharedMem(u"Empty", 0); });
  ASSERT_TRUE(empty);
  EXPECT_EQ(std::string(empty->what()),
            CreationText("Error creating shared memory: ", "Empty", InvalidParameterCode()));
  auto negative = CreationError([] { TSharedMem(u"Negative", -1); });
  ASSERT_TRUE(negative);
  EXPECT_NE(negative->Code(), 0);
  EXPECT_EQ(std::string(negative->what()),
            CreationText("Error creating shared memory: ", "Negative", negative->Code()));
  TSharedMem again(u"Negative", 64);
  EXPECT_TRUE(again.Created());
}

TEST(Event, ManualEventStaysSignalledUntilResetWhateverTheOpenerAsks) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", true);
  TEvent opened(u"Ev", false);  // the creator fixed the mode
  EXPECT_FALSE(event.Wait(0));
  event.Signal();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(event.Wait(0)) << i;
    EXPECT_TRUE(opened.Wait(0)) << i;
  }
  opened.Reset();
  EXPECT_FALSE(event.Wait(0));
  EXPECT_FALSE(opened.Wait(0));
}

TEST(Event, AutoEventReleasesOneWaitPerSignalWhateverTheOpenerAsks) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", false);
  event.Signal();
  TEvent opened(u"Ev", true);  // opening keeps the state as well as the mode
  EXPECT_TRUE(opened.Wait(0));
  EXPECT_FALSE(event.Wait(0));
  EXPECT_FALSE(opened.Wait(0));

  event.Signal();
  event.Signal();
  opened.Signal();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
  EXPECT_FALSE(opened.Wait(0));

  event.Signal();
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(Event, TimedWaitEndsFalseOnlyAfterItsTimeOut) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", false);
  auto start = SteadyMs();
  EXPECT_FALSE(event.Wait(2000));
  auto elapsed = SteadyMs() - start;
  EXPECT_GE(elapsed, 1900);
  EXPECT_LT(elapsed, 10000);
}

TEST(Event, TimedOutWaitHasLetAtLeastItsTimeOutPass) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", false);
  std::vector<std::string> early;
  for (int round = 0; round < 3; ++round)
    for (std::int32_t timeOut : {1, 2, 3, 5, 7, 10, 15, 16, 17, 20, 31, 50}) {
      auto start = std::chrono::steady_clock::now();
      bool signalled = event.Wait(timeOut);
      auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
      EXPECT_FALSE(signalled);
      if (us.count() < timeOut * 1000)
        early.push_back(std::to_string(timeOut) + " ms after " + std::to_string(us.count()) + " us");
    }
  EXPECT_TRUE(early.empty()) << early.size() << " early, first: " << early.front();
}

TEST(Event, TimedOutWaitUnlessStoppedHasLetAtLeastItsTimeOutPass) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", false);
  StopSignal stop;
  std::vector<std::string> early;
  for (int round = 0; round < 3; ++round)
    for (std::int32_t timeOut : {1, 2, 5, 10, 15, 16, 17, 31}) {
      auto start = std::chrono::steady_clock::now();
      WaitResult result = event.WaitUnlessStopped(timeOut, stop);
      auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
      EXPECT_EQ(result, WaitResult::TimedOut);
      if (us.count() < timeOut * 1000)
        early.push_back(std::to_string(timeOut) + " ms after " + std::to_string(us.count()) + " us");
    }
  EXPECT_TRUE(early.empty()) << early.size() << " early, first: " << early.front();
}

TEST(Event, AutoEventWakesOneWaitingThreadPerSignal) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      TEvent own(u"Ev", false);
      if (own.Wait(20000)) ++woken;
    });
  kqtest::SleepForMs(200);  // let both go to sleep; a late one only makes the case easier
  event.Signal();
  EXPECT_TRUE(WaitUntil([&] { return woken.load() >= 1; }));
  kqtest::SleepForMs(300);
  EXPECT_EQ(woken.load(), 1);
  event.Signal();
  EXPECT_TRUE(WaitUntil([&] { return woken.load() == 2; }));
  for (auto& t : waiters) t.join();
  EXPECT_FALSE(event.Wait(0));
}

TEST(Event, ManualEventWakesEveryWaitingThreadAndProcess) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", true);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      TEvent own(u"Ev", true);
      if (own.Wait(20000)) ++woken;
    });
  ChildProcess other({"event-wait", "Ev", "1", "20000"});
  kqtest::SleepForMs(300);
  event.Signal();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_EQ(other.Wait(20000), 0);
  EXPECT_TRUE(event.Wait(0));
}

TEST(Event, ManualEventReleasesEveryWaiterEvenWhenResetRightAway) {
  kqtest::ScopedNamespace ns;
  constexpr int Waiters = 12;
  TEvent event(u"Ev", true);
  std::atomic<int> waiting{0}, woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < Waiters; ++i)
    waiters.emplace_back([&] {
      TEvent own(u"Ev", true);
      ++waiting;
      if (own.Wait(20000)) ++woken;
    });
  // Every waiter must be in its wait before the signal. POSIX shows the sleepers; on Windows only the
  // few instructions from the count into the wait are left, which the short settle covers.
  ASSERT_TRUE(WaitUntil([&] { return waiting.load() == Waiters; }, 30000));
  if (kqtest::EventSleepers("Ev")) {
    ASSERT_TRUE(WaitUntil([&] { return kqtest::EventSleepers("Ev") == Waiters; }, 30000))
        << *kqtest::EventSleepers("Ev") << " asleep";
  } else {
    kqtest::SleepForMs(100);
  }
  // An endpoint resets the connect event as soon as it has read an attach meant for it; the other
  // clients waiting at that moment must still wake.
  event.Signal();
  event.Reset();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), Waiters);
}

TEST(Event, SignalFromAnotherProcessWakesAWaitingThread) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", false);
  std::atomic<bool> woken{false};
  std::thread waiter([&] { woken = event.Wait(20000); });
  EXPECT_EQ(kqtest::RunHelper({"event-signal-many", "Ev", "1"}), 0);
  waiter.join();
  EXPECT_TRUE(woken.load());
  EXPECT_FALSE(event.Wait(0));
}

TEST(Event, WaitUnlessStoppedReportsSignalTimeOutAndStop) {
  kqtest::ScopedNamespace ns;
  TEvent event(u"Ev", false);
  StopSignal stop;
  EXPECT_EQ(event.WaitUnlessStopped(0, stop), WaitResult::TimedOut);
  EXPECT_EQ(event.WaitUnlessStopped(50, stop), WaitResult::TimedOut);
  event.Signal();
  EXPECT_EQ(event.WaitUnlessStopped(-1, stop), WaitResult::Signalled);

  std::atomic<bool> done{false};
  WaitResult result = WaitResult::Failed;
  std::thread waiter([&] {
    result = event.WaitUnlessStopped(-1, stop);
    done = true;
  });
  kqtest::SleepForMs(100);
  EXPECT_FALSE(done.load());
  stop.Stop();
  bool ended = WaitUntil([&] {
    stop.Wake();
    return done.load();
  });
  EXPECT_TRUE(ended);
  if (!ended) event.Signal();  // do not leave the thread behind
  waiter.join();
  EXPECT_EQ(result, WaitResult::Stopped);
  EXPECT_EQ(event.WaitUnlessStopped(-1, stop), WaitResult::Stopped);
}

TEST(Mutex, IsRecursiveAndOwnedByTheThreadThatGotIt) {
  kqtest::ScopedNamespace ns;
  TMutex mutex(u"Mx");
  ASSERT_TRUE(mutex.Get(0));
  ASSERT_TRUE(mutex.Get(2000));
  bool otherGot = true, otherReleased = true;
  std::thread([&] {
    TMutex own(u"Mx");
    otherGot = own.Get(0);
    otherReleased = mutex.Release();
  }).join();
  EXPECT_FALSE(otherGot);
  EXPECT_FALSE(otherReleased);
  EXPECT_TRUE(mutex.Release());
  std::thread([&] { otherGot = TMutex(u"Mx").Get(0); }).join();
  EXPECT_FALSE(otherGot) << "one Release of two Gets must keep it held";
  EXPECT_TRUE(mutex.Release());
  EXPECT_FALSE(mutex.Release());
  std::thread([&] {
    TMutex own(u"Mx");
    otherGot = own.Get(0);
    otherReleased = own.Release();
  }).join();
  EXPECT_TRUE(otherGot);
  EXPECT_TRUE(otherReleased);
}

TEST(Mutex, GetTimesOutWhileAnotherThreadHoldsItAndSucceedsAfterRelease) {
  kqtest::ScopedNamespace ns;
  TMutex mutex(u"Mx");
  TEvent held(u"Held", true), release(u"Release", true);
  std::thread holder([&] {
    TMutex own(u"Mx");
    if (!own.Get(10000)) return;
    held.Signal();
    EXPECT_TRUE(release.Wait(30000));
    EXPECT_TRUE(own.Release());
  });
  ASSERT_TRUE(held.Wait(20000));
  auto start = SteadyMs();
  EXPECT_FALSE(mutex.Get(2000));
  auto elapsed = SteadyMs() - start;
  EXPECT_GE(elapsed, 1900);
  EXPECT_LT(elapsed, 10000);
  release.Signal();
  EXPECT_TRUE(mutex.Get(10000));
  EXPECT_TRUE(mutex.Release());
  holder.join();
}

TEST(Mutex, GetTimesOutWhileAnotherProcessHoldsItAndSucceedsAfterRelease) {
  kqtest::ScopedNamespace ns;
  TMutex mutex(u"Mx");
  TEvent release(u"Release", true);
  ReadyEvent ready;
  ChildProcess holder({"mutex-hold", "Mx", "Ready", "Release"});
  ASSERT_TRUE(ready.Await());
  auto start = SteadyMs();
  EXPECT_FALSE(mutex.Get(2000));
  auto elapsed = SteadyMs() - start;
  EXPECT_GE(elapsed, 1900);
  EXPECT_LT(elapsed, 10000);
  release.Signal();
  EXPECT_TRUE(mutex.Get(10000));
  EXPECT_TRUE(mutex.Release());
  EXPECT_EQ(holder.Wait(20000), 0);
}

TEST(Mutex, MutexOfAKilledHolderCountsAsAcquiredAndStaysUsable) {
  kqtest::ScopedNamespace ns;
  TMutex mutex(u"Mx");
  TEvent release(u"Release", true);
  ReadyEvent ready;
  ChildProcess holder({"mutex-hold", "Mx", "Ready", "Release"});
  ASSERT_TRUE(ready.Await());
  EXPECT_FALSE(mutex.Get(0));
  bool got = false, released = false, releasedAgain = true;
  std::thread waiter([&] {
    got = mutex.Get(20000);
    released = mutex.Release();
    releasedAgain = mutex.Release();
  });
  kqtest::SleepForMs(200);
  holder.Kill();
  EXPECT_TRUE(holder.Wait(10000).has_value());
  waiter.join();
  EXPECT_TRUE(got) << "a waiting Get takes over the abandoned mutex";
  EXPECT_TRUE(released);
  EXPECT_FALSE(releasedAgain);
  EXPECT_EQ(kqtest::RunHelper({"mutex-take", "Mx", "10000"}), 0);
  ASSERT_TRUE(mutex.Get(0));
  EXPECT_TRUE(mutex.Release());
}

TEST(Mutex, MutexOfAnEndedThreadCountsAsAcquired) {
  kqtest::ScopedNamespace ns;
  TMutex mutex(u"Mx");
  bool got = false;
  std::thread([&] { got = mutex.Get(0); }).join();
  ASSERT_TRUE(got);
  ASSERT_TRUE(mutex.Get(10000));
  EXPECT_TRUE(mutex.Release());
  std::thread([&] {
    TMutex own(u"Mx");
    got = own.Get(0) && own.Release();
  }).join();
  EXPECT_TRUE(got);
}

TEST(Liveness, ShowsItsHolderAsLongAsItLivesHoweverItEnds) {
  kqtest::ScopedNamespace ns;
  EXPECT_EQ(LivenessObject::Probe(u"Live"), LivenessState::Gone) << "nobody made one";
  {
    LivenessObject own(u"Live");
    EXPECT_EQ(LivenessObject::Probe(u"Live"), LivenessState::Held) << "held before its owner thread takes it";
    own.Own();
    EXPECT_EQ(LivenessObject::Probe(u"Live"), LivenessState::Held);
    own.Disown();
  }
  EXPECT_EQ(LivenessObject::Probe(u"Live"), LivenessState::Gone) << "closed by its last holder";

  ReadyEvent ready;
  ChildProcess holder({"liveness-hold", "Live", "Ready"});
  ASSERT_TRUE(ready.Await());
  EXPECT_EQ(LivenessObject::Probe(u"Live"), LivenessState::Held);
  EXPECT_EQ(LivenessObject::Probe(u"Live"), LivenessState::Held) << "a look leaves it as it was";
  holder.Kill();
  ASSERT_TRUE(holder.Wait(10000).has_value());
  EXPECT_TRUE(WaitUntil([] { return LivenessObject::Probe(u"Live") != LivenessState::Held; }))
      << "its holder was killed";
  LivenessObject next(u"Live");
  EXPECT_EQ(LivenessObject::Probe(u"Live"), LivenessState::Held) << "a new holder of the name starts afresh";
}

TEST(NamedObjects, NameOfAnotherKindFailsWithTheCreatorsMessage) {
#ifndef _WIN32
  GTEST_SKIP() << "each kind has a name space of its own here";
#else
  kqtest::ScopedNamespace ns;
  constexpr int ErrorInvalidHandle = 6;
  TMutex mutex(u"Taken");
  TEvent event(u"TakenToo", false);
  auto eventError = CreationError([] { TEvent(u"Taken", true); });
  ASSERT_TRUE(eventError);
  EXPECT_EQ(std::string(eventError->what()),
            CreationText("Error creating named event object: ", "Taken", ErrorInvalidHandle));
  auto mutexError = CreationError([] { TMutex(u"TakenToo"); });
  ASSERT_TRUE(mutexError);
  EXPECT_EQ(std::string(mutexError->what()),
            CreationText("Error creating named mutex: ", "TakenToo", ErrorInvalidHandle));
  auto sectionError = CreationError([] { TSharedMem(u"Taken", 64); });
  ASSERT_TRUE(sectionError);
  EXPECT_EQ(std::string(sectionError->what()),
            CreationText("Error creating shared memory: ", "Taken", ErrorInvalidHandle));
#endif
}

#include <cerrno>

#include "event.h"
#include "futex_posix.h"
#include "kqconsts.h"
#include "named_object_posix.h"
#include "stop_signal.h"

namespace kq {

namespace {

// The state of a named event, in its file. State is 1 while signalled; Waiters lets Signal skip the
// wake-up call when nobody sleeps. A manual-reset event also counts its signals in Generation, its
// futex word, so that a Reset right after a Signal still releases everyone who was waiting, as a
// Windows event does (the monitor resets the connect event at once after a ping).
struct EventState {
  NamedObjectTag Tag;
  std::uint32_t Manual;
  std::uint32_t State;
  std::uint32_t Waiters;
  std::uint32_t Generation;
  std::uint32_t Reserved[2];
};
static_assert(sizeof(EventState) == 32);

struct EventInit {
  bool Manual;
};

void InitEvent(void* memory, void* context) {
  auto* state = static_cast<EventState*>(memory);
  state->Tag = {NamedObjectMagic, static_cast<std::uint32_t>(NamedObjectKind::Event)};
  state->Manual = static_cast<EventInit*>(context)->Manual ? 1 : 0;
}

EventState& StateOf(THandledObject::THandle handle) {
  return *static_cast<EventState*>(reinterpret_cast<NamedObject*>(handle)->Memory());
}

// Takes the signal when there is one: an auto-reset event hands it to exactly one taker.
bool IsManual(EventState& e) noexcept {
  return std::atomic_ref<std::uint32_t>(e.Manual).load(std::memory_order_relaxed) != 0;
}

bool TryTake(EventState& e, std::uint32_t generation) noexcept {
  std::atomic_ref<std::uint32_t> state(e.State);
  if (IsManual(e))
    return state.load(std::memory_order_seq_cst) == 1 ||
           std::atomic_ref<std::uint32_t>(e.Generation).load(std::memory_order_seq_cst) != generation;
  std::uint32_t expected = 1;
  return state.compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
}

WaitResult WaitOn(EventState& e, std::int32_t timeOut, StopSignal* stop) noexcept {
  const bool manual = IsManual(e);
  std::uint32_t* word = manual ? &e.Generation : &e.State;
  const std::uint32_t generation = std::atomic_ref<std::uint32_t>(e.Generation).load(std::memory_order_seq_cst);
  if (TryTake(e, generation)) return WaitResult::Signalled;
  if (timeOut == 0) return stop && stop->Stopped() ? WaitResult::Stopped : WaitResult::TimedOut;
  const bool unlimited = timeOut < 0;
  const std::int64_t deadline = MonotonicNs() + std::int64_t{timeOut} * 1000000;
  std::atomic_ref<std::uint32_t> waiters(e.Waiters);
  if (stop) stop->Watch(word);
  waiters.fetch_add(1, std::memory_order_seq_cst);
  WaitResult result = WaitResult::TimedOut;
  for (;;) {
    if (stop && stop->Stopped()) {
      result = WaitResult::Stopped;
      break;
    }
    if (TryTake(e, generation)) {
      result = WaitResult::Signalled;
      break;
    }
    timespec relative{};
    if (!unlimited) {
      std::int64_t left = deadline - MonotonicNs();
      if (left <= 0) break;
      relative.tv_sec = static_cast<time_t>(left / 1000000000);
      relative.tv_nsec = static_cast<long>(left % 1000000000);
    }
    FutexWait(word, manual ? generation : 0, unlimited ? nullptr : &relative);
  }
  waiters.fetch_sub(1, std::memory_order_seq_cst);
  if (stop) stop->Watch(nullptr);
  return result;
}

}  // namespace

TEvent::TEvent(std::u16string_view name, bool manual) {
  EventInit init{manual};
  int error = 0;
  auto object = NamedObject::Open(name, NamedObjectKind::Event, sizeof(EventState), InitEvent, &init, error);
  if (!object) RaiseOpenError(SKqEventError, name, NamedObjectKind::Event, error);
  FHandle.Reset(reinterpret_cast<THandle>(object.release()));
}

void TEvent::Signal() noexcept {
  EventState& e = StateOf(Handle());
  std::atomic_ref<std::uint32_t> state(e.State);
  std::atomic_ref<std::uint32_t> waiters(e.Waiters);
  // Both kinds put a full barrier between what the signaller wrote before the signal and its look at
  // the event. Without it that look may be answered before those writes are visible: a waiter that
  // registered, found nothing new and fell asleep would be left asleep on unread data.
  if (IsManual(e)) {
    if (state.load(std::memory_order_seq_cst) != 1) state.store(1, std::memory_order_seq_cst);
    std::atomic_ref<std::uint32_t>(e.Generation).fetch_add(1, std::memory_order_seq_cst);
    if (waiters.load(std::memory_order_seq_cst) != 0) FutexWake(&e.Generation, INT_MAX);
    return;
  }
  // The fence is a locked operation on the thread's own stack, so an event that is already set is
  // left untouched: a stream of signals to a monitor that is reading writes no shared line. It needs
  // no wake either: a sleeper is woken by the signal that set the event, and a waiter that comes
  // later takes the set state without sleeping (and then sees what was written before the fence).
  // Two sets before a wait are one, as on Windows.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (state.load(std::memory_order_seq_cst) != 0) return;
  if (state.exchange(1, std::memory_order_seq_cst) == 0 && waiters.load(std::memory_order_seq_cst) != 0)
    FutexWake(&e.State, 1);
}

void TEvent::Reset() noexcept {
  std::atomic_ref<std::uint32_t>(StateOf(Handle()).State).store(0, std::memory_order_seq_cst);
}

bool TEvent::Wait(std::int32_t timeOut) noexcept {
  return WaitOn(StateOf(Handle()), timeOut, nullptr) == WaitResult::Signalled;
}

WaitResult TEvent::WaitUnlessStopped(std::int32_t timeOut, StopSignal& stop) noexcept {
  return WaitOn(StateOf(Handle()), timeOut, &stop);
}

}  // namespace kq

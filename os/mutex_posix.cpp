#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "futex_posix.h"
#include "kqconsts.h"
#include "mutex.h"
#include "named_object_posix.h"

namespace kq {

namespace {

// Owner and Depth are written only by the thread that holds Mutex: they let Release refuse a thread
// that does not hold it without asking pthread to unlock a mutex it does not own.
struct MutexState {
  NamedObjectTag Tag;
  std::uint32_t Owner;  // thread ID of the holder, 0 when free
  std::uint32_t Depth;  // recursion depth of the holder
  pthread_mutex_t Mutex;
};

void InitMutex(void* memory, void*) {
  auto* state = static_cast<MutexState*>(memory);
  state->Tag = {NamedObjectMagic, static_cast<std::uint32_t>(NamedObjectKind::Mutex)};
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&state->Mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

MutexState& StateOf(THandledObject::THandle handle) {
  return *static_cast<MutexState*>(reinterpret_cast<NamedObject*>(handle)->Memory());
}

std::uint32_t ThisThread() noexcept { return static_cast<std::uint32_t>(gettid()); }

}  // namespace

TMutex::TMutex(std::u16string_view name) {
  int error = 0;
  auto object = NamedObject::Open(name, NamedObjectKind::Mutex, sizeof(MutexState), InitMutex, nullptr, error);
  if (!object) RaiseOpenError(SKqMutexError, name, NamedObjectKind::Mutex, error);
  FHandle.Reset(reinterpret_cast<THandle>(object.release()));
}

bool TMutex::Get(std::int32_t timeOut) noexcept {
  MutexState& state = StateOf(Handle());
  pthread_mutex_t* mutex = &state.Mutex;
  int result = timeOut < 0 ? pthread_mutex_lock(mutex) : pthread_mutex_trylock(mutex);
#if defined(__SANITIZE_THREAD__)
  if (result == EBUSY && timeOut > 0) {
    // ThreadSanitizer does not see a dead owner's mutex taken by a timed lock, so its builds poll
    // trylock with a short back-off instead (which can starve behind a holder that re-takes it at once).
    const std::int64_t deadline = MonotonicNs() + std::int64_t{timeOut} * 1000000;
    std::int64_t pauseNs = 200000;
    for (;;) {
      const std::int64_t left = deadline - MonotonicNs();
      if (left <= 0) break;
      timespec pause{0, static_cast<long>(pauseNs < left ? pauseNs : left)};
      nanosleep(&pause, nullptr);
      result = pthread_mutex_trylock(mutex);
      if (result != EBUSY) break;
      if (pauseNs < 5000000) pauseNs *= 2;
    }
  }
#else
  if (result == EBUSY && timeOut > 0) {
    // Wait in the mutex's own queue, so that each unlock wakes us: polling with trylock can starve
    // behind a holder that takes it again at once. The wait's deadline is on the realtime clock, so
    // it waits in short slices and keeps the bound itself on the monotonic clock.
    const std::int64_t deadline = MonotonicNs() + std::int64_t{timeOut} * 1000000;
    constexpr std::int64_t SliceNs = 50000000;
    for (;;) {
      const std::int64_t left = deadline - MonotonicNs();
      if (left <= 0) break;
      timespec until{};
      clock_gettime(CLOCK_REALTIME, &until);
      const std::int64_t ns = until.tv_nsec + (left < SliceNs ? left : SliceNs);
      until.tv_sec += static_cast<time_t>(ns / 1000000000);
      until.tv_nsec = static_cast<long>(ns % 1000000000);
      result = pthread_mutex_timedlock(mutex, &until);
      if (result != ETIMEDOUT) break;
    }
    if (result == ETIMEDOUT) result = EBUSY;
  }
#endif
  if (result == EOWNERDEAD) {
    // Its owner died holding it: the directory it guards is written entry by entry, so we take it
    // as it stands, like a Windows wait that returns WAIT_ABANDONED.
    pthread_mutex_consistent(mutex);
    std::atomic_ref<std::uint32_t>(state.Owner).store(0, std::memory_order_relaxed);
    result = 0;
  }
  if (result != 0) return false;
  std::atomic_ref<std::uint32_t> owner(state.Owner);
  if (owner.load(std::memory_order_relaxed) == ThisThread()) {
    ++state.Depth;
  } else {
    owner.store(ThisThread(), std::memory_order_relaxed);
    state.Depth = 1;
  }
  return true;
}

bool TMutex::Release() noexcept {
  MutexState& state = StateOf(Handle());
  std::atomic_ref<std::uint32_t> owner(state.Owner);
  if (owner.load(std::memory_order_relaxed) != ThisThread()) return false;
  if (--state.Depth == 0) owner.store(0, std::memory_order_relaxed);
  return pthread_mutex_unlock(&state.Mutex) == 0;
}

}  // namespace kq

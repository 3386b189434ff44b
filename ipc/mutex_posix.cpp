#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "futex_posix.h"
#include "kqconsts.h"
#include "mutex.h"
#include "named_object_posix.h"
#include "platform.h"

namespace kq {

namespace {

struct MutexState {
  NamedObjectTag Tag;
  std::uint32_t Reserved[2];
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

pthread_mutex_t* MutexOf(THandledObject::THandle handle) {
  return &static_cast<MutexState*>(reinterpret_cast<NamedObject*>(handle)->Memory())->Mutex;
}

}  // namespace

TMutex::TMutex(std::u16string_view name) {
  NamedObject* object = NamedObject::Open(name, NamedObjectKind::Mutex, sizeof(MutexState), InitMutex, nullptr);
  if (!object) RaiseCreateError(SKqMutexError, name, LastErrorCode());
  FHandle.Reset(reinterpret_cast<THandle>(object));
}

bool TMutex::Get(std::int32_t timeOut) noexcept {
  pthread_mutex_t* mutex = MutexOf(Handle());
  int result = timeOut < 0 ? pthread_mutex_lock(mutex) : pthread_mutex_trylock(mutex);
  if (result == EBUSY && timeOut > 0) {
    // The directory holds this mutex for a few stores at a time, so a short back-off costs nothing
    // and keeps the bound on the monotonic clock (a realtime deadline would move with the clock).
    const std::int64_t deadline = MonotonicNs() + std::int64_t{timeOut} * 1000000;
    std::int64_t pauseNs = 200000;
    for (;;) {
      std::int64_t left = deadline - MonotonicNs();
      if (left <= 0) break;
      timespec pause{0, static_cast<long>(pauseNs < left ? pauseNs : left)};
      nanosleep(&pause, nullptr);
      result = pthread_mutex_trylock(mutex);
      if (result != EBUSY) break;
      if (pauseNs < 5000000) pauseNs *= 2;
    }
  }
  if (result == EOWNERDEAD) {
    // Its owner died holding it: the directory it guards is written entry by entry, so we take it
    // as it stands, like a Windows wait that returns WAIT_ABANDONED.
    pthread_mutex_consistent(mutex);
    return true;
  }
  return result == 0;
}

bool TMutex::Release() noexcept { return pthread_mutex_unlock(MutexOf(Handle())) == 0; }

}  // namespace kq

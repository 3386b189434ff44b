#include <pthread.h>

#include <cerrno>
#include <ctime>

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
  int result;
  if (timeOut < 0) {
    result = pthread_mutex_lock(mutex);
  } else if (timeOut == 0) {
    result = pthread_mutex_trylock(mutex);
  } else {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeOut / 1000;
    deadline.tv_nsec += static_cast<long>(timeOut % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    result = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
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

#include "event.h"
#include "kqconsts.h"
#include "stop_signal.h"
#include "win32_handles.h"

namespace kq {

namespace {

// Microseconds of the performance counter, the clock std::chrono::steady_clock reads here too.
std::int64_t MonotonicUs() noexcept {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency;
}

// The kernel's timed waits run on the scheduler's tick and may time out up to a tick before the time
// asked for has passed on the monotonic clock. Waiting again for what is left keeps the contract the
// POSIX events keep: a wait that timed out has let at least its time-out pass. A negative time-out
// waits without limit, as there.
DWORD WaitToDeadline(DWORD count, const HANDLE* handles, std::int32_t timeOut) noexcept {
  if (timeOut < 0) return WaitForMultipleObjects(count, handles, FALSE, INFINITE);
  const std::int64_t deadline = MonotonicUs() + std::int64_t{timeOut} * 1000;
  for (;;) {
    const std::int64_t left = deadline - MonotonicUs();
    const DWORD ms = left <= 0 ? 0 : static_cast<DWORD>((left + 999) / 1000);
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, ms);
    if (result != WAIT_TIMEOUT || left <= 0) return result;
  }
}

}  // namespace

TEvent::TEvent(std::u16string_view name, bool manual) {
  std::u16string kernelName = KernelObjectName(name);
  HANDLE h = CreateEventW(nullptr, manual, FALSE, AsWide(kernelName));
  if (!h) {
    const DWORD error = GetLastError();
    RaiseCreateError(SKqEventError, name, static_cast<int>(error));
  }
  FHandle.Reset(reinterpret_cast<THandle>(h));
}

void TEvent::Signal() noexcept { SetEvent(reinterpret_cast<HANDLE>(Handle())); }

void TEvent::Reset() noexcept { ResetEvent(reinterpret_cast<HANDLE>(Handle())); }

bool TEvent::Wait(std::int32_t timeOut) noexcept {
  HANDLE handle = reinterpret_cast<HANDLE>(Handle());
  return WaitToDeadline(1, &handle, timeOut) == WAIT_OBJECT_0;
}

WaitResult TEvent::WaitUnlessStopped(std::int32_t timeOut, StopSignal& stop) noexcept {
  // The named event comes first so that a signal and a stop arriving together report the signal.
  HANDLE handles[2] = {reinterpret_cast<HANDLE>(Handle()), reinterpret_cast<HANDLE>(stop.NativeEvent())};
  switch (WaitToDeadline(2, handles, timeOut)) {
    case WAIT_OBJECT_0:
      return WaitResult::Signalled;
    case WAIT_OBJECT_0 + 1:
      return WaitResult::Stopped;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    default:
      return WaitResult::Failed;
  }
}

}  // namespace kq

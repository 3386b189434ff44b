#include "event.h"
#include "kqconsts.h"
#include "stop_signal.h"
#include "win32_handles.h"

namespace kq {

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
  return WaitForSingleObject(reinterpret_cast<HANDLE>(Handle()), static_cast<DWORD>(timeOut)) == WAIT_OBJECT_0;
}

WaitResult TEvent::WaitUnlessStopped(std::int32_t timeOut, StopSignal& stop) noexcept {
  // The named event comes first so that a signal and a stop arriving together report the signal.
  HANDLE handles[2] = {reinterpret_cast<HANDLE>(Handle()), reinterpret_cast<HANDLE>(stop.NativeEvent())};
  switch (WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(timeOut))) {
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

#include "kqconsts.h"
#include "liveness_object.h"
#include "win32_handles.h"

namespace kq {

LivenessObject::LivenessObject(std::u16string_view name) {
  std::u16string kernelName = KernelObjectName(name);
  HANDLE h = CreateMutexW(nullptr, FALSE, AsWide(kernelName));
  if (!h) {
    const DWORD error = GetLastError();
    RaiseCreateError(SKqMutexError, name, static_cast<int>(error));
  }
  FHandle.Reset(reinterpret_cast<THandle>(h));
}

// WAIT_ABANDONED (an earlier owner thread ended) hands it over as well.
void LivenessObject::Own() noexcept { WaitForSingleObject(reinterpret_cast<HANDLE>(Handle()), INFINITE); }

void LivenessObject::Disown() noexcept { ReleaseMutex(reinterpret_cast<HANDLE>(Handle())); }

LivenessState LivenessObject::Probe(std::u16string_view name) noexcept {
  try {
    std::u16string kernelName = KernelObjectName(name);
    UniqueWinHandle h(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, AsWide(kernelName)));
    if (!h) return GetLastError() == ERROR_FILE_NOT_FOUND ? LivenessState::Gone : LivenessState::Held;
    switch (WaitForSingleObject(h.Get(), 0)) {
      case WAIT_ABANDONED:
        ReleaseMutex(h.Get());
        return LivenessState::Abandoned;
      case WAIT_OBJECT_0:
        // Not owned, yet held open: its holder has not taken it yet (an endpoint before its worker runs).
        ReleaseMutex(h.Get());
        return LivenessState::Held;
      default:
        return LivenessState::Held;
    }
  } catch (...) {
    return LivenessState::Held;
  }
}

}  // namespace kq

#include "kqconsts.h"
#include "liveness_object.h"
#include "win32_handles.h"

namespace kq {

LivenessObject::LivenessObject(std::u16string_view name) {
  std::u16string kernelName = KernelObjectName(name);
  HANDLE h = CreateMutexW(nullptr, FALSE, AsWide(kernelName));
  const DWORD error = GetLastError();
  if (!h) RaiseCreateError(SKqMutexError, name, static_cast<int>(error));
  FFresh = error != ERROR_ALREADY_EXISTS;
  FHandle.Reset(reinterpret_cast<THandle>(h));
}

bool LivenessObject::Own() noexcept {
  // Never without limit: a mutex that somebody else owns would keep the caller (a worker that has
  // not started listening yet) waiting for that owner's end. WAIT_ABANDONED (an earlier owner thread
  // ended) hands it over as well.
  switch (WaitForSingleObject(reinterpret_cast<HANDLE>(Handle()), OwnTimeOut)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      FOwned = true;
      return true;
    default:
      return false;
  }
}

void LivenessObject::Disown() noexcept {
  if (!FOwned) return;
  ReleaseMutex(reinterpret_cast<HANDLE>(Handle()));
  FOwned = false;
}

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

std::uint32_t LivenessObject::ProcessTag() noexcept { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

}  // namespace kq

#include "kqconsts.h"
#include "mutex.h"
#include "win32_handles.h"

namespace kq {

TMutex::TMutex(std::u16string_view name) {
  std::u16string kernelName = KernelObjectName(name);
  HANDLE h = CreateMutexW(nullptr, FALSE, AsWide(kernelName));
  if (!h) {
    const DWORD error = GetLastError();
    RaiseCreateError(SKqMutexError, name, static_cast<int>(error));
  }
  FHandle.Reset(reinterpret_cast<THandle>(h));
}

bool TMutex::Get(std::int32_t timeOut) noexcept {
  // WAIT_ABANDONED hands ownership to us as well: report it as acquired so that it is released.
  DWORD r = WaitForSingleObject(reinterpret_cast<HANDLE>(Handle()), static_cast<DWORD>(timeOut));
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

bool TMutex::Release() noexcept { return ReleaseMutex(reinterpret_cast<HANDLE>(Handle())) != 0; }

}  // namespace kq

#include "handled_object.h"
#include "kqconsts.h"
#include "stop_signal.h"
#include "win32_handles.h"

namespace kq {

void StopSignal::NativeEventTraits::Close(ValueType event) noexcept {
  WinHandleTraits::Close(reinterpret_cast<HANDLE>(event));
}

StopSignal::StopSignal() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) {
    // Without it every wait of the worker would fail at once and the worker end unnoticed.
    const DWORD error = GetLastError();
    RaiseCreateError(SKqEventError, u"(stop signal)", static_cast<int>(error));
  }
  FNativeEvent.Reset(reinterpret_cast<std::uintptr_t>(event));
}

void StopSignal::Stop() noexcept {
  FStopped.store(true, std::memory_order_seq_cst);
  Wake();
}

void StopSignal::Wake() noexcept { SetEvent(reinterpret_cast<HANDLE>(FNativeEvent.Get())); }

}  // namespace kq

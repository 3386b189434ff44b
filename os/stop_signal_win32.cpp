#include <windows.h>

#include "stop_signal.h"

namespace kq {

StopSignal::StopSignal()
    : FNativeEvent(reinterpret_cast<std::uintptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

StopSignal::~StopSignal() {
  if (FNativeEvent) CloseHandle(reinterpret_cast<HANDLE>(FNativeEvent));
}

void StopSignal::Stop() noexcept {
  FStopped.store(true, std::memory_order_seq_cst);
  Wake();
}

void StopSignal::Wake() noexcept {
  if (FNativeEvent) SetEvent(reinterpret_cast<HANDLE>(FNativeEvent));
}

}  // namespace kq

#include "futex_posix.h"
#include "stop_signal.h"

namespace kq {

void StopSignal::NativeEventTraits::Close(ValueType) noexcept {}

StopSignal::StopSignal() = default;

void StopSignal::Stop() noexcept {
  FStopped.store(true, std::memory_order_seq_cst);
  Wake();
}

void StopSignal::Wake() noexcept {
  if (void* word = FWatched.load(std::memory_order_seq_cst)) FutexWake(static_cast<std::uint32_t*>(word), INT_MAX);
}

}  // namespace kq

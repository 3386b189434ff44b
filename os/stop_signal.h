#pragma once

#include <atomic>
#include <cstdint>

#include "unique_resource.h"

namespace kq {

// A process-local "stop waiting" that every wait of an endpoint's worker also watches, so that a
// worker which missed its exit record can still be made to leave cleanly. Windows: a private unnamed
// event waited on beside the named one; a failure to create it raises message 35600, since a worker
// could not wait without it. POSIX: a flag checked at every wake; Wake() rouses the futex the worker
// currently sleeps on (call it again until the worker has left: a wake can fall between the worker's
// check and its sleep).
class StopSignal {
 public:
  StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Stop() noexcept;
  void Wake() noexcept;
  [[nodiscard]] bool Stopped() const noexcept { return FStopped.load(std::memory_order_acquire); }

  // Platform use only.
  std::uintptr_t NativeEvent() const noexcept { return FNativeEvent.Get(); }
  void Watch(void* address) noexcept { FWatched.store(address, std::memory_order_seq_cst); }

 private:
  // The Windows event; POSIX makes none, so there is nothing to close there.
  struct NativeEventTraits {
    using ValueType = std::uintptr_t;
    static constexpr ValueType Invalid() noexcept { return 0; }
    static void Close(ValueType event) noexcept;  // per platform
  };

  std::atomic<bool> FStopped{false};
  std::atomic<void*> FWatched{nullptr};
  UniqueResource<NativeEventTraits> FNativeEvent;
};

}  // namespace kq

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "handled_object.h"

namespace kq {

class StopSignal;

enum class WaitResult { Signalled, TimedOut, Stopped, Failed };

// A named event: open-or-create by name; the creator fixes manual or auto reset and the state starts
// not signalled. Opening an existing event keeps its mode and state. A failure raises message 35600.
// Both back ends: a timed-out wait has let at least TimeOut ms pass; -1 waits without limit.
// On POSIX, Signal makes no system call while nobody waits.
class TEvent : public THandledObject {
 public:
  TEvent(std::u16string_view name, bool manual);

  void Signal() noexcept;
  void Reset() noexcept;
  [[nodiscard]] bool Wait(std::int32_t timeOut) noexcept;
  // Like Wait, but also returns once `stop` is stopped.
  [[nodiscard]] WaitResult WaitUnlessStopped(std::int32_t timeOut, StopSignal& stop) noexcept;
};

}  // namespace kq

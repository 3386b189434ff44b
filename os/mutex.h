#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "handled_object.h"

namespace kq {

// A named mutex, recursive and owned by the thread whose Get succeeded. A mutex whose owner died
// while holding it counts as acquired: Get returns true and the caller releases it as usual.
class TMutex : public THandledObject {
 public:
  explicit TMutex(std::u16string_view name);

  [[nodiscard]] bool Get(std::int32_t timeOut) noexcept;
  // False when the calling thread does not hold it.
  [[nodiscard]] bool Release() noexcept;
};

// Releases a TMutex that this thread got when it leaves scope.
class MutexHold {
 public:
  explicit MutexHold(TMutex& mutex) noexcept : FMutex(&mutex) {}
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  // Made only after a Get that succeeded on this thread, so the release cannot be refused.
  ~MutexHold() { static_cast<void>(FMutex->Release()); }

 private:
  TMutex* FMutex;
};

}  // namespace kq

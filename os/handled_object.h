#pragma once

#include <cstdint>
#include <string_view>

#include "unique_resource.h"

namespace kq {

// Owner of one named kernel object. On Windows the handle is the kernel handle; on POSIX it is this
// process's hold on the object's file under the per-user directory (see named_object_posix.h).
class THandledObject {
 public:
  using THandle = std::uintptr_t;

  THandledObject(const THandledObject&) = delete;
  THandledObject& operator=(const THandledObject&) = delete;
  virtual ~THandledObject() = default;

  THandle Handle() const noexcept { return FHandle.Get(); }

  // Removes every named object of the current namespace whose holders all ended without closing it.
  // POSIX: their files, which a crash leaves behind; Windows: nothing, the kernel ends an object with
  // its last handle.
  static void SweepAbandoned() noexcept;

 protected:
  THandledObject() = default;

  struct ObjectHandleTraits {
    using ValueType = THandle;
    static constexpr ValueType Invalid() noexcept { return 0; }
    static void Close(ValueType handle) noexcept;  // per platform
  };
  UniqueResource<ObjectHandleTraits> FHandle;
};

// Raises the creation error of a named object: catalogue text formatted with the name as passed and
// the platform's error code.
[[noreturn]] void RaiseCreateError(int messageId, std::u16string_view name, int code);

}  // namespace kq

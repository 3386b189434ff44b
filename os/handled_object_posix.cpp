#include "handled_object.h"
#include "named_object_posix.h"

namespace kq {

void THandledObject::ObjectHandleTraits::Close(ValueType handle) noexcept {
  delete reinterpret_cast<NamedObject*>(handle);
}

void THandledObject::SweepAbandoned() noexcept { NamedObject::SweepAbandoned(); }

}  // namespace kq

#include <windows.h>

#include "handled_object.h"

namespace kq {

void THandledObject::ObjectHandleTraits::Close(ValueType handle) noexcept {
  CloseHandle(reinterpret_cast<HANDLE>(handle));
}

void THandledObject::SweepAbandoned() noexcept {}

}  // namespace kq

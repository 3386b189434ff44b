#include <cerrno>

#include "kqconsts.h"
#include "named_object_posix.h"
#include "shared_mem.h"

namespace kq {

void TSharedMem::ViewTraits::Close(ValueType) noexcept {}

TSharedMem::TSharedMem(std::u16string_view name, std::int32_t size) : FName(name), FSize(size) {
  if (size <= 0) RaiseCreateError(SKqSharedMemError, name, EINVAL);
  int error = 0;
  auto object =
      NamedObject::Open(name, NamedObjectKind::Section, static_cast<std::size_t>(size), nullptr, nullptr, error);
  if (!object) RaiseOpenError(SKqSharedMemError, name, NamedObjectKind::Section, error);
  FCreated = object->Created();
  FFileView.Reset(object->Memory());
  FMappedSize = object->MappedSize();
  FHandle.Reset(reinterpret_cast<THandle>(object.release()));
}

}  // namespace kq

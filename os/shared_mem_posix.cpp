#include <cerrno>

#include "kqconsts.h"
#include "named_object_posix.h"
#include "platform.h"
#include "shared_mem.h"

namespace kq {

TSharedMem::TSharedMem(std::u16string_view name, std::int32_t size) : FName(name), FSize(size) {
  if (size <= 0) RaiseCreateError(SKqSharedMemError, name, EINVAL);
  NamedObject* object =
      NamedObject::Open(name, NamedObjectKind::Section, static_cast<std::size_t>(size), nullptr, nullptr);
  if (!object) RaiseOpenError(SKqSharedMemError, name, NamedObjectKind::Section);
  FHandle.Reset(reinterpret_cast<THandle>(object));
  FCreated = object->Created();
  FFileView = object->Memory();
  FMappedSize = object->MappedSize();
}

// The hold on the file unmaps the view before it closes the descriptor.
TSharedMem::~TSharedMem() { FFileView = nullptr; }

}  // namespace kq

#include <unistd.h>

#include "kqconsts.h"
#include "liveness_object.h"
#include "named_object_posix.h"

namespace kq {

namespace {

void InitLiveness(void* memory, void*) {
  *static_cast<NamedObjectTag*>(memory) = {NamedObjectMagic, static_cast<std::uint32_t>(NamedObjectKind::Liveness)};
}

}  // namespace

LivenessObject::LivenessObject(std::u16string_view name) {
  int error = 0;
  auto object =
      NamedObject::Open(name, NamedObjectKind::Liveness, sizeof(NamedObjectTag), InitLiveness, nullptr, error);
  if (!object) RaiseOpenError(SKqMutexError, name, NamedObjectKind::Liveness, error);
  FFresh = object->Created();
  FHandle.Reset(reinterpret_cast<THandle>(object.release()));
}

bool LivenessObject::Own() noexcept { return true; }

void LivenessObject::Disown() noexcept {}

LivenessState LivenessObject::Probe(std::u16string_view name) noexcept {
  switch (NamedObject::Holders(name, NamedObjectKind::Liveness)) {
    case NamedObjectHolders::None:
      return LivenessState::Abandoned;
    case NamedObjectHolders::NoFile:
      return LivenessState::Gone;
    case NamedObjectHolders::Some:
      break;
  }
  return LivenessState::Held;
}

std::uint32_t LivenessObject::ProcessTag() noexcept { return static_cast<std::uint32_t>(getpid()); }

}  // namespace kq

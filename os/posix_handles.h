#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>

#include "unique_resource.h"

namespace kq {

struct FdTraits {
  using ValueType = int;
  static constexpr int Invalid() noexcept { return -1; }
  static void Close(int fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;

struct Mapping {
  void* Address = nullptr;
  std::size_t Length = 0;
  bool operator==(const Mapping&) const = default;
};
struct MappingTraits {
  using ValueType = Mapping;
  static constexpr Mapping Invalid() noexcept { return {}; }
  static void Close(Mapping m) noexcept { ::munmap(m.Address, m.Length); }
};
using UniqueMapping = UniqueResource<MappingTraits>;

}  // namespace kq

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "handled_object.h"
#include "unique_resource.h"

namespace kq {

// A named shared-memory section, open-or-create, mapped read-write at the requested size. A new
// section is zero-filled; it lives while any holder keeps it open (also across crashes of holders).
// A failure to create or map raises message 35599 and leaves nothing open.
class TSharedMem : public THandledObject {
 public:
  TSharedMem(std::u16string_view name, std::int32_t size);

  const std::u16string& Name() const noexcept { return FName; }
  std::int32_t Size() const noexcept { return FSize; }
  void* Buffer() const noexcept { return FFileView.Get(); }
  [[nodiscard]] bool Created() const noexcept { return FCreated; }
  // Bytes of this process's view that may be touched: the requested size rounded up to whole pages.
  std::size_t MappedSize() const noexcept { return FMappedSize; }

 private:
  // Windows: the view of the mapping, unmapped before the base class closes the mapping's handle.
  // POSIX: the view belongs to the hold on the file (FHandle), which unmaps it, so closing is a no-op.
  struct ViewTraits {
    using ValueType = void*;
    static constexpr ValueType Invalid() noexcept { return nullptr; }
    static void Close(ValueType view) noexcept;  // per platform
  };

  std::u16string FName;
  std::int32_t FSize = 0;
  bool FCreated = false;
  UniqueResource<ViewTraits> FFileView;
  std::size_t FMappedSize = 0;
};

constexpr std::size_t KqPageSize = 4096;

}  // namespace kq

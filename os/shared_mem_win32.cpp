#include "kqconsts.h"
#include "shared_mem.h"
#include "win32_handles.h"

namespace kq {

void TSharedMem::ViewTraits::Close(ValueType view) noexcept { WinViewTraits::Close(view); }

TSharedMem::TSharedMem(std::u16string_view name, std::int32_t size) : FName(name), FSize(size) {
  std::u16string kernelName = KernelObjectName(name);
  HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size),
                                AsWide(kernelName));
  // Also on success: it tells whether the section existed.
  const DWORD createError = GetLastError();
  if (!h) RaiseCreateError(SKqSharedMemError, name, static_cast<int>(createError));
  FCreated = createError != ERROR_ALREADY_EXISTS;
  FHandle.Reset(reinterpret_cast<THandle>(h));
  void* view = MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size));
  if (!view) {
    const DWORD mapError = GetLastError();
    RaiseCreateError(SKqSharedMemError, name, static_cast<int>(mapError));
  }
  FFileView.Reset(view);
  FMappedSize = (static_cast<std::size_t>(size) + KqPageSize - 1) / KqPageSize * KqPageSize;
}

}  // namespace kq

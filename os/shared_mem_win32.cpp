#include "kqconsts.h"
#include "shared_mem.h"
#include "win32_handles.h"

namespace kq {

TSharedMem::TSharedMem(std::u16string_view name, std::int32_t size) : FName(name), FSize(size) {
  std::u16string kernelName = KernelObjectName(name);
  HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size),
                                AsWide(kernelName));
  if (!h) RaiseCreateError(SKqSharedMemError, name, static_cast<int>(GetLastError()));
  FCreated = GetLastError() == 0;
  FHandle.Reset(reinterpret_cast<THandle>(h));
  FFileView = MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size));
  if (!FFileView) RaiseCreateError(SKqSharedMemError, name, static_cast<int>(GetLastError()));
  FMappedSize = (static_cast<std::size_t>(size) + KqPageSize - 1) / KqPageSize * KqPageSize;
}

TSharedMem::~TSharedMem() {
  if (FFileView) UnmapViewOfFile(FFileView);
}

}  // namespace kq

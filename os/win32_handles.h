#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "platform.h"
#include "unique_resource.h"

namespace kq {

struct WinHandleTraits {
  using ValueType = HANDLE;
  static ValueType Invalid() noexcept { return nullptr; }
  static void Close(HANDLE h) noexcept { CloseHandle(h); }
};
using UniqueWinHandle = UniqueResource<WinHandleTraits>;

struct WinFileTraits {
  using ValueType = HANDLE;
  static ValueType Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) noexcept { CloseHandle(h); }
};
using UniqueWinFile = UniqueResource<WinFileTraits>;

struct WinViewTraits {
  using ValueType = void*;
  static ValueType Invalid() noexcept { return nullptr; }
  static void Close(void* view) noexcept { UnmapViewOfFile(view); }
};
using UniqueWinView = UniqueResource<WinViewTraits>;

struct WinKeyTraits {
  using ValueType = HKEY;
  static ValueType Invalid() noexcept { return nullptr; }
  static void Close(HKEY key) noexcept { RegCloseKey(key); }
};
using UniqueHKey = UniqueResource<WinKeyTraits>;

inline const wchar_t* AsWide(const std::u16string& s) noexcept { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// The kernel name of an object: exactly the name, or "<KQ_NAMESPACE>-<name>" in a test namespace.
inline std::u16string KernelObjectName(std::u16string_view name) {
  std::u16string ns = ObjectNamespace();
  return ns.empty() ? std::u16string(name) : ns + u"-" + std::u16string(name);
}

}  // namespace kq

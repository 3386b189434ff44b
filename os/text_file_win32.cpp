#include <windows.h>

#include <cstring>

#include "text_file.h"

namespace kq {

namespace {

constexpr char CtrlZ = 26;
constexpr DWORD CtrlZWindow = 128;

HANDLE AsHandle(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// Cuts an existing file at the first Ctrl+Z among its last 128 bytes, then moves to the end.
DWORD CutAtCtrlZ(HANDLE h) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size)) return GetLastError();
  LONGLONG tail = size.QuadPart < CtrlZWindow ? size.QuadPart : CtrlZWindow;
  if (tail > 0) {
    LARGE_INTEGER at;
    at.QuadPart = size.QuadPart - tail;
    char bytes[CtrlZWindow];
    DWORD got = 0;
    if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !ReadFile(h, bytes, static_cast<DWORD>(tail), &got, nullptr))
      return GetLastError();
    if (const void* hit = std::memchr(bytes, CtrlZ, got)) {
      at.QuadPart += static_cast<const char*>(hit) - bytes;
      if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) return GetLastError();
    }
  }
  LARGE_INTEGER zero{};
  return SetFilePointerEx(h, zero, nullptr, FILE_END) ? 0 : GetLastError();
}

}  // namespace

int TextFile::FileTraits::Close(std::intptr_t file) noexcept {
  return CloseHandle(AsHandle(file)) ? 0 : static_cast<int>(GetLastError());
}

int TextFile::OpenFile(std::u16string_view path, bool append) {
  Close();
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  if (path.size() > MaxPathLength) return ERROR_FILENAME_EXCED_RANGE;
  std::wstring native(path.begin(), path.end());
  DWORD access = append ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
  HANDLE h = CreateFileW(native.c_str(), access, FILE_SHARE_READ, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  FFile.Reset(reinterpret_cast<std::intptr_t>(h));
  if (append) {
    if (DWORD error = CutAtCtrlZ(h); error != 0) {
      FFile.Reset();
      return static_cast<int>(error);
    }
  }
  FError = 0;
  return 0;
}

int TextFile::WriteAll(std::intptr_t file, const std::string& bytes) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(bytes.size() - done > 0x10000000 ? 0x10000000 : bytes.size() - done);
    DWORD written = 0;
    if (!WriteFile(AsHandle(file), bytes.data() + done, chunk, &written, nullptr))
      return static_cast<int>(GetLastError());
    done += written;
  }
  return 0;
}

void TextFile::Encode(std::u16string_view line) {
  if (line.empty()) return;
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(line.data());
  int units = static_cast<int>(line.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::size_t at = FPending.size();
  FPending.resize(at + static_cast<std::size_t>(bytes));
  WideCharToMultiByte(CP_ACP, 0, wide, units, FPending.data() + at, bytes, nullptr, nullptr);
}

}  // namespace kq

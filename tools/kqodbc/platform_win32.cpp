#include <string>

#include "odbc_headers.h"
#include "platform.h"
#include "real_driver.h"

namespace kqodbc {

namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), units);
  return result;
}

std::string ModuleFile(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD units = GetModuleFileNameW(module, path, MAX_PATH);
  return Utf16ToNarrow(std::u16string_view(reinterpret_cast<const char16_t*>(path), units));
}

}  // namespace

void* LoadLibraryForGood(const std::string& path, std::string& error) {
  HMODULE library = LoadLibraryW(Wide(path).c_str());
  if (!library) error = "Windows error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(library);
}

void* LibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string ThisModulePath() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModulePath), &self);
  return ModuleFile(self);
}

// Windows' manager takes full paths from the registry.
std::string ManagerDriverFolder() { return {}; }

std::u16string NarrowToUtf16(const char* text, std::size_t length) {
  if (length == 0) return {};
  const int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  std::u16string result(static_cast<std::size_t>(units), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), reinterpret_cast<wchar_t*>(result.data()), units);
  return result;
}

std::string Utf16ToNarrow(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), result.data(), bytes, nullptr, nullptr);
  return result;
}

std::int32_t CurrentProcessID() { return static_cast<std::int32_t>(GetCurrentProcessId()); }

std::string ProgramName() {
  std::string path = ModuleFile(nullptr);
  const auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kqodbc

#include <string>

#include "kq_error.h"
#include "registry_store.h"
#include "win32_handles.h"

namespace kq {

namespace {

HKEY RootKey(RegRoot root) { return root == RegRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT; }

[[noreturn]] void RaiseRegistryError(LONG code) {
  throw EKqError(u"Error creating system registry entry", static_cast<int>(code));
}

}  // namespace

void CreateRegKey(RegRoot root, std::u16string_view key, std::u16string_view valueName, std::u16string_view data) {
  const std::u16string keyText(key), nameText(valueName), dataText(data);
  HKEY raw = nullptr;
  LONG code = RegCreateKeyExW(RootKey(root), AsWide(keyText), 0, const_cast<LPWSTR>(L""), REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_WRITE, nullptr, &raw, nullptr);
  if (code != ERROR_SUCCESS) RaiseRegistryError(code);
  UniqueHKey hkey(raw);
  code = RegSetValueExW(hkey.Get(), AsWide(nameText), 0, REG_SZ, reinterpret_cast<const BYTE*>(dataText.c_str()),
                        static_cast<DWORD>((dataText.size() + 1) * 2));
  if (code != ERROR_SUCCESS) RaiseRegistryError(code);
}

void DeleteRegKey(RegRoot root, std::u16string_view key) noexcept {
  try {
    const std::u16string keyText(key);
    RegDeleteKeyW(RootKey(root), AsWide(keyText));
  } catch (...) {
  }
}

std::optional<std::u16string> ReadRegValue(RegRoot root, std::u16string_view key, std::u16string_view valueName) {
  const std::u16string keyText(key), nameText(valueName);
  HKEY raw = nullptr;
  if (RegOpenKeyExW(RootKey(root), AsWide(keyText), 0, KEY_READ, &raw) != ERROR_SUCCESS) return std::nullopt;
  UniqueHKey hkey(raw);
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(hkey.Get(), AsWide(nameText), nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
    return std::nullopt;
  std::u16string data(size / 2 + 1, u'\0');
  if (RegQueryValueExW(hkey.Get(), AsWide(nameText), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  data.resize(size / 2);
  while (!data.empty() && data.back() == u'\0') data.pop_back();
  return data;
}

bool RegKeyExists(RegRoot root, std::u16string_view key) {
  const std::u16string keyText(key);
  HKEY raw = nullptr;
  if (RegOpenKeyExW(RootKey(root), AsWide(keyText), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
  UniqueHKey hkey(raw);
  return true;
}

}  // namespace kq

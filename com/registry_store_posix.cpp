#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "kq_error.h"
#include "registry_store.h"
#include "text.h"

namespace kq {

namespace fs = std::filesystem;

namespace {

constexpr const char* ValuesFile = "values";
constexpr char16_t DefaultValueName[] = u"@";

[[noreturn]] void RaiseRegistryError(int code = 0) { throw EKqError(u"Error creating system registry entry", code); }

fs::path StoreRoot(RegRoot root) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  fs::path base;
  if (config && *config == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return {};
    base = fs::path(home) / ".config";
  }
  return base / "kq" / "registry" / (root == RegRoot::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_CLASSES_ROOT");
}

// The folder of a key; empty for a key that would leave the store (empty, "." or ".." components).
fs::path KeyFolder(RegRoot root, std::u16string_view key) {
  fs::path folder = StoreRoot(root);
  if (folder.empty() || key.empty()) return {};
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(key.find(u'\\', start), key.size());
    const std::string part = Utf16ToUtf8(key.substr(start, end - start));
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) return {};
    folder /= part;
    if (end == key.size()) return folder;
    start = end + 1;
  }
}

using ValueList = std::vector<std::pair<std::string, std::string>>;

// One "name=data" line per value, "@" naming the default value.
ValueList ReadValues(const fs::path& folder) {
  ValueList values;
  std::ifstream in(folder / ValuesFile, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) values.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return values;
}

std::string ValueNameText(std::u16string_view valueName) {
  return Utf16ToUtf8(valueName.empty() ? std::u16string_view(DefaultValueName) : valueName);
}

}  // namespace

void CreateRegKey(RegRoot root, std::u16string_view key, std::u16string_view valueName, std::u16string_view data) {
  const fs::path folder = KeyFolder(root, key);
  if (folder.empty()) RaiseRegistryError();
  const std::string name = ValueNameText(valueName);
  const std::string text = Utf16ToUtf8(data);
  if (name.find_first_of("=\r\n") != std::string::npos || text.find_first_of("\r\n") != std::string::npos)
    RaiseRegistryError();
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) RaiseRegistryError(error.value());
  ValueList values = ReadValues(folder);
  bool found = false;
  for (auto& [n, d] : values)
    if (n == name) d = text, found = true;
  if (!found) values.emplace_back(name, text);
  // Written aside and renamed, so that a reader never sees half a file.
  const fs::path temp = folder / (std::string(ValuesFile) + ".tmp");
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    for (const auto& [n, d] : values) out << n << '=' << d << "\r\n";
    if (!out.flush()) {
      const int error = errno;  // before the stream's clean-up
      RaiseRegistryError(error);
    }
  }
  fs::rename(temp, folder / ValuesFile, error);
  if (error) RaiseRegistryError(error.value());
}

void DeleteRegKey(RegRoot root, std::u16string_view key) noexcept {
  try {
    const fs::path folder = KeyFolder(root, key);
    std::error_code error;
    if (folder.empty() || !fs::is_directory(folder, error)) return;
    for (const auto& entry : fs::directory_iterator(folder, error))
      if (entry.is_directory(error)) return;  // like the registry: a key with subkeys stays
    fs::remove(folder / ValuesFile, error);
    fs::remove(folder / (std::string(ValuesFile) + ".tmp"), error);
    fs::remove(folder, error);
  } catch (...) {
  }
}

std::optional<std::u16string> ReadRegValue(RegRoot root, std::u16string_view key, std::u16string_view valueName) {
  const fs::path folder = KeyFolder(root, key);
  if (folder.empty()) return std::nullopt;
  const std::string name = ValueNameText(valueName);
  for (const auto& [n, d] : ReadValues(folder))
    if (n == name) return Utf8ToUtf16(d);
  return std::nullopt;
}

bool RegKeyExists(RegRoot root, std::u16string_view key) {
  const fs::path folder = KeyFolder(root, key);
  std::error_code error;
  return !folder.empty() && fs::is_directory(folder, error);
}

}  // namespace kq

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kq {

// Where class registrations go: the machine's classes, or the current user's (whose keys then carry
// the prefix "Software\Classes\"). On Windows the registry; elsewhere a per-user text store under
// $XDG_CONFIG_HOME (or ~/.config) in kq/registry, one folder per key and a "values" file per folder.
enum class RegRoot { ClassesRoot, CurrentUser };

// Opens or creates key (backslash-separated) and sets one text value; an empty valueName is the
// key's default value. Raises EKqError "Error creating system registry entry" when either fails.
void CreateRegKey(RegRoot root, std::u16string_view key, std::u16string_view valueName, std::u16string_view data);

// Deletes key with its values. A key that is missing or still has subkeys stays; nothing is reported.
void DeleteRegKey(RegRoot root, std::u16string_view key) noexcept;

// The text value, or nothing when the key or value is missing.
std::optional<std::u16string> ReadRegValue(RegRoot root, std::u16string_view key, std::u16string_view valueName);

[[nodiscard]] bool RegKeyExists(RegRoot root, std::u16string_view key);

}  // namespace kq

#pragma once

#include <cstdint>

#include "client_directory.h"

namespace kqtool {

// Whether the client of a directory entry is alive, as far as this monitor can tell: not one whose
// process provably ended (the directory's liveness object), and then the client it watches, or one
// whose Alive mark says it answered the last ping.
bool ClientAlive(const kq::TClientDirectory& directory, const kq::TClientDirEntry& entry, std::int32_t watchedID);

// What a short-lived command (list, ping) can say of an entry without watching it: dead when its
// owner's liveness object was abandoned, alive when the owner still holds one or answered the last
// ping, and unknown otherwise (another implementation's client that no ping has reached).
enum class ListedLiveness { Alive, Dead, Unknown };
ListedLiveness ListedLivenessOf(const kq::TClientDirectory& directory, const kq::TClientDirEntry& entry);
// "yes", "dead", "unknown".
const char* ListedLivenessText(ListedLiveness liveness) noexcept;

}  // namespace kqtool

#pragma once

#include <cstdint>

#include "client_directory.h"

namespace kqtool {

// Whether the client of a directory entry is alive, as far as this monitor can tell: the client it
// watches is, and so is one whose Alive mark says it answered the last ping. The one question to
// hand to a precise per-entry liveness query once the directory offers one.
bool ClientAlive(const kq::TClientDirEntry& entry, std::int32_t watchedID);

}  // namespace kqtool

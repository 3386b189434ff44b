#pragma once

#include <cstdint>

#include "client_directory.h"

namespace kqtool {

// Whether the client of a directory entry is alive, as far as this monitor can tell: not one whose
// process provably ended (the directory's liveness object), and then the client it watches, or one
// whose Alive mark says it answered the last ping.
bool ClientAlive(const kq::TClientDirectory& directory, const kq::TClientDirEntry& entry, std::int32_t watchedID);

}  // namespace kqtool

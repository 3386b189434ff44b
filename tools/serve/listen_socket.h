#pragma once

#include <cstdint>

namespace kqtool {

// Options for the served page's listening socket, set before it binds: a second server on the
// same port must fail to bind rather than share or take over the port (the HTTP library's own
// defaults allow that on both systems).
void SetListenSocketOptions(std::uintptr_t socket);

}  // namespace kqtool

#include <winsock2.h>

#include "listen_socket.h"

namespace kqtool {

void SetListenSocketOptions(std::uintptr_t socket) {
  // Windows' SO_REUSEADDR lets another program take the port over; this option forbids sharing it.
  BOOL yes = TRUE;
  setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
             sizeof yes);
}

}  // namespace kqtool

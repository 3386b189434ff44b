#include <sys/socket.h>

#include "listen_socket.h"

namespace kqtool {

void SetListenSocketOptions(std::uintptr_t socket) {
  // Restarts may bind while old connections linger; SO_REUSEPORT would let two servers share it.
  int yes = 1;
  setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace kqtool

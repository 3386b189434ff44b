#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

#include "secure_random.h"

namespace kqtool {

void SecureRandomBytes(unsigned char* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = getrandom(data + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the system's random generator failed");
    got += static_cast<std::size_t>(n);
  }
}

}  // namespace kqtool

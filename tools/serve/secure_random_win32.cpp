#include <windows.h>
// bcrypt.h needs the types of windows.h first.
#include <bcrypt.h>

#include <stdexcept>

#include "secure_random.h"

namespace kqtool {

void SecureRandomBytes(unsigned char* data, std::size_t size) {
  if (BCryptGenRandom(nullptr, data, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    throw std::runtime_error("the system's random generator failed");
}

}  // namespace kqtool

#pragma once

#include <cstddef>

namespace kqtool {

// Fills `data` from the operating system's cryptographically secure generator; throws when it fails.
void SecureRandomBytes(unsigned char* data, std::size_t size);

}  // namespace kqtool

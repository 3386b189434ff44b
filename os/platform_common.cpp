#include <cstdlib>

#include "platform.h"
#include "text.h"

namespace kq {

std::u16string ObjectNamespace() {
  const char* value = std::getenv("KQ_NAMESPACE");
  return value ? Utf8ToUtf16(value) : std::u16string();
}

}  // namespace kq

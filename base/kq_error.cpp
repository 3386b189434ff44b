#include "kq_error.h"

#include "text.h"

namespace kq {

EKqError::EKqError(const std::u16string& message, int code)
    : std::runtime_error(Utf16ToUtf8(message)), FMessage(message), FCode(code) {}

}  // namespace kq

#include "handled_object.h"

#include "kq_error.h"
#include "kqconsts.h"

namespace kq {

void RaiseCreateError(int messageId, std::u16string_view name, int code) {
  throw EKqError(FormatKqString(messageId, {name, static_cast<std::int64_t>(code)}), code);
}

}  // namespace kq

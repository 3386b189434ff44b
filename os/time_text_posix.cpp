#include "time_text.h"

namespace kq {

std::u16string LocaleTimeSeparator() { return u":"; }

}  // namespace kq

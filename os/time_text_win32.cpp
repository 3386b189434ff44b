#include <windows.h>

#include "time_text.h"

namespace kq {

std::u16string LocaleTimeSeparator() {
  wchar_t separator[8] = {};
  int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STIME, separator, 8);
  if (n <= 1) return u":";
  return std::u16string(reinterpret_cast<const char16_t*>(separator), static_cast<std::size_t>(n - 1));
}

}  // namespace kq

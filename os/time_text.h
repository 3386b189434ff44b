#pragma once

#include <string>
#include <string_view>

namespace kq {

// The user's time separator (Windows: the locale's, POSIX: ":"); read once by each holder.
std::u16string LocaleTimeSeparator();

// Time of day of a date-time (days since 1899-12-30) as "hh:mm:ss", 24-hour, with `separator`
// between the parts; the date is not shown.
std::u16string TimeText(double dateTime, std::u16string_view separator);

}  // namespace kq

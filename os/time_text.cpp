#include "time_text.h"

#include <cmath>
#include <cstdint>

namespace kq {

namespace {
void AppendTwoDigits(std::u16string& out, std::int64_t value) {
  out.push_back(static_cast<char16_t>(u'0' + value / 10));
  out.push_back(static_cast<char16_t>(u'0' + value % 10));
}
}  // namespace

std::u16string TimeText(double dateTime, std::u16string_view separator) {
  constexpr std::int64_t MsPerDay = 86400000;
  // Before 1899-12-30 the fraction still counts forward from midnight.
  double fraction = std::fabs(dateTime - std::trunc(dateTime));
  std::int64_t ms = std::isfinite(fraction) ? std::llround(fraction * MsPerDay) : 0;
  if (ms >= MsPerDay || ms < 0) ms = 0;
  std::int64_t seconds = ms / 1000;
  std::u16string out;
  out.reserve(6 + 2 * separator.size());
  AppendTwoDigits(out, seconds / 3600);
  out.append(separator);
  AppendTwoDigits(out, seconds / 60 % 60);
  out.append(separator);
  AppendTwoDigits(out, seconds % 60);
  return out;
}

}  // namespace kq

#include <cerrno>
#include <cmath>
#include <ctime>

#include "platform.h"

namespace kq {

double NowDateTime() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &local);
  // Days from 1899-12-30 to the local calendar date, then the local time of day as the fraction.
  int y = local.tm_year + 1900, m = local.tm_mon + 1, d = local.tm_mday;
  // Days since 1970-01-01 of a civil date (proleptic Gregorian).
  y -= m <= 2;
  long era = (y >= 0 ? y : y - 399) / 400;
  long yoe = y - era * 400;
  long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  long days1970 = era * 146097 + doe - 719468;
  double dayFraction = (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + ts.tv_nsec / 1e9) / 86400.0;
  return static_cast<double>(days1970 + 25569) + dayFraction;
}

int LastErrorCode() noexcept { return errno; }

int InvalidParameterCode() noexcept { return EINVAL; }

void SleepMs(std::uint32_t ms) noexcept {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

}  // namespace kq

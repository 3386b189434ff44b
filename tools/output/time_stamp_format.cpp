#include "time_stamp_format.h"

#include <cmath>
#include <ctime>

namespace kqtool {

namespace {

constexpr std::int64_t MsPerDay = 86400000;
constexpr std::int64_t UnixEpochDay = 25569;  // 1970-01-01 in days since 1899-12-30

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t days, std::int32_t& year, std::uint32_t& month, std::uint32_t& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::uint32_t dayOfEra = static_cast<std::uint32_t>(days - era * 146097);
  const std::uint32_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::uint32_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::uint32_t mp = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<std::int32_t>(static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

TimeStampFormat::Parts TimeStampFormat::Split(double dateTime) {
  std::int64_t ms = std::isfinite(dateTime) && std::fabs(dateTime) < 3e6 ? std::llround(dateTime * MsPerDay) : 0;
  std::int64_t days = ms / MsPerDay;
  std::int64_t ofDay = ms % MsPerDay;
  if (ofDay < 0) {
    ofDay += MsPerDay;
    --days;
  }
  Parts parts{};
  days -= UnixEpochDay;
  parts.LocalSeconds = days * 86400 + ofDay / 1000;
  CivilFromDays(days, parts.Year, parts.Month, parts.Day);
  parts.Millisecond = static_cast<std::uint32_t>(ofDay % 1000);
  const std::uint32_t seconds = static_cast<std::uint32_t>(ofDay / 1000);
  parts.Hour = seconds / 3600;
  parts.Minute = seconds / 60 % 60;
  parts.Second = seconds % 60;
  return parts;
}

void TimeStampFormat::AppendDate(const Parts& parts, OutputBuffer& out) {
  if (parts.Year < 0 || parts.Year > 9999) {
    out.Append("0000-00-00");
    return;
  }
  out.AppendDigits(static_cast<std::uint32_t>(parts.Year), 4);
  out.Append('-');
  out.AppendDigits(parts.Month, 2);
  out.Append('-');
  out.AppendDigits(parts.Day, 2);
}

void TimeStampFormat::AppendClock(const Parts& parts, OutputBuffer& out) {
  out.AppendDigits(parts.Hour, 2);
  out.Append(':');
  out.AppendDigits(parts.Minute, 2);
  out.Append(':');
  out.AppendDigits(parts.Second, 2);
  out.Append('.');
  out.AppendDigits(parts.Millisecond, 3);
}

std::int32_t TimeStampFormat::OffsetMinutes(std::int64_t localSeconds) {
  const std::int64_t quarter = localSeconds >= 0 ? localSeconds / 900 : (localSeconds - 899) / 900;
  if (quarter == FCachedQuarter) return FCachedOffset;
  // mktime reads the broken-down local time and tells the UTC moment it names; the difference is the
  // offset in force then.
  std::int64_t days = localSeconds >= 0 ? localSeconds / 86400 : (localSeconds - 86399) / 86400;
  const std::int64_t ofDay = localSeconds - days * 86400;
  std::int32_t year;
  std::uint32_t month, day;
  CivilFromDays(days, year, month, day);
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = static_cast<int>(month) - 1;
  local.tm_mday = static_cast<int>(day);
  local.tm_hour = static_cast<int>(ofDay / 3600);
  local.tm_min = static_cast<int>(ofDay / 60 % 60);
  local.tm_sec = static_cast<int>(ofDay % 60);
  local.tm_isdst = -1;
  const std::time_t utc = std::mktime(&local);
  std::int32_t offset = 0;
  if (utc != static_cast<std::time_t>(-1)) {
    const std::int64_t seconds = localSeconds - static_cast<std::int64_t>(utc);
    offset = static_cast<std::int32_t>((seconds >= 0 ? seconds + 30 : seconds - 30) / 60);
  }
  FCachedQuarter = quarter;
  FCachedOffset = offset;
  return offset;
}

void TimeStampFormat::AppendIso(double dateTime, OutputBuffer& out) {
  const Parts parts = Split(dateTime);
  AppendDate(parts, out);
  out.Append('T');
  AppendClock(parts, out);
  const std::int32_t offset = OffsetMinutes(parts.LocalSeconds);
  const std::uint32_t magnitude = static_cast<std::uint32_t>(offset < 0 ? -offset : offset);
  out.Append(offset < 0 ? '-' : '+');
  out.AppendDigits(magnitude / 60, 2);
  out.Append(':');
  out.AppendDigits(magnitude % 60, 2);
}

void TimeStampFormat::AppendReadable(double dateTime, OutputBuffer& out) {
  const Parts parts = Split(dateTime);
  AppendDate(parts, out);
  out.Append(' ');
  AppendClock(parts, out);
}

void TimeStampFormat::AppendTimeOfDay(double dateTime, OutputBuffer& out) { AppendClock(Split(dateTime), out); }

}  // namespace kqtool

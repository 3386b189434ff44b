#pragma once

#include <cstdint>

#include "output_buffer.h"

namespace kqtool {

// Writes the trace buffer's date-times (local time as days since 1899-12-30) as text: ISO 8601 with
// milliseconds and the local UTC offset of that moment, or the readable "date time.ms" form. The
// offset costs a time-zone lookup, so it is kept for the quarter hour it was found for: zones change
// their offset only at quarter-hour boundaries.
class TimeStampFormat {
 public:
  // 2026-12-09T01:55:51.123+01:00
  void AppendIso(double dateTime, OutputBuffer& out);
  // 2026-12-09 01:55:51.123
  void AppendReadable(double dateTime, OutputBuffer& out);
  // 01:55:51.123
  void AppendTimeOfDay(double dateTime, OutputBuffer& out);

  // Minutes east of UTC of a local time given as seconds since 1970-01-01 00:00 local.
  std::int32_t OffsetMinutes(std::int64_t localSeconds);

 private:
  struct Parts {
    std::int64_t LocalSeconds;  // since 1970-01-01 00:00 local
    std::int32_t Year;
    std::uint32_t Month, Day, Hour, Minute, Second, Millisecond;
  };
  static Parts Split(double dateTime);
  static void AppendDate(const Parts& parts, OutputBuffer& out);
  static void AppendClock(const Parts& parts, OutputBuffer& out);

  std::int64_t FCachedQuarter = INT64_MIN;
  std::int32_t FCachedOffset = 0;
};

}  // namespace kqtool

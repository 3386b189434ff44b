#pragma once

#include <cstdint>
#include <string>

namespace kqtool {

// Where every record of a watch went: shown (printed or counted by top), filtered out, the client's
// first line, or lost in a gap. Reported on standard error when the watch ends, so that a filter or
// a slow reader never silently hides a record.
struct RecordTally {
  std::int64_t Shown = 0;
  std::int64_t Filtered = 0;
  std::int64_t LogStarts = 0;
  std::int64_t Gaps = 0;
  std::int64_t Missing = 0;

  std::int64_t Read() const noexcept { return Shown + Filtered + LogStarts; }
  RecordTally& operator+=(const RecordTally& batch) noexcept {
    Shown += batch.Shown;
    Filtered += batch.Filtered;
    LogStarts += batch.LogStarts;
    Gaps += batch.Gaps;
    Missing += batch.Missing;
    return *this;
  }
  // "1001 record(s) read: 980 statement(s) printed, 20 filtered out, 1 log start; 5 lost in 2 gap(s)"
  std::string Summary(const char* shownVerb) const;
};

}  // namespace kqtool

#include "record_tally.h"

namespace kqtool {

std::string RecordTally::Summary(const char* shownVerb) const {
  std::string text = std::to_string(Read()) + " record(s) read: " + std::to_string(Shown) + " statement(s) " +
                     shownVerb + ", " + std::to_string(Filtered) + " filtered out, " + std::to_string(LogStarts) +
                     " log start(s); " + std::to_string(Missing) + " lost in " + std::to_string(Gaps) + " gap(s)";
  return text;
}

}  // namespace kqtool

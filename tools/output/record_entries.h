#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "monitor.h"
#include "record_tally.h"
#include "statement_redactor.h"
#include "text_pattern.h"

namespace kqtool {

// What the user asked to see of each statement.
struct StatementFilter {
  std::optional<std::u16string> Grep;  // case-insensitive, on the text as shown (redacted with Redact)
  bool Redact = false;
  // Only statements that ran at least this long (ms); a statement without a known duration is left out.
  std::optional<double> MinDurationMs;
};

enum class EntryKind {
  Statement,   // a traced statement that passed the filter
  LogStarted,  // the client's first record of an attach ("Log started for: NAME")
  Gap          // records evicted before they were read
};

// One record as every view sees it: classified, redacted and filtered once, here, so that watch, top
// and serve format the same entries and never look at a record's raw text again.
struct RecordEntry {
  EntryKind Kind = EntryKind::Statement;
  std::int32_t RefNo = 0;    // of the record; of the first missing one for a gap
  std::int32_t Missing = 0;  // records lost in a gap
  double Time = 0;           // local date-time of the record; for a gap, when the reader noticed it
  bool Cut = false;          // the text reached the ring's record limit and may have been cut there
  // Statement: the text to show (redacted when asked). LogStarted: the client's name.
  std::u16string_view Text;
  // The statement's outcome (duration, rows, status) when its client sent one, parsed from the
  // record's payload in RecordClassifier::Classify: nowhere else reads the payload. Valid as long as
  // Text is. With an outcome the record's tick is the completion: Time is then the start (completion
  // minus duration) and End the completion; without one both are the record's time.
  const kq::TRecordOutcome* Outcome = nullptr;
  double End = 0;

  bool HasDuration() const noexcept { return Outcome && Outcome->DurationMicros >= 0; }
  bool Failed() const noexcept { return Outcome && Outcome->Status != 0; }
};

// The start of a statement that completed at `end` (a local date-time) after `durationMicros`.
inline double StartOf(double end, std::int64_t durationMicros) noexcept {
  return durationMicros > 0 ? end - static_cast<double>(durationMicros) / 86400e6 : end;
}

// Tells the client's first record ("Log started for: NAME") from a statement; the name, or nothing.
std::optional<std::u16string_view> LogStartedName(bool gap, std::int32_t refNo, std::u16string_view text);

// Turns a batch of the reader's records into entries, counting where every record went (a statement
// the filter hides becomes no entry, only a count).
class RecordClassifier {
 public:
  explicit RecordClassifier(const StatementFilter& filter);

  // The entries of one batch, oldest first. They and their texts stay valid until the next call and
  // only as long as `lines` do (unredacted texts point into the lines).
  const std::vector<RecordEntry>& Classify(std::span<const kq::TraceLineView> lines);
  const std::vector<RecordEntry>& Classify(std::span<const kq::TraceLine> lines);

  // Where the records of the last batch went.
  const RecordTally& BatchTally() const noexcept { return FBatch; }

 private:
  template <typename Line>
  const std::vector<RecordEntry>& ClassifyLines(std::span<const Line> lines);

  std::optional<TextPattern> FPattern;
  std::optional<double> FMinDurationMs;
  bool FRedact;
  StatementRedactor FRedactor;
  struct RedactedText {
    std::size_t Entry, Offset, Length;
  };
  std::u16string FRedacted;  // the batch's redacted texts, end to end
  std::vector<RedactedText> FOffsets;
  // Outcomes parsed from views (a TraceLine carries its own), pointed at once the batch is done.
  std::vector<kq::TRecordOutcome> FOutcomes;
  std::vector<std::size_t> FOutcomeEntries;
  std::vector<RecordEntry> FEntries;
  RecordTally FBatch;
};

}  // namespace kqtool

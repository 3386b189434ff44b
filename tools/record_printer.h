#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "buffer_reader.h"
#include "output_buffer.h"
#include "output_target.h"
#include "record_formatter.h"
#include "record_tally.h"
#include "statement_redactor.h"
#include "text_pattern.h"

namespace kqtool {

// What the user asked to see of each statement.
struct StatementFilter {
  std::optional<std::u16string> Grep;  // case-insensitive, on the text as shown (redacted with Redact)
  bool Redact = false;
};

// Tells the client's first record ("Log started for: NAME") from a statement; the name, or nothing.
std::optional<std::u16string_view> LogStartedName(const kq::TraceLine& line);

// The watch's way from records to output: redacts and filters each statement, formats what is left
// into one reusable buffer and writes the batch in one piece. Counts where every record went.
class RecordPrinter {
 public:
  RecordPrinter(std::unique_ptr<RecordFormatter> formatter, std::unique_ptr<OutputTarget> target,
                const StatementFilter& filter);

  // False once the target took no more.
  bool Print(const std::vector<kq::TraceLine>& lines, const ClientInfo& client);
  // Formats without writing (the benchmark measures this alone); the buffer holds the batch after.
  void Format(const std::vector<kq::TraceLine>& lines, const ClientInfo& client);

  const RecordTally& Tally() const noexcept { return FTally; }
  const OutputBuffer& Buffer() const noexcept { return FBuffer; }

 private:
  std::unique_ptr<RecordFormatter> FFormatter;
  std::unique_ptr<OutputTarget> FTarget;
  std::optional<TextPattern> FPattern;
  bool FRedact;
  StatementRedactor FRedactor;
  OutputBuffer FBuffer;
  RecordTally FTally;
};

}  // namespace kqtool

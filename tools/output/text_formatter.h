#pragma once

#include <string_view>

#include "record_formatter.h"
#include "time_stamp_format.h"

namespace kqtool {

struct TextStyle {
  bool RefNo = false;   // the reference number, padded to six places
  bool Time = false;    // the local date and time with milliseconds
  bool Colour = false;  // ANSI colours (for a terminal)
};

// The readable form: "<refno>  <date time.ms>  <client>  <text>", a cut text ending in CutMark, the
// first record as a line of its own kind, and gaps as a line that says what was lost. A statement with
// an outcome gets "<duration> ms  <rows> rows  <ok|FAILED>" before its text (the time is then its
// start), and a failed one its SQLSTATE, code and message after it.
class TextFormatter : public RecordFormatter {
 public:
  static constexpr std::string_view CutMark = " [cut]";
  // The status column of a statement that failed (also without colour, where red cannot tell it).
  static constexpr std::string_view FailedWord = "FAILED";

  explicit TextFormatter(TextStyle style) noexcept : FStyle(style) {}

  void Statement(const RecordEntry& entry, const ClientInfo& client, OutputBuffer& out) override;
  void LogStarted(const RecordEntry& entry, const ClientInfo& client, OutputBuffer& out) override;
  void Gap(const RecordEntry& gap, const ClientInfo& client, OutputBuffer& out) override;

 private:
  // The columns every line starts with; further per-line columns (a client's, say) belong here.
  void Columns(const RecordEntry& entry, OutputBuffer& out);
  void OutcomeColumns(const RecordEntry& entry, OutputBuffer& out);
  void ErrorDetail(const kq::TRecordOutcome& outcome, OutputBuffer& out);
  // The client's label (when the watch gives one) before the text.
  void ClientColumn(const ClientInfo& client, OutputBuffer& out);
  void Colour(std::string_view code, OutputBuffer& out) {
    if (FStyle.Colour) out.Append(code);
  }

  TextStyle FStyle;
  TimeStampFormat FTime;
  std::size_t FClientWidth = 0;
};

}  // namespace kqtool

#include "text_formatter.h"

#include <algorithm>
#include <charconv>

#include "terminal_text.h"

namespace kqtool {

namespace {
constexpr std::string_view Dim = "\x1b[2m";
constexpr std::string_view Cyan = "\x1b[36m";
constexpr std::string_view Green = "\x1b[1;32m";
constexpr std::string_view Yellow = "\x1b[33m";
constexpr std::string_view Red = "\x1b[31m";
constexpr std::string_view Magenta = "\x1b[35m";
constexpr std::string_view Reset = "\x1b[0m";
// `value` right-aligned in `width` places.
void AppendPadded(std::int64_t value, std::size_t width, OutputBuffer& out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const auto count = static_cast<std::size_t>(end - digits);
  if (count < width) out.AppendRepeated(' ', width - count);
  out.Append(std::string_view(digits, count));
}

}  // namespace

void TextFormatter::ClientColumn(const ClientInfo& client, OutputBuffer& out) {
  if (client.Label.empty()) return;
  // Padded to the widest label so far, so that the statements of several clients line up.
  FClientWidth = std::max(FClientWidth, client.Label.size());
  Colour(Magenta, out);
  out.Append(client.Label);
  Colour(Reset, out);
  out.AppendRepeated(' ', FClientWidth - client.Label.size() + 2);
}

void TextFormatter::Columns(const RecordEntry& line, OutputBuffer& out) {
  if (FStyle.RefNo) {
    Colour(Dim, out);
    const std::size_t start = out.Size();
    out.AppendInt(line.RefNo);
    const std::size_t digits = out.Size() - start;
    if (digits < 6) out.AppendRepeated(' ', 6 - digits);
    Colour(Reset, out);
    out.Append("  ");
  }
  if (FStyle.Time) {
    Colour(Cyan, out);
    FTime.AppendReadable(line.Time, out);
    Colour(Reset, out);
    out.Append("  ");
  }
}

void TextFormatter::OutcomeColumns(const RecordEntry& line, OutputBuffer& out) {
  // Fixed widths, so that the statements of a client line up whether their outcomes are known or not.
  // Digits are written directly: this runs for every line of a flood, where a printf would cost more
  // than the rest of the line.
  const kq::TRecordOutcome& outcome = *line.Outcome;
  if (outcome.DurationMicros >= 0) {
    AppendPadded(outcome.DurationMicros / 1000, 6, out);
    out.Append('.');
    out.AppendDigits(static_cast<std::uint32_t>(outcome.DurationMicros % 1000), 3);
  } else {
    out.AppendRepeated(' ', 9);
    out.Append('-');
  }
  out.Append(" ms  ");
  if (outcome.Rows >= 0) {
    AppendPadded(outcome.Rows, 7, out);
  } else {
    out.AppendRepeated(' ', 6);
    out.Append('-');
  }
  out.Append(" rows  ");
  if (outcome.Status != 0) {
    Colour(Red, out);
    out.Append(FailedWord);
    Colour(Reset, out);
    out.Append("  ");
  } else {
    out.Append("ok      ");
  }
}

void TextFormatter::ErrorDetail(const kq::TRecordOutcome& outcome, OutputBuffer& out) {
  Colour(Red, out);
  out.Append("  -- ");
  if (!outcome.SqlState.empty()) {
    out.Append("SQLSTATE ");
    AppendTerminalSafe(outcome.SqlState, out);
    out.Append(' ');
  }
  if (outcome.NativeCode != 0) {
    out.Append("code ");
    out.AppendInt(outcome.NativeCode);
    out.Append(' ');
  }
  if (!outcome.Message.empty()) {
    out.Append(": ");
    AppendTerminalSafe(outcome.Message, out);
  }
  Colour(Reset, out);
}

void TextFormatter::Statement(const RecordEntry& line, const ClientInfo& client, OutputBuffer& out) {
  const std::size_t start = out.Size();
  Columns(line, out);
  ClientColumn(client, out);
  if (line.Outcome) OutcomeColumns(line, out);
  const bool failed = line.Failed();
  if (failed) Colour(Red, out);
  AppendTerminalSafe(line.Text, out, VisibleWidth(out.View().substr(start)));
  if (failed) Colour(Reset, out);
  if (line.Cut) {
    Colour(Red, out);
    out.Append(CutMark);
    Colour(Reset, out);
  }
  if (failed) ErrorDetail(*line.Outcome, out);
  out.Append('\n');
}

void TextFormatter::LogStarted(const RecordEntry& line, const ClientInfo& client, OutputBuffer& out) {
  Columns(line, out);
  ClientColumn(client, out);
  Colour(Green, out);
  out.Append("=== log started for ");
  AppendTerminalSafe(line.Text, out);
  out.Append(" (client ");
  out.AppendInt(client.ID);
  out.Append(") ===");
  Colour(Reset, out);
  out.Append('\n');
}

void TextFormatter::Gap(const RecordEntry& gap, const ClientInfo& client, OutputBuffer& out) {
  ClientColumn(client, out);
  Colour(Yellow, out);
  out.Append("--- gap: ");
  out.AppendInt(gap.Missing);
  out.Append(" statement(s) from ref ");
  out.AppendInt(gap.RefNo);
  out.Append(" evicted before they were read ---");
  Colour(Reset, out);
  out.Append('\n');
}

}  // namespace kqtool

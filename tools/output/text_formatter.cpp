#include "text_formatter.h"

#include <algorithm>

namespace kqtool {

namespace {
constexpr std::string_view Dim = "\x1b[2m";
constexpr std::string_view Cyan = "\x1b[36m";
constexpr std::string_view Green = "\x1b[1;32m";
constexpr std::string_view Yellow = "\x1b[33m";
constexpr std::string_view Red = "\x1b[31m";
constexpr std::string_view Magenta = "\x1b[35m";
constexpr std::string_view Reset = "\x1b[0m";
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

void TextFormatter::Statement(const RecordEntry& line, const ClientInfo& client, OutputBuffer& out) {
  Columns(line, out);
  ClientColumn(client, out);
  out.AppendUtf16(line.Text);
  if (line.Cut) {
    Colour(Red, out);
    out.Append(CutMark);
    Colour(Reset, out);
  }
  out.Append('\n');
}

void TextFormatter::LogStarted(const RecordEntry& line, const ClientInfo& client, OutputBuffer& out) {
  Columns(line, out);
  ClientColumn(client, out);
  Colour(Green, out);
  out.Append("=== log started for ");
  out.AppendUtf16(line.Text);
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

#include "record_printer.h"

#include "kqconsts.h"
#include "platform.h"

namespace kqtool {

std::optional<std::u16string_view> LogStartedName(const kq::TraceLine& line) {
  // The client writes it as the first record of every attach, before any statement can come.
  if (line.Gap || line.RefNo != 1) return std::nullopt;
  const std::u16string_view prefix = kq::LoadKqString(kq::SKqLogStarted);
  const std::u16string_view text = line.Text;
  if (text.size() < prefix.size() + 2 || text.substr(0, prefix.size()) != prefix ||
      text.substr(prefix.size(), 2) != u": ")
    return std::nullopt;
  return text.substr(prefix.size() + 2);
}

RecordPrinter::RecordPrinter(std::unique_ptr<RecordFormatter> formatter, std::unique_ptr<OutputTarget> target,
                             const StatementFilter& filter)
    : FFormatter(std::move(formatter)), FTarget(std::move(target)), FRedact(filter.Redact) {
  if (filter.Grep) FPattern.emplace(*filter.Grep);
}

void RecordPrinter::Format(const std::vector<kq::TraceLine>& lines, const ClientInfo& client) {
  FBuffer.Clear();
  double now = 0;
  for (const kq::TraceLine& line : lines) {
    if (line.Gap) {
      if (now == 0) now = kq::NowDateTime();
      FFormatter->Gap(line, now, client, FBuffer);
      ++FTally.Gaps;
      FTally.Missing += line.Missing;
      continue;
    }
    if (auto name = LogStartedName(line)) {
      FFormatter->LogStarted(line, *name, client, FBuffer);
      ++FTally.LogStarts;
      continue;
    }
    const std::u16string_view text = FRedact ? FRedactor.Redact(line.Text) : std::u16string_view(line.Text);
    if (FPattern && !FPattern->Matches(text)) {
      ++FTally.Filtered;
      continue;
    }
    FFormatter->Statement(line, text, client, FBuffer);
    ++FTally.Shown;
  }
}

bool RecordPrinter::Print(const std::vector<kq::TraceLine>& lines, const ClientInfo& client) {
  Format(lines, client);
  return FTarget->Write(FBuffer.View());
}

}  // namespace kqtool

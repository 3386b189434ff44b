#include "record_entries.h"

#include "kqconsts.h"
#include "platform.h"

namespace kqtool {

std::optional<std::u16string_view> LogStartedName(bool gap, std::int32_t refNo, std::u16string_view text) {
  // The client writes it as the first record of every attach, before any statement can come.
  if (gap || refNo != 1) return std::nullopt;
  const std::u16string_view prefix = kq::LoadKqString(kq::SKqLogStarted);
  if (text.size() < prefix.size() + 2 || text.substr(0, prefix.size()) != prefix ||
      text.substr(prefix.size(), 2) != u": ")
    return std::nullopt;
  return text.substr(prefix.size() + 2);
}

namespace {

// The outcome a line carries: a TraceLine has it parsed already, a view's is parsed here into `parsed`.
const kq::TRecordOutcome* OutcomeOf(const kq::TraceLine& line, std::optional<kq::TRecordOutcome>&) {
  return line.Outcome ? &*line.Outcome : nullptr;
}
const kq::TRecordOutcome* OutcomeOf(const kq::TraceLineView& line, std::optional<kq::TRecordOutcome>& parsed) {
  parsed = line.Outcome();
  return parsed ? &*parsed : nullptr;
}

}  // namespace

RecordClassifier::RecordClassifier(const StatementFilter& filter)
    : FMinDurationMs(filter.MinDurationMs), FRedact(filter.Redact) {
  if (filter.Grep) FPattern.emplace(*filter.Grep);
}

const std::vector<RecordEntry>& RecordClassifier::Classify(std::span<const kq::TraceLineView> lines) {
  return ClassifyLines(lines);
}

const std::vector<RecordEntry>& RecordClassifier::Classify(std::span<const kq::TraceLine> lines) {
  return ClassifyLines(lines);
}

template <typename Line>
const std::vector<RecordEntry>& RecordClassifier::ClassifyLines(std::span<const Line> lines) {
  FEntries.clear();
  FRedacted.clear();
  FOffsets.clear();
  FOutcomes.clear();
  FOutcomeEntries.clear();
  FBatch = {};
  // Redacted texts are collected end to end and pointed at once the batch is done, since the
  // collection may move while it grows.
  double now = 0;
  for (const Line& line : lines) {
    RecordEntry entry{EntryKind::Statement, line.RefNo, line.Missing, line.Time, line.Cut, {}, nullptr, line.Time};
    const std::u16string_view raw(line.Text);
    if (line.Gap) {
      if (now == 0) now = kq::NowDateTime();
      entry.Kind = EntryKind::Gap;
      entry.Time = now;
      ++FBatch.Gaps;
      FBatch.Missing += line.Missing;
    } else if (auto name = LogStartedName(false, line.RefNo, raw)) {
      entry.Kind = EntryKind::LogStarted;
      entry.Text = *name;
      ++FBatch.LogStarts;
    } else {
      std::optional<kq::TRecordOutcome> parsed;
      const kq::TRecordOutcome* outcome = OutcomeOf(line, parsed);
      if (FMinDurationMs && (!outcome || outcome->DurationMicros < 0 ||
                             static_cast<double>(outcome->DurationMicros) < *FMinDurationMs * 1000.0)) {
        ++FBatch.Filtered;
        continue;
      }
      const std::u16string_view shown = FRedact ? FRedactor.Redact(raw) : raw;
      if (FPattern && !FPattern->Matches(shown)) {
        ++FBatch.Filtered;
        continue;
      }
      if (FRedact) {
        FOffsets.push_back({FEntries.size(), FRedacted.size(), shown.size()});
        FRedacted.append(shown);
      } else {
        entry.Text = shown;
      }
      if (outcome) {
        entry.Time = StartOf(line.Time, outcome->DurationMicros);
        if (parsed) {
          FOutcomeEntries.push_back(FEntries.size());
          FOutcomes.push_back(std::move(*parsed));
        } else {
          entry.Outcome = outcome;
        }
      }
      ++FBatch.Shown;
    }
    FEntries.push_back(entry);
  }
  for (const RedactedText& text : FOffsets)
    FEntries[text.Entry].Text = std::u16string_view(FRedacted).substr(text.Offset, text.Length);
  for (std::size_t i = 0; i < FOutcomeEntries.size(); ++i) FEntries[FOutcomeEntries[i]].Outcome = &FOutcomes[i];
  return FEntries;
}

}  // namespace kqtool

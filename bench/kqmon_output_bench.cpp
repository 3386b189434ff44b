// kqmon's formatting per output mode, in lines per second, beside a floor: copying the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "json_formatter.h"
#include "record_printer.h"
#include "text.h"
#include "text_formatter.h"
#include "top_table.h"

namespace {

using kqtool::ClientInfo;

// A batch as the reader hands it over: 1000 statements of about 200 characters, mixed shapes; with
// `outcomes`, each with its duration and rows and one in fifty failed with a message.
std::vector<kq::TraceLine> Batch(bool outcomes = false) {
  std::vector<kq::TraceLine> lines;
  const char* shapes[] = {
      "SELECT o.id, o.placed_at, o.total, o.status, c.name FROM orders o JOIN customers c ON c.id = o.customer_id "
      "WHERE o.customer_id = %d AND o.placed_at > '2026-01-01' ORDER BY o.placed_at DESC LIMIT 10",
      "UPDATE products SET stock = stock - 2, updated_at = CURRENT_TIMESTAMP WHERE sku = 'SKU-%d' AND stock >= 2 "
      "AND warehouse_id IN (1, 2, 3, 4) -- order entry batch",
  };
  for (int i = 0; i < 1000; ++i) {
    char text[400];
    std::snprintf(text, sizeof text, shapes[i % 2], 1000 + i);
    lines.push_back({false, i + 2, 0, 46365.5 + i / 86400000.0, false, kq::Utf8ToUtf16(text), std::nullopt});
    if (!outcomes) continue;
    kq::TRecordOutcome outcome;
    outcome.DurationMicros = 150 + (i * 7919) % 25000;
    outcome.Rows = i % 2 ? 1 : i % 11;
    if (i % 50 == 0) {
      outcome.Status = 1;
      outcome.NativeCode = 1213;
      outcome.SqlState = u"40P01";
      outcome.Message = u"deadlock detected";
    }
    lines.back().Outcome = outcome;
  }
  return lines;
}

// Writes nowhere: the benchmark measures formatting, not the pipe.
class NullTarget : public kqtool::OutputTarget {
 public:
  bool Write(std::string_view) override { return true; }
  bool IsTerminal() const override { return false; }
};

void RunPrinter(benchmark::State& state, std::unique_ptr<kqtool::RecordFormatter> formatter,
                const kqtool::StatementFilter& filter, bool outcomes = false) {
  const std::vector<kq::TraceLine> lines = Batch(outcomes);
  const ClientInfo client{42, u"Orders DB", ""};
  // Classifying (redaction, filter) is part of the way from records to output, as it was when the
  // printer did it itself.
  kqtool::RecordClassifier classifier(filter);
  kqtool::RecordPrinter printer(std::move(formatter), std::make_unique<NullTarget>());
  for (auto _ : state) {
    printer.Format(classifier.Classify(lines), client);
    benchmark::DoNotOptimize(printer.Buffer().View().data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(printer.Buffer().Size()));
}

void BM_OutputFloorMemcpy(benchmark::State& state) {
  // The same bytes as the text mode writes, copied into a reused buffer: what formatting cannot beat.
  const std::vector<kq::TraceLine> lines = Batch();
  kqtool::RecordClassifier classifier({});
  kqtool::RecordPrinter printer(std::make_unique<kqtool::TextFormatter>(kqtool::TextStyle{true, true, false}),
                                std::make_unique<NullTarget>());
  printer.Format(classifier.Classify(lines), {42, u"Orders DB", ""});
  const std::string_view bytes = printer.Buffer().View();
  std::vector<char> out(bytes.size());
  for (auto _ : state) {
    std::memcpy(out.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_OutputFloorMemcpy);

void BM_OutputText(benchmark::State& state) {
  RunPrinter(state, std::make_unique<kqtool::TextFormatter>(kqtool::TextStyle{false, false, false}), {});
}
BENCHMARK(BM_OutputText);

void BM_OutputTextRefNoTime(benchmark::State& state) {
  RunPrinter(state, std::make_unique<kqtool::TextFormatter>(kqtool::TextStyle{true, true, false}), {});
}
BENCHMARK(BM_OutputTextRefNoTime);

void BM_OutputJson(benchmark::State& state) { RunPrinter(state, std::make_unique<kqtool::JsonFormatter>(), {}); }
BENCHMARK(BM_OutputJson);

void BM_OutputTextGrep(benchmark::State& state) {
  // Matches half of the statements (the UPDATEs), late in their text.
  RunPrinter(state, std::make_unique<kqtool::TextFormatter>(kqtool::TextStyle{true, true, false}),
             {std::u16string(u"warehouse_id"), false, std::nullopt});
}
BENCHMARK(BM_OutputTextGrep);

void BM_OutputJsonRedact(benchmark::State& state) {
  RunPrinter(state, std::make_unique<kqtool::JsonFormatter>(), {std::nullopt, true, std::nullopt});
}
BENCHMARK(BM_OutputJsonRedact);

void BM_OutputTextOutcome(benchmark::State& state) {
  RunPrinter(state, std::make_unique<kqtool::TextFormatter>(kqtool::TextStyle{false, false, false}), {}, true);
}
BENCHMARK(BM_OutputTextOutcome);

void BM_OutputTextRefNoTimeOutcome(benchmark::State& state) {
  RunPrinter(state, std::make_unique<kqtool::TextFormatter>(kqtool::TextStyle{true, true, false}), {}, true);
}
BENCHMARK(BM_OutputTextRefNoTimeOutcome);

void BM_OutputJsonOutcome(benchmark::State& state) {
  RunPrinter(state, std::make_unique<kqtool::JsonFormatter>(), {}, true);
}
BENCHMARK(BM_OutputJsonOutcome);

void BM_OutputTextMinDuration(benchmark::State& state) {
  // Keeps the statements of 10 ms and more: about three in five.
  kqtool::StatementFilter filter;
  filter.MinDurationMs = 10;
  RunPrinter(state, std::make_unique<kqtool::TextFormatter>(kqtool::TextStyle{true, true, false}), filter, true);
}
BENCHMARK(BM_OutputTextMinDuration);

void BM_TopStatistics(benchmark::State& state) {
  const std::vector<kq::TraceLine> lines = Batch(true);
  kqtool::TopTable table({20, 200});
  for (auto _ : state)
    for (const kq::TraceLine& line : lines) table.Add(line.Text, line.Time, &*line.Outcome);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines.size()));
}
BENCHMARK(BM_TopStatistics);

void BM_TopFingerprint(benchmark::State& state) {
  const std::vector<kq::TraceLine> lines = Batch();
  kqtool::TopTable table({20, 200});
  for (auto _ : state)
    for (const kq::TraceLine& line : lines) table.Add(line.Text, line.Time);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines.size()));
}
BENCHMARK(BM_TopFingerprint);

}  // namespace

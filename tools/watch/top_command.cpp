#include <cstdlib>

#include "commands.h"
#include "output_target.h"
#include "tool_support.h"

namespace kqtool {

namespace {

// Columns of the terminal: COLUMNS when the shell exports it, else a common width.
std::size_t TerminalWidth() {
  const char* columns = std::getenv("COLUMNS");
  auto value = columns ? ParseInt(columns) : std::nullopt;
  return value && *value > 40 ? static_cast<std::size_t>(*value) : 120;
}

}  // namespace

int RunTop(const TopOptions& options) {
  std::unique_ptr<OutputTarget> target = MakeStandardOutput();
  const bool terminal = target->IsTerminal();
  const bool json = options.Format == "json";
  const bool colour = !json && UseColour(options.Colour, terminal);
  const std::size_t limit = static_cast<std::size_t>(options.Limit);
  TopTable table(options.Burst);
  RecordTally tally;
  ClientInfo shown;
  OutputBuffer out;

  auto onBatch = [&](const std::vector<RecordEntry>& entries, const RecordTally& batch, const ClientInfo& client) {
    if (shown.ID == 0) shown = client;
    tally += batch;
    table.Add(entries, client);
    return true;
  };
  // A terminal gets the table redrawn in place every second; anything else gets it once, at the end.
  auto onSecond = [&] {
    if (!terminal || json) return;
    out.Clear();
    out.Append("\x1b[H\x1b[2J");
    table.AppendText(out, limit, TerminalWidth(), shown, colour);
    target->Write(out.View());
  };
  ClientWatcher watcher(options.Watch, options.Filter);
  const int code = watcher.Run(onBatch, onSecond);
  if (code != 0) return code;
  out.Clear();
  if (json)
    table.AppendJson(out, limit, shown, tally.Filtered, tally.Missing);
  else
    table.AppendText(out, limit, terminal ? TerminalWidth() : 0, shown, colour);
  const bool written = target->Write(out.View());
  Status(tally.Summary("counted"));
  return written ? 0 : 1;
}

}  // namespace kqtool

#include <cmath>
#include <stdexcept>

#include "commands.h"
#include "json_formatter.h"
#include "rotating_file.h"
#include "text_formatter.h"
#include "tool_support.h"

namespace kqtool {

int RunWatch(const WatchOptions& options) {
  std::unique_ptr<OutputTarget> target;
  if (options.Output.empty()) {
    target = MakeStandardOutput();
  } else {
    try {
      const auto bytes = static_cast<std::uint64_t>(std::llround(options.RotateSizeMB * 1024 * 1024));
      target = std::make_unique<RotatingFile>(options.Output, bytes, options.RotateKeep);
    } catch (const std::exception& e) {
      Status(e.what());
      return 1;
    }
  }
  std::unique_ptr<RecordFormatter> formatter;
  if (options.Format == "json")
    formatter = std::make_unique<JsonFormatter>();
  else
    formatter = std::make_unique<TextFormatter>(
        TextStyle{options.Watch.RefNo, options.Watch.Time, UseColour(options.Colour, target->IsTerminal())});
  RecordPrinter printer(std::move(formatter), std::move(target));
  RecordTally tally;
  bool outputFailed = false;
  ClientWatcher watcher(options.Watch, options.Filter);
  const int code =
      watcher.Run([&](const std::vector<RecordEntry>& entries, const RecordTally& batch, const ClientInfo& client) {
        tally += batch;
        if (printer.Print(entries, client)) return true;
        if (!outputFailed) Status("the output takes no more; leaving");
        outputFailed = true;
        return false;
      });
  if (code == 0) Status(tally.Summary("printed"));
  return code != 0 ? code : outputFailed ? 1 : 0;
}

}  // namespace kqtool

#include "record_printer.h"

namespace kqtool {

RecordPrinter::RecordPrinter(std::unique_ptr<RecordFormatter> formatter, std::unique_ptr<OutputTarget> target)
    : FFormatter(std::move(formatter)), FTarget(std::move(target)) {}

void RecordPrinter::Format(const std::vector<RecordEntry>& entries, const ClientInfo& client) {
  FBuffer.Clear();
  for (const RecordEntry& entry : entries) FFormatter->Entry(entry, client, FBuffer);
}

bool RecordPrinter::Print(const std::vector<RecordEntry>& entries, const ClientInfo& client) {
  Format(entries, client);
  return FTarget->Write(FBuffer.View());
}

}  // namespace kqtool

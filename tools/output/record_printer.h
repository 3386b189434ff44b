#pragma once

#include <memory>
#include <vector>

#include "output_buffer.h"
#include "output_target.h"
#include "record_entries.h"
#include "record_formatter.h"

namespace kqtool {

// The watch's way from entries to output: formats a batch into one reusable buffer and writes it in
// one piece.
class RecordPrinter {
 public:
  RecordPrinter(std::unique_ptr<RecordFormatter> formatter, std::unique_ptr<OutputTarget> target);

  // False once the target took no more.
  bool Print(const std::vector<RecordEntry>& entries, const ClientInfo& client);
  // Formats without writing (the benchmark measures this alone); the buffer holds the batch after.
  void Format(const std::vector<RecordEntry>& entries, const ClientInfo& client);

  const OutputBuffer& Buffer() const noexcept { return FBuffer; }

 private:
  std::unique_ptr<RecordFormatter> FFormatter;
  std::unique_ptr<OutputTarget> FTarget;
  OutputBuffer FBuffer;
};

}  // namespace kqtool

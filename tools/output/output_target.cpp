#include "output_target.h"

#include <cstdio>

#include "tool_support.h"

namespace kqtool {

bool StandardOutput::Write(std::string_view bytes) {
  if (bytes.empty()) return true;
  // A write of a whole batch passes the stream's own buffer by; the flush makes it one system call.
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
  return std::fflush(stdout) == 0 && written;
}

bool StandardOutput::IsTerminal() const { return StdoutIsTerminal(); }

std::unique_ptr<OutputTarget> MakeStandardOutput() { return std::make_unique<StandardOutput>(); }

}  // namespace kqtool

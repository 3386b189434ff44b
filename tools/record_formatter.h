#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "buffer_reader.h"
#include "output_buffer.h"

namespace kqtool {

// The client whose records are being shown.
struct ClientInfo {
  std::int32_t ID = 0;
  std::u16string Name;
};

// Turns the records of a watch into output lines, appended to the batch's buffer. One formatter per
// output mode; each line ends with "\n".
class RecordFormatter {
 public:
  virtual ~RecordFormatter() = default;
  // A traced statement; `text` is what to show of it (the record's text, or its redacted form).
  virtual void Statement(const kq::TraceLine& line, std::u16string_view text, const ClientInfo& client,
                         OutputBuffer& out) = 0;
  // The first record after an attach, which the client writes itself ("Log started for: NAME").
  virtual void LogStarted(const kq::TraceLine& line, std::u16string_view name, const ClientInfo& client,
                          OutputBuffer& out) = 0;
  // Records evicted before they were read; `noticed` is the local date-time when the reader saw it.
  virtual void Gap(const kq::TraceLine& gap, double noticed, const ClientInfo& client, OutputBuffer& out) = 0;
};

}  // namespace kqtool

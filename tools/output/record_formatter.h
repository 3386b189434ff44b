#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "output_buffer.h"
#include "record_entries.h"

namespace kqtool {

// The client whose records are being shown.
struct ClientInfo {
  std::int32_t ID = 0;
  std::u16string Name;
  // How the text client column names it: the name, or the ID where names repeat. Empty: no column.
  std::string Label;
};

// Turns classified entries into output lines, appended to the batch's buffer. One formatter per
// output mode; each line ends with "\n". A formatter formats; it does not classify again.
class RecordFormatter {
 public:
  virtual ~RecordFormatter() = default;
  // A traced statement; its Text is what to show of it.
  virtual void Statement(const RecordEntry& entry, const ClientInfo& client, OutputBuffer& out) = 0;
  // The first record after an attach, which the client writes itself; Text is the client's name.
  virtual void LogStarted(const RecordEntry& entry, const ClientInfo& client, OutputBuffer& out) = 0;
  // Records evicted before they were read; Time is when the reader noticed.
  virtual void Gap(const RecordEntry& gap, const ClientInfo& client, OutputBuffer& out) = 0;

  // Any entry, by its kind.
  void Entry(const RecordEntry& entry, const ClientInfo& client, OutputBuffer& out) {
    switch (entry.Kind) {
      case EntryKind::Statement:
        return Statement(entry, client, out);
      case EntryKind::LogStarted:
        return LogStarted(entry, client, out);
      case EntryKind::Gap:
        return Gap(entry, client, out);
    }
  }
};

}  // namespace kqtool

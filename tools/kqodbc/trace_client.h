#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kqodbc {

// A statement's outcome as the proxy knows it. kq's interface header and the ODBC headers both define
// the Windows type names on Linux, so the proxy's ODBC side never sees the former; trace_client.cpp
// turns this into the interface's KqOutcome.
struct TraceOutcome {
  std::int64_t DurationMicros = -1;
  std::int64_t Rows = -1;
  bool Failed = false;
  std::int32_t NativeCode = 0;
  char16_t SqlState[6] = {};
  std::u16string Message;  // cut to MessageMax units
};
inline constexpr std::size_t TraceMessageMax = 255;  // KqOutcomeMessageMax

// The one kq client of the process, created at its first statement (ID from the process ID, name from
// the program and the first connection's data source) and again in a forked child. Statements that
// no monitor takes are dropped; a missing kqclient library means nothing is traced, never an error.
class TraceClient {
 public:
  // The data source or database named by the first connection, for the client's name.
  static void NoteSource(const std::string& source);
  // Traces one completed statement with its outcome (SubmitStatement for libraries without it).
  static void Submit(std::u16string_view text, const TraceOutcome& outcome);
};

}  // namespace kqodbc

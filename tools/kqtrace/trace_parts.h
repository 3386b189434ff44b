#pragma once
// The parts of kqtrace's interposer that need no database library and no kq client: text conversion,
// the client's name, bound values as text, prepared statements by name and the pairing of statements
// started asynchronously with their completions. Everything here is noexcept toward the interposer's
// callers: an allocation that fails is caught there, never let into the traced program's C code.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kqtrace {

// UTF-8 to UTF-16; malformed bytes become U+FFFD, so a statement in another encoding still shows.
void Utf8ToUtf16(std::string_view text, std::u16string& out);

// Longest client name the directory keeps, in UTF-16 units without the NUL.
inline constexpr std::size_t ClientNameMax = 57;

// "PROGRAM DATABASE", cut to ClientNameMax units (never inside a UTF-8 sequence). database may be
// empty; then the name is the program alone.
std::string ClientName(std::string_view program, std::string_view database);
// A name given whole (kqtrace --name), cut the same way.
std::string CutToClientName(std::string_view name);

// libpq's connection as "DB@HOST" (HOST is the socket folder for a Unix socket); either may be empty.
std::string PgDatabaseLabel(const char* db, const char* host);

// The bound values appended to a statement's text in kqtrace's documented form:
//   TEXT /* $1='abc', $2=NULL, $3=<binary 16 bytes> */
// Text values are quoted as SQL literals (a quote doubled); with redact every value but NULL is "?".
// formats/lengths may be null (all text). Returns text unchanged when there are no values.
std::string WithParams(std::string_view text, int count, const char* const* values, const int* lengths,
                       const int* formats, bool redact);

// A statement whose completion is still to come.
struct PendingStatement {
  std::string Text;  // empty when nobody was going to trace it (no monitor when it started)
  std::int64_t StartNs = 0;
  bool Traced = false;     // false: kept only to keep the pairing of later statements right
  bool SawResult = false;  // at least one result arrived since it was sent
  bool Failed = false;
  std::int64_t Rows = -1;
  std::string SqlState;
  std::string Message;
};

// What one result of a statement says, as libpq reports it.
struct ResultFacts {
  bool Error = false;
  bool PipelineSync = false;  // the result of a pipeline's sync point: no statement's
  std::int64_t Rows = -1;     // -1 when the result says nothing about rows
  std::string_view SqlState;
  std::string_view Message;
};

// The statements of one connection in the order they were sent. libpq answers them in that order,
// also in pipeline mode, each statement's results ending with a null result: the first null result
// after a statement's results completes it. Null results with nothing pending (libpq gives them again
// when asked again) complete nothing.
class PendingQueue {
 public:
  void Push(PendingStatement statement) { FItems.push_back(std::move(statement)); }
  // A result of the oldest pending statement.
  void OnResult(const ResultFacts& facts);
  // A null result: moves the completed statement to done and returns true, or returns false.
  bool OnNull(PendingStatement& done);
  bool Empty() const noexcept { return FItems.empty(); }
  std::size_t Size() const noexcept { return FItems.size(); }
  void Clear() noexcept { FItems.clear(); }

 private:
  std::deque<PendingStatement> FItems;
};

// One connection's state: its prepared statements by name and its pending statements.
struct ConnectionState {
  std::unordered_map<std::string, std::string> Prepared;
  PendingQueue Pending;

  void NotePrepared(const char* name, const char* text) { Prepared[name ? name : ""] = text ? text : ""; }
  // The prepared statement's text, or a placeholder that names it when it was prepared elsewhere (by
  // an SQL PREPARE, or before tracing began).
  std::string PreparedText(const char* name) const;
};

}  // namespace kqtrace

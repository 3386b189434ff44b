#pragma once
// The process's one kq client, as the interposer sees it: created on the first traced statement,
// reached only through libkqclient.so's COM entry points, renewed in a forked child, released at exit.
// Every function is noexcept: they run inside someone else's C program.
#include <cstdint>
#include <string>
#include <string_view>

namespace kqtrace {

// The settings kqtrace passes through the environment (read once).
struct Settings {
  bool Params = false;  // KQTRACE_PARAMS=1: bound values after the text
  bool Redact = false;  // KQTRACE_REDACT=1: every bound value shown as ?
  std::string Name;     // KQTRACE_NAME: the client's name instead of the derived one
};
const Settings& CurrentSettings() noexcept;

// Whether a statement starting now is worth timing and keeping: before the client exists (the first
// statement creates it) and while a monitor is registered. One load from shared memory otherwise.
bool Wanted() noexcept;

std::int64_t NowNs() noexcept;

// The outcome of one completed statement.
struct Outcome {
  std::int64_t DurationMicros = -1;
  std::int64_t Rows = -1;
  bool Failed = false;
  std::int32_t NativeCode = 0;
  std::string_view SqlState;
  std::string_view Message;
};

// What a statement ran on ("app@/run/postgresql", "orders.db"), asked for only when the statement
// creates the client (it names the client).
using DatabaseLabel = std::string (*)(const void* context);

// Traces one completed statement.
void Submit(std::string_view text, const Outcome& outcome, DatabaseLabel label, const void* context) noexcept;

// Diagnostics to the file KQTRACE_LOG names, never to the program's streams.
void Log(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// Depth of the traced entry points on this thread: libpq calls its own exported functions, and only
// the outermost call is the application's statement.
class Nesting {
 public:
  Nesting() noexcept { ++Depth; }
  ~Nesting() { --Depth; }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  static bool Inside() noexcept { return Depth > 0; }

 private:
  // Initial-exec: a preloaded library's TLS is static, and a load of it costs one instruction.
  static thread_local int Depth __attribute__((tls_model("initial-exec")));
};

// Looks a function up in the already loaded library `soname`: first the global scope after ours, then
// the library itself even when it was loaded privately (RTLD_LOCAL, as Python loads its modules'
// libraries). Null when it is not loaded.
void* FindLoaded(const char* soname, const char* symbol) noexcept;

}  // namespace kqtrace

#include "sqlite_hooks.h"

#include <strings.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "trace_client.h"
#include "trace_parts.h"

namespace {

constexpr unsigned TraceStmt = 0x01;
constexpr unsigned TraceProfile = 0x02;
constexpr int SqliteOk = 0;
constexpr int SqliteRow = 100;
constexpr int SqliteDone = 101;
constexpr const char* SqliteLibrary = "libsqlite3.so.0";

std::mutex ApiGuard;
kqtrace::SqliteApi Api;
std::atomic<bool> ApiReady{false};

template <typename Fn>
void Find(Fn& slot, const char* name) noexcept {
  slot = reinterpret_cast<Fn>(kqtrace::FindLoaded(SqliteLibrary, name));
}

bool EnsureApi() noexcept {
  if (ApiReady.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(ApiGuard);
  if (ApiReady.load()) return true;
  Find(Api.TraceV2, "sqlite3_trace_v2");
  Find(Api.Sql, "sqlite3_sql");
  Find(Api.ExpandedSql, "sqlite3_expanded_sql");
  Find(Api.Free, "sqlite3_free");
  Find(Api.DbHandle, "sqlite3_db_handle");
  Find(Api.Changes, "sqlite3_changes");
  Find(Api.StmtReadonly, "sqlite3_stmt_readonly");
  Find(Api.ExtendedErrcode, "sqlite3_extended_errcode");
  Find(Api.Errmsg, "sqlite3_errmsg");
  Find(Api.DbFilename, "sqlite3_db_filename");
  Find(Api.Complete, "sqlite3_complete");
  // A SQLite older than 3.14 has no trace_v2: then nothing is traced, and nothing changes.
  if (!Api.TraceV2 || !Api.Sql || !Api.DbHandle) return false;
  ApiReady.store(true, std::memory_order_release);
  return true;
}

std::string DatabaseOf(const void* db) {
  const char* file = Api.DbFilename ? Api.DbFilename(const_cast<void*>(db), "main") : nullptr;
  if (!file || !*file) return "memory";
  const char* slash = std::strrchr(file, '/');
  return slash ? slash + 1 : file;
}

// The traced statements of this thread that are under way: SQLite reports the start and the end of a
// statement on the thread that steps and resets it.
struct Running {
  std::int64_t StartNs = 0;
  std::int64_t Rows = 0;  // SQLITE_ROW results seen by the step wrapper
};
thread_local std::unordered_map<void*, Running> Started;

// The statement whose sqlite3_step is under way on this thread (through our wrapper), and the end of
// it that the trace callback saw inside that step: SQLite reports the end before it records the
// step's error, so the wrapper finishes the outcome once the step returned.
thread_local void* Stepping = nullptr;
struct EndedInStep {
  void* Stmt = nullptr;
  void* Db = nullptr;
  std::string Text;
  kqtrace::Outcome Outcome;
};
thread_local EndedInStep Ended;

// Whether the statement is one whose changed rows sqlite3_changes counts: it keeps the count of the
// last INSERT, UPDATE or DELETE through any other statement (a CREATE after an INSERT would show
// the INSERT's rows).
bool CountsChanges(const char* sql) noexcept {
  if (!sql) return false;
  const char* at = sql;
  for (;;) {
    while (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n') ++at;
    if (at[0] == '-' && at[1] == '-') {
      while (*at && *at != '\n') ++at;
    } else if (at[0] == '/' && at[1] == '*') {
      const char* end = std::strstr(at + 2, "*/");
      if (!end) return false;
      at = end + 2;
    } else {
      break;
    }
  }
  for (const char* word : {"INSERT", "UPDATE", "DELETE", "REPLACE", "WITH"}) {
    const std::size_t n = std::strlen(word);
    if (strncasecmp(at, word, n) == 0 && !std::isalnum(static_cast<unsigned char>(at[n])) && at[n] != '_') return true;
  }
  return false;
}

void Deliver(void* db, std::string_view text, const kqtrace::Outcome& outcome) {
  kqtrace::Submit(text, outcome, DatabaseOf, db);
}

int OnTrace(unsigned type, void*, void* p, void* x) {
  try {
    if (type == TraceStmt) {
      // Statements inside triggers arrive as "-- ..." comments: part of the statement that fired them.
      const char* text = static_cast<const char*>(x);
      if (text && text[0] == '-' && text[1] == '-') return 0;
      if (kqtrace::Wanted()) Started[p] = Running{kqtrace::NowNs(), 0};
      return 0;
    }
    if (type != TraceProfile) return 0;
    auto started = Started.find(p);
    if (started == Started.end()) return 0;
    const Running run = started->second;
    Started.erase(started);
    // SQLite's own figure is in whole milliseconds on many systems: ours is the clock's.
    kqtrace::Outcome outcome;
    outcome.DurationMicros = (kqtrace::NowNs() - run.StartNs) / 1000;
    void* db = Api.DbHandle(p);
    const bool inStep = Stepping == p;
    const bool readOnly = Api.StmtReadonly && Api.StmtReadonly(p);
    // Rows returned are counted by the step wrapper, rows changed by SQLite.
    if (readOnly) {
      if (inStep) outcome.Rows = run.Rows;
    } else if (Api.Changes && db && CountsChanges(Api.Sql(p))) {
      outcome.Rows = Api.Changes(db);
    }
    const int code = Api.ExtendedErrcode && db ? Api.ExtendedErrcode(db) : SqliteOk;
    if (!inStep && code != SqliteOk && code != SqliteRow && code != SqliteDone) {
      outcome.Failed = true;
      outcome.NativeCode = code;
      if (Api.Errmsg) outcome.Message = Api.Errmsg(db);
      outcome.Rows = -1;
    }
    std::string expandedText;
    const char* text = nullptr;
    const kqtrace::Settings& settings = kqtrace::CurrentSettings();
    // Bound values: SQLite writes them into the text itself; redacted, the placeholders stay.
    if (settings.Params && !settings.Redact && Api.ExpandedSql && Api.Free) {
      if (char* expanded = Api.ExpandedSql(p)) {
        expandedText = expanded;
        Api.Free(expanded);
        text = expandedText.c_str();
      }
    }
    if (!text) text = Api.Sql(p);
    if (inStep) {
      Ended.Stmt = p;
      Ended.Db = db;
      Ended.Text.assign(text ? text : "");
      Ended.Outcome = outcome;
      return 0;
    }
    Deliver(db, text ? text : "", outcome);
  } catch (...) {
  }
  return 0;
}

}  // namespace

namespace kqtrace {

void SqliteUseApi(const SqliteApi& api) noexcept {
  if (ApiReady.load(std::memory_order_acquire) || EnsureApi()) return;
  std::lock_guard lock(ApiGuard);
  Api = api;
  ApiReady.store(Api.TraceV2 && Api.Sql && Api.DbHandle, std::memory_order_release);
}

void SqliteInstall(void* db) noexcept {
  if (!db || !EnsureApi()) return;
  Api.TraceV2(db, TraceStmt | TraceProfile, OnTrace, nullptr);
}

void SqliteStepEnded(int rc) noexcept {
  try {
    EndedInStep ended = std::move(Ended);
    Ended = EndedInStep{};
    if (rc != SqliteOk && rc != SqliteRow && rc != SqliteDone && ended.Db) {
      ended.Outcome.Failed = true;
      ended.Outcome.NativeCode = Api.ExtendedErrcode ? Api.ExtendedErrcode(ended.Db) : rc;
      ended.Outcome.Message = Api.Errmsg ? Api.Errmsg(ended.Db) : "";
      ended.Outcome.Rows = -1;
    }
    Deliver(ended.Db, ended.Text, ended.Outcome);
  } catch (...) {
  }
}

void SqlitePrepareFailed(void* db, const char* sql, int bytes, const char* tail, std::int64_t startNs) noexcept {
  try {
    if (!db || !sql || !EnsureApi() || !Wanted()) return;
    std::string_view text = bytes < 0 ? std::string_view(sql) : std::string_view(sql, strnlen(sql, bytes));
    // SQLite stops reading at the fault: after a name it did not know that is the statement's end, in a
    // syntax error somewhere inside it. The statement ends at the first ';' from there that completes it.
    std::size_t from = tail && tail > sql && tail <= sql + text.size() ? static_cast<std::size_t>(tail - sql) - 1 : 0;
    std::string candidate;
    for (std::size_t semicolon = text.find(';', from); semicolon != std::string_view::npos;
         semicolon = text.find(';', semicolon + 1)) {
      candidate.assign(text.substr(0, semicolon + 1));
      if (!Api.Complete || Api.Complete(candidate.c_str())) {
        text = text.substr(0, semicolon + 1);
        break;
      }
    }
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return;
    text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    Outcome outcome;
    outcome.DurationMicros = (NowNs() - startNs) / 1000;
    outcome.Failed = true;
    outcome.NativeCode = Api.ExtendedErrcode ? Api.ExtendedErrcode(db) : 1;
    if (Api.Errmsg) outcome.Message = Api.Errmsg(db);
    Submit(text, outcome, DatabaseOf, db);
  } catch (...) {
    // Out of memory or the like: the failure goes untraced, the program goes on.
  }
}

}  // namespace kqtrace

extern "C" {
typedef struct sqlite3 sqlite3;
}

namespace {
std::atomic<void*> Real_open, Real_open_v2, Real_open16, Real_prepare, Real_prepare_v2, Real_prepare_v3, Real_step;

template <typename Fn>
Fn RealOf(std::atomic<void*>& cache, const char* name) noexcept {
  void* found = cache.load(std::memory_order_relaxed);
  if (!found) {
    found = kqtrace::FindLoaded(SqliteLibrary, name);
    cache.store(found, std::memory_order_relaxed);
  }
  return reinterpret_cast<Fn>(found);
}

// SQLITE_ERROR, for a call whose library cannot be found (it cannot happen for a program that linked
// SQLite, which is the only way to call these).
constexpr int SqliteError = 1;

// Runs one prepare call with a tail pointer of ours (handed on to the caller's) and traces a failure.
template <typename Call>
int TracePrepare(sqlite3* db, const char* sql, int bytes, const char** tail, Call call) {
  const std::int64_t start = kqtrace::NowNs();
  const char* end = nullptr;
  const int rc = call(&end);
  if (tail) *tail = end;
  if (rc != SqliteOk) {
    const int saved = errno;
    kqtrace::SqlitePrepareFailed(db, sql, bytes, end, start);
    errno = saved;
  }
  return rc;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int sqlite3_open(const char* filename, sqlite3** db) {
  auto real = RealOf<int (*)(const char*, sqlite3**)>(Real_open, "sqlite3_open");
  if (!real) return SqliteError;
  int rc = real(filename, db);
  int saved = errno;
  if (rc == SqliteOk && db) kqtrace::SqliteInstall(*db);
  errno = saved;
  return rc;
}

__attribute__((visibility("default"))) int sqlite3_open_v2(const char* filename, sqlite3** db, int flags,
                                                           const char* vfs) {
  auto real = RealOf<int (*)(const char*, sqlite3**, int, const char*)>(Real_open_v2, "sqlite3_open_v2");
  if (!real) return SqliteError;
  int rc = real(filename, db, flags, vfs);
  int saved = errno;
  if (rc == SqliteOk && db) kqtrace::SqliteInstall(*db);
  errno = saved;
  return rc;
}

__attribute__((visibility("default"))) int sqlite3_open16(const void* filename, sqlite3** db) {
  auto real = RealOf<int (*)(const void*, sqlite3**)>(Real_open16, "sqlite3_open16");
  if (!real) return SqliteError;
  int rc = real(filename, db);
  int saved = errno;
  if (rc == SqliteOk && db) kqtrace::SqliteInstall(*db);
  errno = saved;
  return rc;
}

// Every step: counts the rows a statement returns, and gives a statement that ended inside the step
// the step's own result (a failure is recorded by SQLite only after it reported the end).
__attribute__((visibility("default"))) int sqlite3_step(void* stmt) {
  auto real = RealOf<int (*)(void*)>(Real_step, "sqlite3_step");
  if (!real) return SqliteError;
  void* const outer = Stepping;
  Stepping = stmt;
  const int rc = real(stmt);
  Stepping = outer;
  if (rc == SqliteRow && !Started.empty()) {
    if (auto running = Started.find(stmt); running != Started.end()) ++running->second.Rows;
  }
  if (Ended.Stmt == stmt && stmt) {
    const int saved = errno;
    kqtrace::SqliteStepEnded(rc);
    errno = saved;
  }
  return rc;
}

// The prepare calls: only a failure is traced here (a statement that compiles is traced when it
// runs). The caller's tail pointer is filled as SQLite fills it; ours tells where SQLite stopped.
__attribute__((visibility("default"))) int sqlite3_prepare(sqlite3* db, const char* sql, int bytes, void** stmt,
                                                           const char** tail) {
  auto real = RealOf<int (*)(sqlite3*, const char*, int, void**, const char**)>(Real_prepare, "sqlite3_prepare");
  if (!real) return SqliteError;
  return TracePrepare(db, sql, bytes, tail, [&](const char** end) { return real(db, sql, bytes, stmt, end); });
}

__attribute__((visibility("default"))) int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, void** stmt,
                                                              const char** tail) {
  auto real = RealOf<int (*)(sqlite3*, const char*, int, void**, const char**)>(Real_prepare_v2, "sqlite3_prepare_v2");
  if (!real) return SqliteError;
  return TracePrepare(db, sql, bytes, tail, [&](const char** end) { return real(db, sql, bytes, stmt, end); });
}

__attribute__((visibility("default"))) int sqlite3_prepare_v3(sqlite3* db, const char* sql, int bytes, unsigned flags,
                                                              void** stmt, const char** tail) {
  auto real = RealOf<int (*)(sqlite3*, const char*, int, unsigned, void**, const char**)>(Real_prepare_v3,
                                                                                          "sqlite3_prepare_v3");
  if (!real) return SqliteError;
  return TracePrepare(db, sql, bytes, tail, [&](const char** end) { return real(db, sql, bytes, flags, stmt, end); });
}

}  // extern "C"

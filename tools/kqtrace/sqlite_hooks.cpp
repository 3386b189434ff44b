#include "sqlite_hooks.h"

#include <atomic>
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

// When each traced statement of this thread started: SQLite reports the start and the end of a
// statement on the thread that steps and resets it.
thread_local std::unordered_map<void*, std::int64_t> Started;

int OnTrace(unsigned type, void*, void* p, void* x) {
  try {
    if (type == TraceStmt) {
      // Statements inside triggers arrive as "-- ..." comments: part of the statement that fired them.
      const char* text = static_cast<const char*>(x);
      if (text && text[0] == '-' && text[1] == '-') return 0;
      if (kqtrace::Wanted()) Started[p] = kqtrace::NowNs();
      return 0;
    }
    if (type != TraceProfile) return 0;
    auto started = Started.find(p);
    if (started == Started.end()) return 0;
    const std::int64_t start = started->second;
    Started.erase(started);
    // SQLite's own figure is in whole milliseconds on many systems: ours is the clock's.
    kqtrace::Outcome outcome;
    outcome.DurationMicros = (kqtrace::NowNs() - start) / 1000;
    void* db = Api.DbHandle(p);
    const bool readOnly = Api.StmtReadonly && Api.StmtReadonly(p);
    if (!readOnly && Api.Changes && db) outcome.Rows = Api.Changes(db);
    const int code = Api.ExtendedErrcode && db ? Api.ExtendedErrcode(db) : SqliteOk;
    if (code != SqliteOk && code != SqliteRow && code != SqliteDone) {
      outcome.Failed = true;
      outcome.NativeCode = code;
      if (Api.Errmsg) outcome.Message = Api.Errmsg(db);
      outcome.Rows = -1;
    }
    const kqtrace::Settings& settings = kqtrace::CurrentSettings();
    // Bound values: SQLite writes them into the text itself; redacted, the placeholders stay.
    if (settings.Params && !settings.Redact && Api.ExpandedSql && Api.Free) {
      char* expanded = Api.ExpandedSql(p);
      if (expanded) {
        std::string text(expanded);
        Api.Free(expanded);
        kqtrace::Submit(text, outcome, DatabaseOf, db);
        return 0;
      }
    }
    const char* text = Api.Sql(p);
    kqtrace::Submit(text ? text : "", outcome, DatabaseOf, db);
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

}  // namespace kqtrace

extern "C" {
typedef struct sqlite3 sqlite3;
}

namespace {
std::atomic<void*> Real_open, Real_open_v2, Real_open16;

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

}  // extern "C"

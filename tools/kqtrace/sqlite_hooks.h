#pragma once

#include <cstdint>
// SQLite: every connection opened through sqlite3_open, _v2 or 16 (or loaded with the extension) gets
// a statement trace callback; statements that fail to compile are seen at sqlite3_prepare, _v2 and _v3. The functions
// it needs come either from the loaded library or, inside a loadable extension, from the table SQLite hands the
// extension.

namespace kqtrace {

struct SqliteApi {
  int (*TraceV2)(void* db, unsigned mask, int (*callback)(unsigned, void*, void*, void*), void* context) = nullptr;
  const char* (*Sql)(void* stmt) = nullptr;
  char* (*ExpandedSql)(void* stmt) = nullptr;
  void (*Free)(void* memory) = nullptr;
  void* (*DbHandle)(void* stmt) = nullptr;
  int (*Changes)(void* db) = nullptr;
  int (*StmtReadonly)(void* stmt) = nullptr;
  int (*ExtendedErrcode)(void* db) = nullptr;
  const char* (*Errmsg)(void* db) = nullptr;
  const char* (*DbFilename)(void* db, const char* schema) = nullptr;
  int (*Complete)(const char* sql) = nullptr;
};

// Takes the extension's table when the library's own functions were not found (an application with
// SQLite built in).
void SqliteUseApi(const SqliteApi& api) noexcept;

// Installs the trace callback on one open connection.
void SqliteInstall(void* db) noexcept;

// The end of a statement that the trace callback saw inside sqlite3_step, now that the step returned
// `rc`: traced with that result.
void SqliteStepEnded(int rc) noexcept;

// A statement that failed to compile (the trace callback sees only statements that run): traced with
// its error. `sql` and `bytes` as the prepare call had them, `tail` where SQLite stopped reading.
void SqlitePrepareFailed(void* db, const char* sql, int bytes, const char* tail, std::int64_t startNs) noexcept;

}  // namespace kqtrace

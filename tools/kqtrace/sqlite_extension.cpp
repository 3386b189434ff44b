// The same tracing as a SQLite loadable extension: `.load libkqtrace` in the sqlite3 shell, or
// enable_load_extension and load_extension from Python. SQLite finds the entry point from the file
// name (libkqtrace.so: sqlite3_kqtrace_init). It traces the loading connection and, as an automatic
// extension, every connection opened after it.
#include <dlfcn.h>
#include <sqlite3ext.h>

#include "sqlite_hooks.h"

SQLITE_EXTENSION_INIT1

namespace {

template <typename To, typename From>
To As(From from) {
  return reinterpret_cast<To>(from);
}

// Our code must outlive the connection that loaded it: the trace callback, the exit and fork handlers
// stay registered. So the library is pinned in memory.
void Pin() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Pin), &info) && info.dli_fname)
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int sqlite3_kqtrace_init(sqlite3* db, char**,
                                                                           const sqlite3_api_routines* routines) {
  SQLITE_EXTENSION_INIT2(routines);
  Pin();
  kqtrace::SqliteApi api;
  api.TraceV2 = As<decltype(api.TraceV2)>(routines->trace_v2);
  api.Sql = As<decltype(api.Sql)>(routines->sql);
  api.ExpandedSql = As<decltype(api.ExpandedSql)>(routines->expanded_sql);
  api.Free = As<decltype(api.Free)>(routines->free);
  api.DbHandle = As<decltype(api.DbHandle)>(routines->db_handle);
  api.Changes = As<decltype(api.Changes)>(routines->changes);
  api.StmtReadonly = As<decltype(api.StmtReadonly)>(routines->stmt_readonly);
  api.ExtendedErrcode = As<decltype(api.ExtendedErrcode)>(routines->extended_errcode);
  api.Errmsg = As<decltype(api.Errmsg)>(routines->errmsg);
  api.DbFilename = As<decltype(api.DbFilename)>(routines->db_filename);
  kqtrace::SqliteUseApi(api);
  kqtrace::SqliteInstall(db);
  static bool automatic = false;
  if (automatic) return SQLITE_OK;  // called again as the automatic extension of a new connection
  automatic = true;
  routines->auto_extension(As<void (*)(void)>(&sqlite3_kqtrace_init));
  // Loaded for good: SQLite must not unload it when the connection closes. (Only for the load itself:
  // an automatic extension that returns anything but SQLITE_OK fails the connection's open.)
  return SQLITE_OK_LOAD_PERMANENTLY;
}

#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "odbc_headers.h"
#include "real_driver.h"
#include "trace_client.h"

namespace kqodbc {

// The handles the manager gets from the proxy. The real driver's handles only exist once a connection
// names it, and the manager allocates an environment and a connection before that, so every handle is
// the proxy's own object holding the real one.
inline constexpr std::uint32_t HandleMagic = 0x6B716F64;  // "kqod"

// A diagnostic of the proxy's own (the real driver could not be reached), shown instead of the driver's.
struct OwnDiag {
  std::string State;
  std::string Message;
};

struct Handle {
  explicit Handle(SQLSMALLINT type) : Type(type) {}
  virtual ~Handle() { Magic = 0; }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  std::uint32_t Magic = HandleMagic;
  SQLSMALLINT Type;
  RealDriver* Driver = nullptr;
  SQLHANDLE Real = nullptr;
  std::vector<OwnDiag> Own;
};

struct Dbc;
struct Stmt;

struct Env : Handle {
  Env() : Handle(SQL_HANDLE_ENV) {}
  std::map<SQLINTEGER, SQLPOINTER> Attributes;  // replayed on each connection's real environment
  std::vector<Dbc*> Connections;
};

// A connection attribute set before the real driver is known, replayed on its connection.
struct PendingAttribute {
  SQLINTEGER Attribute = 0;
  SQLPOINTER Value = nullptr;
  std::string Bytes;  // the text of a text attribute, in the form it was given
  bool IsText = false;
  bool Wide = false;
};

struct Desc : Handle {
  Desc() : Handle(SQL_HANDLE_DESC) {}
  Dbc* Connection = nullptr;
};

struct Dbc : Handle {
  Dbc() : Handle(SQL_HANDLE_DBC) {}
  Env* Parent = nullptr;
  SQLHENV RealEnv = nullptr;
  std::vector<PendingAttribute> Pending;
  bool Connected = false;
  bool TraceParams = false;   // KqParams=1
  bool TraceCatalog = false;  // KqCatalog=1
  std::vector<Stmt*> Statements;
  std::vector<Desc*> Descriptors;  // allocated by the application
};

// A bound parameter as SQLBindParameter gave it, read when a statement with KqParams=1 runs.
struct BoundParameter {
  SQLSMALLINT ValueType = 0;
  SQLPOINTER Value = nullptr;
  SQLLEN BufferLength = 0;
  SQLLEN* Indicator = nullptr;
};

struct Stmt : Handle {
  Stmt() : Handle(SQL_HANDLE_STMT) {}
  Dbc* Connection = nullptr;
  std::u16string Prepared;  // the text of SQLPrepare, traced at each SQLExecute
  bool Running = false;     // begun, not yet complete (still executing, or needing data)
  std::u16string RunningText;
  std::chrono::steady_clock::time_point Started;
  // A failed statement waits for the application to read its first diagnostic through the proxy:
  // reading it ourselves would take it away with drivers whose reads consume (the SQLite driver's).
  bool AwaitingDiagnostic = false;
  TraceOutcome Failure;
  SQLULEN ParameterSets = 1;
  std::map<SQLUSMALLINT, BoundParameter> Parameters;
  std::vector<std::unique_ptr<Desc>> Implicit;  // the statement's own descriptors, as the manager sees them
};

}  // namespace kqodbc

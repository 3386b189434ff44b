// Runs COUNT statements through an ODBC driver library called as a manager would (no manager, so
// that only the driver's and the proxy's instructions count): connect with CONNECTION, then COUNT
// times SQLExecDirect + SQLFetch + SQLFreeStmt(SQL_CLOSE). scripts/kqodbc-bench.sh runs it under
// callgrind for two counts, over the real driver alone and through the proxy, and reports the
// instructions per statement.
// Usage: kqodbc-statement-cost DRIVER_LIBRARY CONNECTION COUNT
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "odbc_headers.h"

namespace {

template <class F>
F Get(void* library, const char* name) {
  auto function = reinterpret_cast<F>(dlsym(library, name));
  if (!function) {
    std::fprintf(stderr, "kqodbc-statement-cost: the driver lacks %s\n", name);
    std::exit(1);
  }
  return function;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kqodbc-statement-cost DRIVER_LIBRARY CONNECTION COUNT\n");
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "kqodbc-statement-cost: %s\n", dlerror());
    return 1;
  }
  auto alloc = Get<decltype(&SQLAllocHandle)>(library, "SQLAllocHandle");
  auto setEnv = Get<decltype(&SQLSetEnvAttr)>(library, "SQLSetEnvAttr");
  auto connect = Get<decltype(&SQLDriverConnect)>(library, "SQLDriverConnect");
  auto execute = Get<decltype(&SQLExecDirect)>(library, "SQLExecDirect");
  auto fetch = Get<decltype(&SQLFetch)>(library, "SQLFetch");
  auto close = Get<decltype(&SQLFreeStmt)>(library, "SQLFreeStmt");
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  SQLHSTMT statement = nullptr;
  alloc(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  setEnv(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  alloc(SQL_HANDLE_DBC, env, &dbc);
  std::string text = argv[2];
  if (!SQL_SUCCEEDED(connect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, nullptr, 0, nullptr,
                             SQL_DRIVER_NOPROMPT))) {
    std::fprintf(stderr, "kqodbc-statement-cost: cannot connect with %s\n", argv[2]);
    return 1;
  }
  alloc(SQL_HANDLE_STMT, dbc, &statement);
  std::string sql = "SELECT 1";
  const long count = std::atol(argv[3]);
  for (long i = 0; i < count; ++i) {
    if (!SQL_SUCCEEDED(execute(statement, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS))) return 1;
    fetch(statement);
    close(statement, SQL_CLOSE);
  }
  return 0;
}

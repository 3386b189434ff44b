// Loads the proxy over the fake driver and calls it as a manager would: where no manager can load it
// (the Windows builds under Wine) this is what shows that the proxy forwards, keeps the driver's
// diagnostics and return codes, and fails cleanly without its real driver.
// Usage: kqodbc-harness WIDE_PROXY ANSI_PROXY FAKE_DRIVER   (the ANSI-only fake is FAKE_DRIVER's
// sibling, named with an "a" before the extension)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "odbc_headers.h"
#include "test/fake_driver.h"

#ifdef _WIN32
#define Load(path) reinterpret_cast<void*>(LoadLibraryA(path))
#define Symbol(library, name) reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name))
#else
#include <dlfcn.h>
#define Load(path) dlopen(path, RTLD_NOW | RTLD_LOCAL)
#define Symbol(library, name) dlsym(library, name)
#endif

namespace {

int Passed = 0, Failed = 0;

void Check(bool condition, const std::string& what) {
  if (condition) {
    ++Passed;
  } else {
    ++Failed;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

struct Proxy {
  void* Library;
  template <class F>
  F Get(const char* name) const {
    return reinterpret_cast<F>(Symbol(Library, name));
  }
};

std::vector<SQLWCHAR> Wide(const std::string& text) {
  std::vector<SQLWCHAR> result(text.begin(), text.end());
  result.push_back(0);
  return result;
}

// A connection through the proxy, as a manager makes it.
struct Connection {
  const Proxy& P;
  SQLHENV Env = nullptr;
  SQLHDBC Dbc = nullptr;
  SQLRETURN Result = SQL_ERROR;

  Connection(const Proxy& proxy, const std::string& connectionString, bool wide) : P(proxy) {
    auto alloc = P.Get<decltype(&SQLAllocHandle)>("SQLAllocHandle");
    alloc(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &Env);
    P.Get<decltype(&SQLSetEnvAttr)>("SQLSetEnvAttr")(Env, SQL_ATTR_ODBC_VERSION,
                                                     reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    alloc(SQL_HANDLE_DBC, Env, &Dbc);
    if (wide) {
      auto text = Wide(connectionString);
      Result = P.Get<decltype(&SQLDriverConnectW)>("SQLDriverConnectW")(Dbc, nullptr, text.data(), SQL_NTS, nullptr, 0,
                                                                        nullptr, SQL_DRIVER_NOPROMPT);
    } else {
      std::string text = connectionString;
      Result = P.Get<decltype(&SQLDriverConnect)>("SQLDriverConnect")(
          Dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    }
  }
  ~Connection() {
    auto freeHandle = P.Get<decltype(&SQLFreeHandle)>("SQLFreeHandle");
    if (SQL_SUCCEEDED(Result)) P.Get<decltype(&SQLDisconnect)>("SQLDisconnect")(Dbc);
    freeHandle(SQL_HANDLE_DBC, Dbc);
    freeHandle(SQL_HANDLE_ENV, Env);
  }

  // The state and message of a diagnostic record, read through the ANSI form.
  std::string Diagnostic(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record = 1) const {
    SQLCHAR state[6] = "", message[512] = "";
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    const SQLRETURN result = P.Get<decltype(&SQLGetDiagRec)>("SQLGetDiagRec")(type, handle, record, state, &native,
                                                                              message, sizeof message, &length);
    if (!SQL_SUCCEEDED(result)) return "<none>";
    return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(message);
  }
};

void ForwardsAndKeepsDiagnostics(const Proxy& proxy, const std::string& fake, bool wide) {
  const std::string form = wide ? "wide: " : "ANSI: ";
  Connection c(proxy, "DRIVER={kq};KqDriver={" + fake + "};KqParams=0;Database=harness;X={a;b}", wide);
  Check(c.Result == SQL_SUCCESS, form + "connects through the proxy");
  if (!SQL_SUCCEEDED(c.Result)) {
    std::printf("  %s\n", c.Diagnostic(SQL_HANDLE_DBC, c.Dbc).c_str());
    return;
  }
  char received[256] = "";
  auto getAttr = proxy.Get<decltype(&SQLGetConnectAttr)>("SQLGetConnectAttr");
  getAttr(c.Dbc, FakeConnectionStringAttribute, received, sizeof received, nullptr);
  Check(std::string(received) == "DRIVER={kq};Database=harness;X={a;b}",
        form + "the real driver gets every attribute but the Kq ones, unchanged (got \"" + received + "\")");

  SQLHSTMT statement = nullptr;
  Check(proxy.Get<decltype(&SQLAllocHandle)>("SQLAllocHandle")(SQL_HANDLE_STMT, c.Dbc, &statement) == SQL_SUCCESS,
        form + "a statement handle");
  auto execute = [&](const std::string& text) {
    if (wide) {
      auto units = Wide(text);
      return proxy.Get<decltype(&SQLExecDirectW)>("SQLExecDirectW")(statement, units.data(), SQL_NTS);
    }
    std::string bytes = text;
    return proxy.Get<decltype(&SQLExecDirect)>("SQLExecDirect")(statement, reinterpret_cast<SQLCHAR*>(bytes.data()),
                                                                static_cast<SQLINTEGER>(bytes.size()));
  };
  Check(execute("SELECT 1/0") == SQL_ERROR, form + "the driver's error comes back");
  const std::string expected = std::string("22012 ") + FakeDivisionMessage;
  Check(c.Diagnostic(SQL_HANDLE_STMT, statement) == expected,
        form + "the driver's diagnostic reaches the application (got \"" + c.Diagnostic(SQL_HANDLE_STMT, statement) +
            "\")");
  Check(c.Diagnostic(SQL_HANDLE_STMT, statement, 2) == "<none>", form + "no record added to the driver's");

  Check(execute("UPDATE t SET a = 1") == SQL_SUCCESS, form + "an update succeeds");
  SQLLEN rows = 0;
  proxy.Get<decltype(&SQLRowCount)>("SQLRowCount")(statement, &rows);
  Check(rows == 3, form + "rows from the driver's SQLRowCount");

  Check(execute("ASYNC work") == SQL_STILL_EXECUTING, form + "still executing passes through");
  Check(execute("ASYNC work") == SQL_SUCCESS, form + "the repeated call completes");

  std::string prepared = "PUTDATA x";
  proxy.Get<decltype(&SQLPrepare)>("SQLPrepare")(statement, reinterpret_cast<SQLCHAR*>(prepared.data()), SQL_NTS);
  Check(proxy.Get<decltype(&SQLExecute)>("SQLExecute")(statement) == SQL_NEED_DATA, form + "need data passes through");
  SQLPOINTER token = nullptr;
  Check(proxy.Get<decltype(&SQLParamData)>("SQLParamData")(statement, &token) == SQL_SUCCESS,
        form + "SQLParamData completes the statement");

  Check(proxy.Get<decltype(&SQLFreeHandle)>("SQLFreeHandle")(SQL_HANDLE_STMT, statement) == SQL_SUCCESS,
        form + "the statement is freed");
}

void FailsCleanly(const Proxy& proxy, const std::string& connectionString, const std::string& needle,
                  const std::string& what, bool wide) {
  Connection c(proxy, connectionString, wide);
  const std::string diagnostic = c.Diagnostic(SQL_HANDLE_DBC, c.Dbc);
  Check(c.Result == SQL_ERROR, what + ": an ODBC error");
  Check(diagnostic.rfind("IM003 [kqodbc]", 0) == 0 && diagnostic.find(needle) != std::string::npos,
        what + ": says so (got \"" + diagnostic + "\")");
}

std::string AnsiSibling(const std::string& path) {
  const auto dot = path.rfind('.');
  return path.substr(0, dot) + "a" + path.substr(dot);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kqodbc-harness WIDE_PROXY ANSI_PROXY FAKE_DRIVER\n");
    return 2;
  }
  const Proxy wide{Load(argv[1])};
  const Proxy ansi{Load(argv[2])};
  const std::string fake = argv[3];
  const std::string fakeAnsi = AnsiSibling(fake);
  if (!wide.Library || !ansi.Library) {
    std::printf("kqodbc-harness: cannot load the proxies\n");
    return 1;
  }
  Check(wide.Get<void*>("SQLExecDirectW") != nullptr, "the wide proxy exports the wide forms");
  Check(ansi.Get<void*>("SQLExecDirectW") == nullptr && ansi.Get<void*>("SQLDriverConnectW") == nullptr,
        "the ANSI proxy exports no wide form, so the manager converts for it as for an ANSI driver");
  Check(ansi.Get<void*>("SQLExecDirect") != nullptr && ansi.Get<void*>("SQLGetDiagRec") != nullptr,
        "the ANSI proxy exports the ANSI forms");

  ForwardsAndKeepsDiagnostics(wide, fake, true);
  ForwardsAndKeepsDiagnostics(ansi, fake, false);
  ForwardsAndKeepsDiagnostics(ansi, fakeAnsi, false);

  FailsCleanly(wide, "KqDriver={/no/such/driver.dll};Database=x", "could not be loaded", "a missing driver", true);
  FailsCleanly(ansi, "Database=x", "no KqDriver", "no KqDriver", false);
  FailsCleanly(wide, "KqDriver={" + fakeAnsi + "}", "no wide entry points", "the wide proxy over an ANSI driver", true);
  std::printf("kqodbc-harness: %d passed, %d failed\n", Passed, Failed);
  return Failed == 0 ? 0 : 1;
}

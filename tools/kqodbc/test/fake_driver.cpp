// A fake ODBC driver for the proxy's harness: handles are small objects, statements answer by their
// text. "SELECT 1/0" fails with 22012, "UPDATE ..." affects 3 rows, "ASYNC ..." is still executing at
// its first call, "PUTDATA ..." needs data once; anything else succeeds with 1 row. Built with and
// without the wide forms (FAKE_WIDE), like the two kinds of real driver. The connection string it got
// is readable through SQLGetConnectAttr(FakeConnectionStringAttribute).
#include "test/fake_driver.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "odbc_headers.h"

#ifdef _WIN32
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct FakeHandle {
  SQLSMALLINT Type;
  std::string Connection;
  std::string Text;
  int Calls = 0;
  SQLLEN Rows = -1;
  bool Failed = false;
};

std::string Narrow(const SQLCHAR* text, SQLINTEGER length) {
  const auto* bytes = reinterpret_cast<const char*>(text);
  return length == SQL_NTS ? std::string(bytes) : std::string(bytes, static_cast<std::size_t>(length));
}

[[maybe_unused]] std::string Narrow(const SQLWCHAR* text, SQLINTEGER length) {
  std::string result;
  for (SQLINTEGER i = 0; length == SQL_NTS ? text[i] != 0 : i < length; ++i) result += static_cast<char>(text[i]);
  return result;
}

SQLRETURN Execute(FakeHandle* statement, const std::string& text) {
  if (statement->Text != text) statement->Calls = 0;
  statement->Text = text;
  statement->Failed = false;
  ++statement->Calls;
  if (text == "SELECT 1/0") {
    statement->Failed = true;
    return SQL_ERROR;
  }
  if (text.rfind("ASYNC", 0) == 0 && statement->Calls == 1) return SQL_STILL_EXECUTING;
  if (text.rfind("PUTDATA", 0) == 0 && statement->Calls == 1) return SQL_NEED_DATA;
  statement->Rows = text.rfind("UPDATE", 0) == 0 ? 3 : 1;
  return SQL_SUCCESS;
}

template <class CH>
SQLRETURN Diagnostic(SQLHANDLE handle, SQLSMALLINT record, CH* state, SQLINTEGER* native, CH* message,
                     SQLSMALLINT messageMax, SQLSMALLINT* length) {
  auto* h = static_cast<FakeHandle*>(handle);
  if (!h || !h->Failed || record != 1) return SQL_NO_DATA;
  const std::string text = FakeDivisionMessage;
  for (int i = 0; i < 6; ++i) state[i] = static_cast<CH>("22012"[i]);
  if (native) *native = 7;
  if (length) *length = static_cast<SQLSMALLINT>(text.size());
  std::size_t i = 0;
  for (; message && i + 1 < static_cast<std::size_t>(messageMax) && i < text.size(); ++i)
    message[i] = static_cast<CH>(text[i]);
  if (message && messageMax > 0) message[i] = 0;
  return SQL_SUCCESS;
}

}  // namespace

FAKE_EXPORT SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE, SQLHANDLE* out) {
  *out = new FakeHandle{type, {}, {}, 0, -1, false};
  return SQL_SUCCESS;
}
FAKE_EXPORT SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT, SQLHANDLE handle) {
  delete static_cast<FakeHandle*>(handle);
  return SQL_SUCCESS;
}
FAKE_EXPORT SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER) { return SQL_SUCCESS; }
FAKE_EXPORT SQLRETURN SQL_API SQLDisconnect(SQLHDBC) { return SQL_SUCCESS; }
FAKE_EXPORT SQLRETURN SQL_API SQLDriverConnect(SQLHDBC dbc, SQLHWND, SQLCHAR* in, SQLSMALLINT inLength, SQLCHAR*,
                                               SQLSMALLINT, SQLSMALLINT*, SQLUSMALLINT) {
  static_cast<FakeHandle*>(dbc)->Connection = Narrow(in, inLength);
  return SQL_SUCCESS;
}
FAKE_EXPORT SQLRETURN SQL_API SQLExecDirect(SQLHSTMT statement, SQLCHAR* text, SQLINTEGER length) {
  return Execute(static_cast<FakeHandle*>(statement), Narrow(text, length));
}
FAKE_EXPORT SQLRETURN SQL_API SQLPrepare(SQLHSTMT statement, SQLCHAR* text, SQLINTEGER length) {
  static_cast<FakeHandle*>(statement)->Text = Narrow(text, length);
  static_cast<FakeHandle*>(statement)->Calls = 0;
  return SQL_SUCCESS;
}
FAKE_EXPORT SQLRETURN SQL_API SQLExecute(SQLHSTMT statement) {
  auto* h = static_cast<FakeHandle*>(statement);
  return Execute(h, h->Text);
}
FAKE_EXPORT SQLRETURN SQL_API SQLParamData(SQLHSTMT statement, SQLPOINTER*) {
  auto* h = static_cast<FakeHandle*>(statement);
  return Execute(h, h->Text);
}
FAKE_EXPORT SQLRETURN SQL_API SQLPutData(SQLHSTMT, SQLPOINTER, SQLLEN) { return SQL_SUCCESS; }
FAKE_EXPORT SQLRETURN SQL_API SQLRowCount(SQLHSTMT statement, SQLLEN* rows) {
  *rows = static_cast<FakeHandle*>(statement)->Rows;
  return SQL_SUCCESS;
}
FAKE_EXPORT SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC dbc, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER max,
                                                SQLINTEGER* length) {
  if (attribute != FakeConnectionStringAttribute) return SQL_ERROR;
  const std::string& text = static_cast<FakeHandle*>(dbc)->Connection;
  std::snprintf(static_cast<char*>(value), static_cast<std::size_t>(max), "%s", text.c_str());
  if (length) *length = static_cast<SQLINTEGER>(text.size());
  return SQL_SUCCESS;
}
FAKE_EXPORT SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT, SQLHANDLE handle, SQLSMALLINT record, SQLCHAR* state,
                                            SQLINTEGER* native, SQLCHAR* message, SQLSMALLINT max,
                                            SQLSMALLINT* length) {
  return Diagnostic(handle, record, state, native, message, max, length);
}

#if FAKE_WIDE
FAKE_EXPORT SQLRETURN SQL_API SQLDriverConnectW(SQLHDBC dbc, SQLHWND, SQLWCHAR* in, SQLSMALLINT inLength, SQLWCHAR*,
                                                SQLSMALLINT, SQLSMALLINT*, SQLUSMALLINT) {
  static_cast<FakeHandle*>(dbc)->Connection = Narrow(in, inLength);
  return SQL_SUCCESS;
}
FAKE_EXPORT SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT statement, SQLWCHAR* text, SQLINTEGER length) {
  return Execute(static_cast<FakeHandle*>(statement), Narrow(text, length));
}
FAKE_EXPORT SQLRETURN SQL_API SQLGetDiagRecW(SQLSMALLINT, SQLHANDLE handle, SQLSMALLINT record, SQLWCHAR* state,
                                             SQLINTEGER* native, SQLWCHAR* message, SQLSMALLINT max,
                                             SQLSMALLINT* length) {
  return Diagnostic(handle, record, state, native, message, max, length);
}
#endif

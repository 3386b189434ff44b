// The driver entry points the manager calls. Each one unwraps the proxy's handles and calls the real
// driver's function of the same form; the statement functions also trace. The wide forms exist only in
// the wide build (KQODBC_WIDE): the manager converts between ANSI and wide by which forms a driver
// exports, so a proxy must export them exactly when its real driver does, and `kqodbc install` picks
// the build that matches.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "connection_string.h"
#include "odbc_headers.h"
#include "platform.h"
#include "proxy_handles.h"
#include "real_driver.h"
#include "statement_trace.h"
#include "trace_client.h"

#ifdef _WIN32
#define KQODBC_EXPORT extern "C" __declspec(dllexport)
#else
#define KQODBC_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifndef KQODBC_WIDE
#define KQODBC_WIDE 0
#endif

#if defined(_WIN32) && !defined(_WIN64)
using NumericAttributePointer = SQLPOINTER;
#else
using NumericAttributePointer = SQLLEN*;
#endif

using namespace kqodbc;

namespace {

template <class T>
T* As(SQLHANDLE handle, SQLSMALLINT type) {
  auto* object = static_cast<Handle*>(handle);
  if (!object || object->Magic != HandleMagic || object->Type != type) return nullptr;
  return static_cast<T*>(object);
}

Handle* AnyHandle(SQLSMALLINT type, SQLHANDLE handle) {
  auto* object = static_cast<Handle*>(handle);
  if (!object || object->Magic != HandleMagic || object->Type != type) return nullptr;
  return object;
}

SQLRETURN OwnError(Handle& handle, const char* state, const std::string& message) {
  handle.Own.push_back({state, "[kqodbc]" + message});
  return SQL_ERROR;
}

// A function the real driver does not export: what the manager says for a driver without it.
SQLRETURN Unsupported(Handle& handle, const char* function) {
  return OwnError(handle, "IM001", std::string("Driver does not support this function (") + function + ")");
}

template <class CH>
SQLRETURN PutText(const std::string& text, CH* buffer, SQLINTEGER units, SQLSMALLINT* length) {
  std::basic_string<CH> converted;
  if constexpr (sizeof(CH) == 1) {
    converted.assign(text.begin(), text.end());
  } else {
    const std::u16string wide = NarrowToUtf16(text.data(), text.size());
    converted.assign(wide.begin(), wide.end());
  }
  if (length) *length = static_cast<SQLSMALLINT>(converted.size());
  if (!buffer || units <= 0) return SQL_SUCCESS_WITH_INFO;
  const std::size_t copied = std::min<std::size_t>(converted.size(), static_cast<std::size_t>(units) - 1);
  std::copy_n(converted.begin(), copied, buffer);
  buffer[copied] = 0;
  return copied < converted.size() ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

std::u16string StatementText(const SQLCHAR* text, SQLINTEGER length) { return *ArgumentText(text, length); }
[[maybe_unused]] std::u16string StatementText(const SQLWCHAR* text, SQLINTEGER length) {
  return *ArgumentText(text, length);
}

// Narrow text of a connection argument (UTF-8 for the wide forms), and back.
std::string Narrow(const SQLCHAR* text, SQLINTEGER length) {
  if (!text) return {};
  const auto* bytes = reinterpret_cast<const char*>(text);
  return length == SQL_NTS ? std::string(bytes) : std::string(bytes, length > 0 ? static_cast<std::size_t>(length) : 0);
}
[[maybe_unused]] std::string Narrow(const SQLWCHAR* text, SQLINTEGER length) {
  if (!text) return {};
  return Utf16ToNarrow(*ArgumentText(text, length));
}
template <class CH>
std::basic_string<CH> Encoded(const std::string& text) {
  if constexpr (sizeof(CH) == 1) {
    return std::basic_string<CH>(text.begin(), text.end());
  } else {
    const std::u16string wide = NarrowToUtf16(text.data(), text.size());
    return std::basic_string<CH>(wide.begin(), wide.end());
  }
}

#define REAL(handle, name) reinterpret_cast<decltype(&::name)>((handle)->Driver->Functions[F_##name])

// The statement, its real function `real` and real handle `H`, or the return for a bad handle or a
// function the driver lacks.
#define ON_STMT(name)                                   \
  auto* s = As<Stmt>(StatementHandle, SQL_HANDLE_STMT); \
  if (!s) return SQL_INVALID_HANDLE;                    \
  s->Own.clear();                                       \
  if (s->AwaitingDiagnostic) FlushFailure(*s);          \
  auto real = REAL(s, name);                            \
  if (!real) return Unsupported(*s, #name);             \
  SQLHSTMT H = s->Real

#define ON_DBC(name)                                                 \
  auto* c = As<Dbc>(ConnectionHandle, SQL_HANDLE_DBC);               \
  if (!c) return SQL_INVALID_HANDLE;                                 \
  c->Own.clear();                                                    \
  if (!c->Real) return OwnError(*c, "08003", "Connection not open"); \
  auto real = REAL(c, name);                                         \
  if (!real) return Unsupported(*c, #name);                          \
  SQLHDBC H = c->Real

#define ON_DESC(name)                                    \
  auto* d = As<Desc>(DescriptorHandle, SQL_HANDLE_DESC); \
  if (!d) return SQL_INVALID_HANDLE;                     \
  d->Own.clear();                                        \
  auto real = REAL(d, name);                             \
  if (!real) return Unsupported(*d, #name);              \
  SQLHDESC H = d->Real

// A descriptor of the real driver as the manager must see it: the proxy's object for it.
SQLHDESC WrapDescriptor(Stmt& statement, SQLHDESC real) {
  if (!real) return nullptr;
  for (auto& own : statement.Implicit)
    if (own->Real == real) return own.get();
  for (Desc* explicitOne : statement.Connection->Descriptors)
    if (explicitOne->Real == real) return explicitOne;
  auto wrapper = std::make_unique<Desc>();
  wrapper->Driver = statement.Driver;
  wrapper->Real = real;
  wrapper->Connection = statement.Connection;
  statement.Implicit.push_back(std::move(wrapper));
  return statement.Implicit.back().get();
}

SQLHDESC UnwrapDescriptor(SQLPOINTER value) {
  auto* wrapper = As<Desc>(value, SQL_HANDLE_DESC);
  return wrapper ? wrapper->Real : value;
}

bool IsDescriptorAttribute(SQLINTEGER attribute) {
  return attribute == SQL_ATTR_APP_ROW_DESC || attribute == SQL_ATTR_APP_PARAM_DESC ||
         attribute == SQL_ATTR_IMP_ROW_DESC || attribute == SQL_ATTR_IMP_PARAM_DESC;
}

bool IsTextConnectAttribute(SQLINTEGER attribute) {
  return attribute == SQL_ATTR_CURRENT_CATALOG || attribute == SQL_ATTR_TRACEFILE ||
         attribute == SQL_ATTR_TRANSLATE_LIB;
}

void ReleaseReal(Dbc& c) {
  if (c.Real && c.Driver) REAL(&c, SQLFreeHandle)(SQL_HANDLE_DBC, c.Real);
  if (c.RealEnv && c.Driver) REAL(&c, SQLFreeHandle)(SQL_HANDLE_ENV, c.RealEnv);
  c.Real = nullptr;
  c.RealEnv = nullptr;
}

// Loads the driver KqDriver names and makes its environment and connection, with the attributes the
// manager set on the proxy's.
SQLRETURN OpenReal(Dbc& c, const std::string& kqDriver, bool wideCall) {
  ReleaseReal(c);
  std::string error;
  RealDriver* driver = LoadRealDriver(kqDriver, error);
  if (!driver) return OwnError(c, "IM003", error);
  if (KQODBC_WIDE && !driver->Wide)
    return OwnError(c, "IM003",
                    "the driver \"" + kqDriver +
                        "\" has no wide entry points, so the manager must not talk wide to it: name the ANSI "
                        "proxy (libkqodbca) as its driver, as `kqodbc install` does");
  if (!wideCall && !driver->Functions[F_SQLDriverConnect] && !driver->Functions[F_SQLConnect])
    return OwnError(c, "IM003", "the driver \"" + kqDriver + "\" has only wide entry points: name the wide proxy");
  c.Driver = driver;
  if (!SQL_SUCCEEDED(REAL(&c, SQLAllocHandle)(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &c.RealEnv))) {
    c.RealEnv = nullptr;
    return OwnError(c, "IM004", "the driver's SQLAllocHandle on SQL_HANDLE_ENV failed");
  }
  if (auto setEnv = REAL(&c, SQLSetEnvAttr))
    for (const auto& [attribute, value] : c.Parent->Attributes) setEnv(c.RealEnv, attribute, value, 0);
  if (!SQL_SUCCEEDED(REAL(&c, SQLAllocHandle)(SQL_HANDLE_DBC, c.RealEnv, &c.Real))) {
    c.Real = nullptr;
    return OwnError(c, "IM005", "the driver's SQLAllocHandle on SQL_HANDLE_DBC failed");
  }
  for (const auto& pending : c.Pending) {
    SQLPOINTER value = pending.IsText ? const_cast<char*>(pending.Bytes.data()) : pending.Value;
    const SQLINTEGER length = pending.IsText ? static_cast<SQLINTEGER>(pending.Bytes.size()) : 0;
    auto narrow = REAL(&c, SQLSetConnectAttr);
    auto wide = REAL(&c, SQLSetConnectAttrW);
    if ((pending.Wide || !narrow) && wide)
      wide(c.Real, pending.Attribute, value, length);
    else if (narrow)
      narrow(c.Real, pending.Attribute, value, length);
  }
  return SQL_SUCCESS;
}

// The Kq* attributes of a connection: from the connection string, else from its data source.
struct KqSettings {
  std::string Driver;
  std::string Source;  // for the client's name
  bool Params = false;
  bool Catalog = false;
};

std::string ProfileValue(const std::string& dataSource, const char* key) {
  if (dataSource.empty()) return {};
  char value[1024] = "";
  SQLGetPrivateProfileString(dataSource.c_str(), key, "", value, sizeof value, "ODBC.INI");
  return value;
}

bool IsOn(const std::string& value) { return value == "1" || value == "yes" || value == "Yes" || value == "true"; }

KqSettings SettingsOf(const ConnectionString& attributes) {
  KqSettings settings;
  const std::string dataSource = attributes.Value("DSN");
  settings.Driver = attributes.Value("KqDriver");
  if (settings.Driver.empty()) settings.Driver = ProfileValue(dataSource, "KqDriver");
  std::string params = attributes.Has("KqParams") ? attributes.Value("KqParams") : ProfileValue(dataSource, "KqParams");
  std::string catalog =
      attributes.Has("KqCatalog") ? attributes.Value("KqCatalog") : ProfileValue(dataSource, "KqCatalog");
  settings.Params = IsOn(params);
  settings.Catalog = IsOn(catalog);
  settings.Source = dataSource;
  for (const char* key : {"Database", "DBQ", "Dbname"})
    if (settings.Source.empty()) settings.Source = attributes.Value(key);
  if (settings.Source.empty()) settings.Source = ProfileValue(dataSource, "Database");
  return settings;
}

void Connected(Dbc& c, const KqSettings& settings, SQLRETURN result) {
  if (!SQL_SUCCEEDED(result)) return;
  c.Connected = true;
  c.TraceParams = settings.Params;
  c.TraceCatalog = settings.Catalog;
  TraceClient::NoteSource(settings.Source);
}

template <class CH>
SQLRETURN DriverConnect(SQLHDBC ConnectionHandle, SQLHWND window, CH* in, SQLSMALLINT inLength, CH* out,
                        SQLSMALLINT outMax, SQLSMALLINT* outLength, SQLUSMALLINT completion) {
  auto* c = As<Dbc>(ConnectionHandle, SQL_HANDLE_DBC);
  if (!c) return SQL_INVALID_HANDLE;
  c->Own.clear();
  const ConnectionString attributes(Narrow(in, inLength));
  const KqSettings settings = SettingsOf(attributes);
  constexpr bool wide = sizeof(CH) > 1;
  if (SQLRETURN opened = OpenReal(*c, settings.Driver, wide); opened != SQL_SUCCESS) return opened;
  std::basic_string<CH> forwarded = Encoded<CH>(attributes.Without({"KqDriver", "KqParams", "KqCatalog"}));
  SQLRETURN result;
  if constexpr (wide) {
    result = REAL(c, SQLDriverConnectW)(c->Real, window, reinterpret_cast<SQLWCHAR*>(forwarded.data()),
                                        static_cast<SQLSMALLINT>(forwarded.size()), out, outMax, outLength, completion);
  } else {
    auto real = REAL(c, SQLDriverConnect);
    if (!real) return Unsupported(*c, "SQLDriverConnect");
    result = real(c->Real, window, reinterpret_cast<SQLCHAR*>(forwarded.data()),
                  static_cast<SQLSMALLINT>(forwarded.size()), out, outMax, outLength, completion);
  }
  Connected(*c, settings, result);
  return result;
}

template <class CH>
SQLRETURN Connect(SQLHDBC ConnectionHandle, CH* dsn, SQLSMALLINT dsnLength, CH* user, SQLSMALLINT userLength,
                  CH* password, SQLSMALLINT passwordLength) {
  auto* c = As<Dbc>(ConnectionHandle, SQL_HANDLE_DBC);
  if (!c) return SQL_INVALID_HANDLE;
  c->Own.clear();
  const KqSettings settings = SettingsOf(ConnectionString("DSN=" + Narrow(dsn, dsnLength)));
  constexpr bool wide = sizeof(CH) > 1;
  if (SQLRETURN opened = OpenReal(*c, settings.Driver, wide); opened != SQL_SUCCESS) return opened;
  SQLRETURN result;
  if constexpr (wide) {
    auto real = REAL(c, SQLConnectW);
    if (!real) return Unsupported(*c, "SQLConnectW");
    result = real(c->Real, dsn, dsnLength, user, userLength, password, passwordLength);
  } else {
    auto real = REAL(c, SQLConnect);
    if (!real) return Unsupported(*c, "SQLConnect");
    result = real(c->Real, dsn, dsnLength, user, userLength, password, passwordLength);
  }
  Connected(*c, settings, result);
  return result;
}

// A diagnostic text that the application got, NUL-terminated in its buffer.
std::u16string Units(const SQLCHAR* text) {
  const auto* bytes = reinterpret_cast<const char*>(text);
  return NarrowToUtf16(bytes, std::strlen(bytes));
}
[[maybe_unused]] std::u16string Units(const SQLWCHAR* text) { return *ArgumentText(text, SQL_NTS); }

// What the application read of a statement's first diagnostic, for the failure waiting for it.
template <class CH>
void SawDiagnostic(kqodbc::Handle* h, SQLRETURN result, const CH* state, const CH* message, const SQLINTEGER* native) {
  if (!h || h->Type != SQL_HANDLE_STMT || !SQL_SUCCEEDED(result)) return;
  auto& statement = *static_cast<Stmt*>(h);
  if (!statement.AwaitingDiagnostic) return;
  const std::u16string stateText = state ? Units(state) : std::u16string();
  const std::u16string messageText = message ? Units(message) : std::u16string();
  NoteDiagnostic(statement, state ? &stateText : nullptr, message ? &messageText : nullptr, native ? *native : 0);
}

template <class CH, class F>
SQLRETURN GetDiagRecord(F real, SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, CH* state, SQLINTEGER* native,
                        CH* message, SQLSMALLINT messageMax, SQLSMALLINT* messageLength) {
  Handle* h = AnyHandle(type, handle);
  if (!h) return SQL_INVALID_HANDLE;
  if (!h->Own.empty()) {
    if (record < 1 || static_cast<std::size_t>(record) > h->Own.size()) return SQL_NO_DATA;
    const OwnDiag& diag = h->Own[static_cast<std::size_t>(record) - 1];
    if (state) PutText(diag.State, state, 6, nullptr);
    if (native) *native = 0;
    return PutText(diag.Message, message, messageMax, messageLength);
  }
  if (!h->Real || !h->Driver) return SQL_NO_DATA;
  if (!real) return SQL_NO_DATA;
  const SQLRETURN result = real(type, h->Real, record, state, native, message, messageMax, messageLength);
  if (record == 1) SawDiagnostic<CH>(h, result, state, message, native);
  return result;
}

template <class CH, class F>
SQLRETURN GetDiagField(F real, SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLSMALLINT field,
                       SQLPOINTER value, SQLSMALLINT valueMax, SQLSMALLINT* valueLength) {
  Handle* h = AnyHandle(type, handle);
  if (!h) return SQL_INVALID_HANDLE;
  if (!h->Own.empty()) {
    if (record == 0) {
      if (field == SQL_DIAG_NUMBER && value) *static_cast<SQLINTEGER*>(value) = static_cast<SQLINTEGER>(h->Own.size());
      if (field == SQL_DIAG_RETURNCODE && value) *static_cast<SQLRETURN*>(value) = SQL_ERROR;
      return SQL_SUCCESS;
    }
    if (record < 1 || static_cast<std::size_t>(record) > h->Own.size()) return SQL_NO_DATA;
    const OwnDiag& diag = h->Own[static_cast<std::size_t>(record) - 1];
    const SQLINTEGER units = valueMax / static_cast<SQLINTEGER>(sizeof(CH));
    SQLRETURN result = SQL_SUCCESS;
    if (field == SQL_DIAG_SQLSTATE)
      result = PutText(diag.State, static_cast<CH*>(value), units, valueLength);
    else if (field == SQL_DIAG_MESSAGE_TEXT)
      result = PutText(diag.Message, static_cast<CH*>(value), units, valueLength);
    else if (field == SQL_DIAG_CLASS_ORIGIN || field == SQL_DIAG_SUBCLASS_ORIGIN)
      result = PutText(std::string("ODBC 3.0"), static_cast<CH*>(value), units, valueLength);
    else if (field == SQL_DIAG_NATIVE && value)
      *static_cast<SQLINTEGER*>(value) = 0;
    if (valueLength && (field == SQL_DIAG_SQLSTATE || field == SQL_DIAG_MESSAGE_TEXT))
      *valueLength = static_cast<SQLSMALLINT>(*valueLength * static_cast<SQLSMALLINT>(sizeof(CH)));
    return result;
  }
  if (!h->Real || !h->Driver || !real) return SQL_NO_DATA;
  const SQLRETURN result = real(type, h->Real, record, field, value, valueMax, valueLength);
  if (record == 1 && value) {
    if (field == SQL_DIAG_SQLSTATE) SawDiagnostic<CH>(h, result, static_cast<CH*>(value), nullptr, nullptr);
    if (field == SQL_DIAG_MESSAGE_TEXT) SawDiagnostic<CH>(h, result, nullptr, static_cast<CH*>(value), nullptr);
    if (field == SQL_DIAG_NATIVE) SawDiagnostic<CH>(h, result, nullptr, nullptr, static_cast<SQLINTEGER*>(value));
  }
  return result;
}

// A catalog function, traced as a pseudo-statement when the connection asks for it (KqCatalog=1).
template <class F>
SQLRETURN Catalog(Stmt& s, const char* function, std::initializer_list<std::optional<std::u16string>> arguments,
                  F call) {
  if (!s.Connection->TraceCatalog) return call();
  BeginStatement(s, CatalogText(function, arguments));
  return FinishStatement(s, call());
}

template <class F>
SQLRETURN SetConnectAttribute(F real, SQLHDBC ConnectionHandle, SQLINTEGER attribute, SQLPOINTER value,
                              SQLINTEGER length, bool wide) {
  auto* c = As<Dbc>(ConnectionHandle, SQL_HANDLE_DBC);
  if (!c) return SQL_INVALID_HANDLE;
  c->Own.clear();
  if (c->Connected) {
    if (!real) return Unsupported(*c, wide ? "SQLSetConnectAttrW" : "SQLSetConnectAttr");
    return real(c->Real, attribute, value, length);
  }
  // Before the real driver is known: kept, and given to its connection when it is made.
  PendingAttribute pending;
  pending.Attribute = attribute;
  pending.Value = value;
  pending.Wide = wide;
  pending.IsText = IsTextConnectAttribute(attribute);
  if (pending.IsText && value) {
    if (length == SQL_NTS)
      pending.Bytes =
          wide ? std::string(static_cast<const char*>(value),
                             ArgumentText(static_cast<const SQLWCHAR*>(value), SQL_NTS)->size() * sizeof(SQLWCHAR))
               : std::string(static_cast<const char*>(value));
    else if (length > 0)
      pending.Bytes.assign(static_cast<const char*>(value), static_cast<std::size_t>(length));
  }
  std::erase_if(c->Pending, [&](const PendingAttribute& p) { return p.Attribute == attribute; });
  c->Pending.push_back(std::move(pending));
  return SQL_SUCCESS;
}

template <class F>
SQLRETURN GetConnectAttribute(F real, SQLHDBC ConnectionHandle, SQLINTEGER attribute, SQLPOINTER value,
                              SQLINTEGER valueMax, SQLINTEGER* length) {
  auto* c = As<Dbc>(ConnectionHandle, SQL_HANDLE_DBC);
  if (!c) return SQL_INVALID_HANDLE;
  c->Own.clear();
  if (c->Connected && real) return real(c->Real, attribute, value, valueMax, length);
  for (const auto& pending : c->Pending)
    if (pending.Attribute == attribute && !pending.IsText) {
      if (value) *static_cast<SQLULEN*>(value) = reinterpret_cast<SQLULEN>(pending.Value);
      return SQL_SUCCESS;
    }
  if (!c->Real) return OwnError(*c, "08003", "Connection not open");
  if (!real) return Unsupported(*c, "SQLGetConnectAttr");
  return real(c->Real, attribute, value, valueMax, length);
}

template <class F>
SQLRETURN GetStatementAttribute(F real, Stmt& s, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER valueMax,
                                SQLINTEGER* length) {
  const SQLRETURN result = real(s.Real, attribute, value, valueMax, length);
  if (SQL_SUCCEEDED(result) && value && IsDescriptorAttribute(attribute))
    *static_cast<SQLHDESC*>(value) = WrapDescriptor(s, *static_cast<SQLHDESC*>(value));
  return result;
}

template <class F>
SQLRETURN SetStatementAttribute(F real, Stmt& s, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length) {
  if (attribute == SQL_ATTR_APP_ROW_DESC || attribute == SQL_ATTR_APP_PARAM_DESC) value = UnwrapDescriptor(value);
  const SQLRETURN result = real(s.Real, attribute, value, length);
  if (SQL_SUCCEEDED(result) && attribute == SQL_ATTR_PARAMSET_SIZE) s.ParameterSets = reinterpret_cast<SQLULEN>(value);
  return result;
}

void FreeStatement(Stmt* s) {
  auto& list = s->Connection->Statements;
  std::erase(list, s);
  delete s;
}

}  // namespace

// Environment and connection handles belong to the proxy until a connection names its driver.
KQODBC_EXPORT SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT HandleType, SQLHANDLE InputHandle, SQLHANDLE* OutputHandle) {
  if (!OutputHandle) return SQL_ERROR;
  switch (HandleType) {
    case SQL_HANDLE_ENV:
      *OutputHandle = new Env();
      return SQL_SUCCESS;
    case SQL_HANDLE_DBC: {
      auto* e = As<Env>(InputHandle, SQL_HANDLE_ENV);
      if (!e) return SQL_INVALID_HANDLE;
      auto* c = new Dbc();
      c->Parent = e;
      e->Connections.push_back(c);
      *OutputHandle = c;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_STMT:
    case SQL_HANDLE_DESC: {
      auto* c = As<Dbc>(InputHandle, SQL_HANDLE_DBC);
      if (!c) return SQL_INVALID_HANDLE;
      c->Own.clear();
      if (!c->Connected) return OwnError(*c, "08003", "Connection not open");
      SQLHANDLE real = nullptr;
      const SQLRETURN result = REAL(c, SQLAllocHandle)(HandleType, c->Real, &real);
      if (!SQL_SUCCEEDED(result)) {
        *OutputHandle = nullptr;
        return result;
      }
      if (HandleType == SQL_HANDLE_STMT) {
        auto* s = new Stmt();
        s->Driver = c->Driver;
        s->Real = real;
        s->Connection = c;
        c->Statements.push_back(s);
        *OutputHandle = s;
      } else {
        auto* d = new Desc();
        d->Driver = c->Driver;
        d->Real = real;
        d->Connection = c;
        c->Descriptors.push_back(d);
        *OutputHandle = d;
      }
      return result;
    }
    default:
      return SQL_ERROR;
  }
}

KQODBC_EXPORT SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT HandleType, SQLHANDLE Handle) {
  switch (HandleType) {
    case SQL_HANDLE_ENV: {
      auto* e = As<Env>(Handle, SQL_HANDLE_ENV);
      if (!e) return SQL_INVALID_HANDLE;
      if (!e->Connections.empty()) return OwnError(*e, "HY010", "Function sequence error");
      delete e;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_DBC: {
      auto* c = As<Dbc>(Handle, SQL_HANDLE_DBC);
      if (!c) return SQL_INVALID_HANDLE;
      for (Stmt* s : c->Statements) {
        FlushFailure(*s);
        delete s;
      }
      for (Desc* d : c->Descriptors) delete d;
      ReleaseReal(*c);
      std::erase(c->Parent->Connections, c);
      delete c;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_STMT: {
      auto* s = As<Stmt>(Handle, SQL_HANDLE_STMT);
      if (!s) return SQL_INVALID_HANDLE;
      FlushFailure(*s);
      const SQLRETURN result = REAL(s, SQLFreeHandle)(SQL_HANDLE_STMT, s->Real);
      if (SQL_SUCCEEDED(result)) FreeStatement(s);
      return result;
    }
    case SQL_HANDLE_DESC: {
      auto* d = As<Desc>(Handle, SQL_HANDLE_DESC);
      if (!d) return SQL_INVALID_HANDLE;
      const SQLRETURN result = REAL(d, SQLFreeHandle)(SQL_HANDLE_DESC, d->Real);
      if (SQL_SUCCEEDED(result)) {
        std::erase(d->Connection->Descriptors, d);
        delete d;
      }
      return result;
    }
    default:
      return SQL_ERROR;
  }
}

KQODBC_EXPORT SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                              SQLINTEGER) {
  auto* e = As<Env>(EnvironmentHandle, SQL_HANDLE_ENV);
  if (!e) return SQL_INVALID_HANDLE;
  e->Attributes[Attribute] = Value;
  return SQL_SUCCESS;
}

KQODBC_EXPORT SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                              SQLINTEGER, SQLINTEGER* StringLength) {
  auto* e = As<Env>(EnvironmentHandle, SQL_HANDLE_ENV);
  if (!e) return SQL_INVALID_HANDLE;
  const auto found = e->Attributes.find(Attribute);
  SQLPOINTER value = found != e->Attributes.end() ? found->second : nullptr;
  if (found == e->Attributes.end() && Attribute == SQL_ATTR_ODBC_VERSION)
    value = reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3);
  if (Value) *static_cast<SQLUINTEGER*>(Value) = static_cast<SQLUINTEGER>(reinterpret_cast<SQLULEN>(value));
  if (StringLength) *StringLength = sizeof(SQLUINTEGER);
  return SQL_SUCCESS;
}

KQODBC_EXPORT SQLRETURN SQL_API SQLDisconnect(SQLHDBC ConnectionHandle) {
  ON_DBC(SQLDisconnect);
  const SQLRETURN result = real(H);
  if (SQL_SUCCEEDED(result)) c->Connected = false;
  return result;
}

KQODBC_EXPORT SQLRETURN SQL_API SQLEndTran(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT CompletionType) {
  if (HandleType == SQL_HANDLE_ENV) {
    auto* e = As<Env>(Handle, SQL_HANDLE_ENV);
    if (!e) return SQL_INVALID_HANDLE;
    SQLRETURN worst = SQL_SUCCESS;
    for (Dbc* c : e->Connections)
      if (c->Connected) {
        const SQLRETURN result = REAL(c, SQLEndTran)(SQL_HANDLE_DBC, c->Real, CompletionType);
        if (result != SQL_SUCCESS) worst = result;
      }
    return worst;
  }
  SQLHDBC ConnectionHandle = Handle;
  ON_DBC(SQLEndTran);
  return real(SQL_HANDLE_DBC, H, CompletionType);
}

KQODBC_EXPORT SQLRETURN SQL_API SQLGetFunctions(SQLHDBC ConnectionHandle, SQLUSMALLINT FunctionId,
                                                SQLUSMALLINT* Supported) {
  ON_DBC(SQLGetFunctions);
  return real(H, FunctionId, Supported);
}

KQODBC_EXPORT SQLRETURN SQL_API SQLCopyDesc(SQLHDESC SourceDescHandle, SQLHDESC TargetDescHandle) {
  auto* source = As<Desc>(SourceDescHandle, SQL_HANDLE_DESC);
  auto* target = As<Desc>(TargetDescHandle, SQL_HANDLE_DESC);
  if (!source || !target) return SQL_INVALID_HANDLE;
  auto real = REAL(target, SQLCopyDesc);
  if (!real) return Unsupported(*target, "SQLCopyDesc");
  return real(source->Real, target->Real);
}

KQODBC_EXPORT SQLRETURN SQL_API SQLSetDescRec(SQLHDESC DescriptorHandle, SQLSMALLINT RecNumber, SQLSMALLINT Type,
                                              SQLSMALLINT SubType, SQLLEN Length, SQLSMALLINT Precision,
                                              SQLSMALLINT Scale, SQLPOINTER Data, SQLLEN* StringLength,
                                              SQLLEN* Indicator) {
  ON_DESC(SQLSetDescRec);
  return real(H, RecNumber, Type, SubType, Length, Precision, Scale, Data, StringLength, Indicator);
}

// Statement functions without text.
KQODBC_EXPORT SQLRETURN SQL_API SQLExecute(SQLHSTMT StatementHandle) {
  ON_STMT(SQLExecute);
  BeginStatement(*s, s->Prepared);
  return FinishStatement(*s, real(H));
}

KQODBC_EXPORT SQLRETURN SQL_API SQLParamData(SQLHSTMT StatementHandle, SQLPOINTER* Value) {
  ON_STMT(SQLParamData);
  return FinishStatement(*s, real(H, Value));
}

KQODBC_EXPORT SQLRETURN SQL_API SQLPutData(SQLHSTMT StatementHandle, SQLPOINTER Data, SQLLEN StrLen_or_Ind) {
  ON_STMT(SQLPutData);
  return real(H, Data, StrLen_or_Ind);
}

KQODBC_EXPORT SQLRETURN SQL_API SQLCancel(SQLHSTMT StatementHandle) {
  ON_STMT(SQLCancel);
  const SQLRETURN result = real(H);
  if (SQL_SUCCEEDED(result)) CancelStatement(*s);
  return result;
}

KQODBC_EXPORT SQLRETURN SQL_API SQLBindParameter(SQLHSTMT StatementHandle, SQLUSMALLINT ParameterNumber,
                                                 SQLSMALLINT InputOutputType, SQLSMALLINT ValueType,
                                                 SQLSMALLINT ParameterType, SQLULEN ColumnSize,
                                                 SQLSMALLINT DecimalDigits, SQLPOINTER ParameterValuePtr,
                                                 SQLLEN BufferLength, SQLLEN* StrLen_or_IndPtr) {
  ON_STMT(SQLBindParameter);
  const SQLRETURN result = real(H, ParameterNumber, InputOutputType, ValueType, ParameterType, ColumnSize,
                                DecimalDigits, ParameterValuePtr, BufferLength, StrLen_or_IndPtr);
  if (SQL_SUCCEEDED(result) && s->Connection->TraceParams)
    s->Parameters[ParameterNumber] = {ValueType, ParameterValuePtr, BufferLength, StrLen_or_IndPtr};
  return result;
}

KQODBC_EXPORT SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT StatementHandle, SQLUSMALLINT Option) {
  ON_STMT(SQLFreeStmt);
  const SQLRETURN result = real(H, Option);
  if (SQL_SUCCEEDED(result)) {
    if (Option == SQL_RESET_PARAMS) s->Parameters.clear();
    if (Option == SQL_DROP) FreeStatement(s);
  }
  return result;
}

KQODBC_EXPORT SQLRETURN SQL_API SQLBindCol(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber, SQLSMALLINT TargetType,
                                           SQLPOINTER TargetValue, SQLLEN BufferLength, SQLLEN* StrLen_or_Ind) {
  ON_STMT(SQLBindCol);
  return real(H, ColumnNumber, TargetType, TargetValue, BufferLength, StrLen_or_Ind);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLBulkOperations(SQLHSTMT StatementHandle, SQLSMALLINT Operation) {
  ON_STMT(SQLBulkOperations);
  return real(H, Operation);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT StatementHandle) {
  ON_STMT(SQLCloseCursor);
  return real(H);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLDescribeParam(SQLHSTMT StatementHandle, SQLUSMALLINT ParameterNumber,
                                                 SQLSMALLINT* DataType, SQLULEN* ParameterSize,
                                                 SQLSMALLINT* DecimalDigits, SQLSMALLINT* Nullable) {
  ON_STMT(SQLDescribeParam);
  return real(H, ParameterNumber, DataType, ParameterSize, DecimalDigits, Nullable);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLFetch(SQLHSTMT StatementHandle) {
  ON_STMT(SQLFetch);
  return real(H);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLFetchScroll(SQLHSTMT StatementHandle, SQLSMALLINT FetchOrientation,
                                               SQLLEN FetchOffset) {
  ON_STMT(SQLFetchScroll);
  return real(H, FetchOrientation, FetchOffset);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLGetData(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber, SQLSMALLINT TargetType,
                                           SQLPOINTER TargetValue, SQLLEN BufferLength, SQLLEN* StrLen_or_Ind) {
  ON_STMT(SQLGetData);
  return real(H, ColumnNumber, TargetType, TargetValue, BufferLength, StrLen_or_Ind);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLMoreResults(SQLHSTMT StatementHandle) {
  ON_STMT(SQLMoreResults);
  return FinishStatement(*s, real(H));
}
KQODBC_EXPORT SQLRETURN SQL_API SQLNumParams(SQLHSTMT StatementHandle, SQLSMALLINT* ParameterCount) {
  ON_STMT(SQLNumParams);
  return real(H, ParameterCount);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT StatementHandle, SQLSMALLINT* ColumnCount) {
  ON_STMT(SQLNumResultCols);
  return real(H, ColumnCount);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLRowCount(SQLHSTMT StatementHandle, SQLLEN* RowCount) {
  ON_STMT(SQLRowCount);
  return real(H, RowCount);
}
KQODBC_EXPORT SQLRETURN SQL_API SQLSetPos(SQLHSTMT StatementHandle, SQLSETPOSIROW RowNumber, SQLUSMALLINT Operation,
                                          SQLUSMALLINT LockType) {
  ON_STMT(SQLSetPos);
  return real(H, RowNumber, Operation, LockType);
}

// The text-taking functions, defined once per form: NAME is the exported name, CH the character type.
#if KQODBC_WIDE
#define TEXT_FORMS(DEFINE, name) DEFINE(name, SQLCHAR) DEFINE(name##W, SQLWCHAR)
#else
#define TEXT_FORMS(DEFINE, name) DEFINE(name, SQLCHAR)
#endif

#define DEFINE_CONNECT(NAME, CH)                                                                                   \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDBC ConnectionHandle, CH* ServerName, SQLSMALLINT NameLength1,          \
                                       CH* UserName, SQLSMALLINT NameLength2, CH* Authentication,                  \
                                       SQLSMALLINT NameLength3) {                                                  \
    return Connect(ConnectionHandle, ServerName, NameLength1, UserName, NameLength2, Authentication, NameLength3); \
  }
TEXT_FORMS(DEFINE_CONNECT, SQLConnect)

#define DEFINE_DRIVER_CONNECT(NAME, CH)                                                                              \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDBC ConnectionHandle, SQLHWND WindowHandle, CH* InConnectionString,       \
                                       SQLSMALLINT StringLength1, CH* OutConnectionString, SQLSMALLINT BufferLength, \
                                       SQLSMALLINT* StringLength2Ptr, SQLUSMALLINT DriverCompletion) {               \
    return DriverConnect(ConnectionHandle, WindowHandle, InConnectionString, StringLength1, OutConnectionString,     \
                         BufferLength, StringLength2Ptr, DriverCompletion);                                          \
  }
TEXT_FORMS(DEFINE_DRIVER_CONNECT, SQLDriverConnect)

// Connecting through browsing cannot name the real driver before the driver is asked.
#define DEFINE_BROWSE_CONNECT(NAME, CH)                                                                              \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDBC ConnectionHandle, CH*, SQLSMALLINT, CH*, SQLSMALLINT, SQLSMALLINT*) { \
    auto* c = As<Dbc>(ConnectionHandle, SQL_HANDLE_DBC);                                                             \
    if (!c) return SQL_INVALID_HANDLE;                                                                               \
    c->Own.clear();                                                                                                  \
    return Unsupported(*c, #NAME);                                                                                   \
  }
TEXT_FORMS(DEFINE_BROWSE_CONNECT, SQLBrowseConnect)

#define DEFINE_EXEC_DIRECT(NAME, CH)                                                                         \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, CH* StatementText, SQLINTEGER TextLength) { \
    ON_STMT(NAME);                                                                                           \
    if (StatementText) BeginStatement(*s, ::StatementText(StatementText, TextLength));                       \
    return FinishStatement(*s, real(H, StatementText, TextLength));                                          \
  }
TEXT_FORMS(DEFINE_EXEC_DIRECT, SQLExecDirect)

// A failed prepare is traced, since the statement then never runs; a good one waits for SQLExecute.
#define DEFINE_PREPARE(NAME, CH)                                                                             \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, CH* StatementText, SQLINTEGER TextLength) { \
    ON_STMT(NAME);                                                                                           \
    std::u16string text = StatementText ? ::StatementText(StatementText, TextLength) : std::u16string();     \
    const auto started = std::chrono::steady_clock::now();                                                   \
    const SQLRETURN result = real(H, StatementText, TextLength);                                             \
    if (SQL_SUCCEEDED(result)) {                                                                             \
      s->Prepared = std::move(text);                                                                         \
    } else if (result != SQL_STILL_EXECUTING && StatementText) {                                             \
      BeginStatement(*s, std::move(text));                                                                   \
      s->Started = started;                                                                                  \
      FinishStatement(*s, result);                                                                           \
    }                                                                                                        \
    return result;                                                                                           \
  }
TEXT_FORMS(DEFINE_PREPARE, SQLPrepare)

#define DEFINE_DIAG_REC(NAME, CH)                                                                                     \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber, CH* Sqlstate, \
                                       SQLINTEGER* NativeError, CH* MessageText, SQLSMALLINT BufferLength,            \
                                       SQLSMALLINT* TextLength) {                                                     \
    kqodbc::Handle* h = AnyHandle(HandleType, Handle);                                                                \
    decltype(&::NAME) real = h && h->Driver ? REAL(h, NAME) : nullptr;                                                \
    return GetDiagRecord(real, HandleType, Handle, RecNumber, Sqlstate, NativeError, MessageText, BufferLength,       \
                         TextLength);                                                                                 \
  }
TEXT_FORMS(DEFINE_DIAG_REC, SQLGetDiagRec)

#define DEFINE_DIAG_FIELD(NAME, CH)                                                                               \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber,           \
                                       SQLSMALLINT DiagIdentifier, SQLPOINTER DiagInfo, SQLSMALLINT BufferLength, \
                                       SQLSMALLINT* StringLength) {                                               \
    kqodbc::Handle* h = AnyHandle(HandleType, Handle);                                                            \
    decltype(&::NAME) real = h && h->Driver ? REAL(h, NAME) : nullptr;                                            \
    return GetDiagField<CH>(real, HandleType, Handle, RecNumber, DiagIdentifier, DiagInfo, BufferLength,          \
                            StringLength);                                                                        \
  }
TEXT_FORMS(DEFINE_DIAG_FIELD, SQLGetDiagField)

// The ODBC 2 diagnostics, which a manager falls back on when a driver's SQLGetDiagField does not
// answer (the SQLite driver's). They remove the record they return, as the driver's own do.
#define DEFINE_ERROR(NAME, CH)                                                                                        \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHENV EnvironmentHandle, SQLHDBC ConnectionHandle, SQLHSTMT StatementHandle, \
                                       CH* Sqlstate, SQLINTEGER* NativeError, CH* MessageText,                        \
                                       SQLSMALLINT BufferLength, SQLSMALLINT* TextLength) {                           \
    kqodbc::Handle* h = StatementHandle    ? AnyHandle(SQL_HANDLE_STMT, StatementHandle)                              \
                        : ConnectionHandle ? AnyHandle(SQL_HANDLE_DBC, ConnectionHandle)                              \
                                           : AnyHandle(SQL_HANDLE_ENV, EnvironmentHandle);                            \
    if (!h) return SQL_INVALID_HANDLE;                                                                                \
    if (!h->Own.empty()) {                                                                                            \
      const OwnDiag diag = h->Own.front();                                                                            \
      h->Own.erase(h->Own.begin());                                                                                   \
      if (Sqlstate) PutText(diag.State, Sqlstate, 6, nullptr);                                                        \
      if (NativeError) *NativeError = 0;                                                                              \
      return PutText(diag.Message, MessageText, BufferLength, TextLength);                                            \
    }                                                                                                                 \
    if (!h->Real || !h->Driver) return SQL_NO_DATA;                                                                   \
    auto real = REAL(h, NAME);                                                                                        \
    if (!real) return SQL_NO_DATA;                                                                                    \
    SQLHDBC dbc = h->Type == SQL_HANDLE_DBC ? h->Real : nullptr;                                                      \
    SQLHENV env = h->Type == SQL_HANDLE_DBC ? static_cast<Dbc*>(h)->RealEnv : nullptr;                                \
    SQLHSTMT stmt = h->Type == SQL_HANDLE_STMT ? h->Real : nullptr;                                                   \
    const SQLRETURN result = real(env, dbc, stmt, Sqlstate, NativeError, MessageText, BufferLength, TextLength);      \
    SawDiagnostic<CH>(h, result, Sqlstate, MessageText, NativeError);                                                 \
    return result;                                                                                                    \
  }
TEXT_FORMS(DEFINE_ERROR, SQLError)

#define DEFINE_SET_CONNECT_ATTR(NAME, CH)                                                                \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDBC ConnectionHandle, SQLINTEGER Attribute, SQLPOINTER Value, \
                                       SQLINTEGER StringLength) {                                        \
    auto* c = As<Dbc>(ConnectionHandle, SQL_HANDLE_DBC);                                                 \
    decltype(&::NAME) real = c && c->Driver ? REAL(c, NAME) : nullptr;                                   \
    return SetConnectAttribute(real, ConnectionHandle, Attribute, Value, StringLength, sizeof(CH) > 1);  \
  }
TEXT_FORMS(DEFINE_SET_CONNECT_ATTR, SQLSetConnectAttr)

#define DEFINE_GET_CONNECT_ATTR(NAME, CH)                                                                \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDBC ConnectionHandle, SQLINTEGER Attribute, SQLPOINTER Value, \
                                       SQLINTEGER BufferLength, SQLINTEGER* StringLength) {              \
    auto* c = As<Dbc>(ConnectionHandle, SQL_HANDLE_DBC);                                                 \
    decltype(&::NAME) real = c && c->Driver ? REAL(c, NAME) : nullptr;                                   \
    return GetConnectAttribute(real, ConnectionHandle, Attribute, Value, BufferLength, StringLength);    \
  }
TEXT_FORMS(DEFINE_GET_CONNECT_ATTR, SQLGetConnectAttr)

#define DEFINE_GET_INFO(NAME, CH)                                                                             \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDBC ConnectionHandle, SQLUSMALLINT InfoType, SQLPOINTER InfoValue, \
                                       SQLSMALLINT BufferLength, SQLSMALLINT* StringLength) {                 \
    ON_DBC(NAME);                                                                                             \
    return real(H, InfoType, InfoValue, BufferLength, StringLength);                                          \
  }
TEXT_FORMS(DEFINE_GET_INFO, SQLGetInfo)

#define DEFINE_NATIVE_SQL(NAME, CH)                                                                              \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDBC ConnectionHandle, CH* InStatementText, SQLINTEGER TextLength1,    \
                                       CH* OutStatementText, SQLINTEGER BufferLength, SQLINTEGER* TextLength2) { \
    ON_DBC(NAME);                                                                                                \
    return real(H, InStatementText, TextLength1, OutStatementText, BufferLength, TextLength2);                   \
  }
TEXT_FORMS(DEFINE_NATIVE_SQL, SQLNativeSql)

#define DEFINE_GET_STMT_ATTR(NAME, CH)                                                                   \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, SQLINTEGER Attribute, SQLPOINTER Value, \
                                       SQLINTEGER BufferLength, SQLINTEGER* StringLength) {              \
    ON_STMT(NAME);                                                                                       \
    (void)H;                                                                                             \
    return GetStatementAttribute(real, *s, Attribute, Value, BufferLength, StringLength);                \
  }
TEXT_FORMS(DEFINE_GET_STMT_ATTR, SQLGetStmtAttr)

#define DEFINE_SET_STMT_ATTR(NAME, CH)                                                                   \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, SQLINTEGER Attribute, SQLPOINTER Value, \
                                       SQLINTEGER StringLength) {                                        \
    ON_STMT(NAME);                                                                                       \
    (void)H;                                                                                             \
    return SetStatementAttribute(real, *s, Attribute, Value, StringLength);                              \
  }
TEXT_FORMS(DEFINE_SET_STMT_ATTR, SQLSetStmtAttr)

#define DEFINE_COL_ATTRIBUTE(NAME, CH)                                                                               \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,                          \
                                       SQLUSMALLINT FieldIdentifier, SQLPOINTER CharacterAttribute,                  \
                                       SQLSMALLINT BufferLength, SQLSMALLINT* StringLength,                          \
                                       NumericAttributePointer NumericAttribute) {                                   \
    ON_STMT(NAME);                                                                                                   \
    return real(H, ColumnNumber, FieldIdentifier, CharacterAttribute, BufferLength, StringLength, NumericAttribute); \
  }
TEXT_FORMS(DEFINE_COL_ATTRIBUTE, SQLColAttribute)

#define DEFINE_DESCRIBE_COL(NAME, CH)                                                                                  \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber, CH* ColumnName,            \
                                       SQLSMALLINT BufferLength, SQLSMALLINT* NameLength, SQLSMALLINT* DataType,       \
                                       SQLULEN* ColumnSize, SQLSMALLINT* DecimalDigits, SQLSMALLINT* Nullable) {       \
    ON_STMT(NAME);                                                                                                     \
    return real(H, ColumnNumber, ColumnName, BufferLength, NameLength, DataType, ColumnSize, DecimalDigits, Nullable); \
  }
TEXT_FORMS(DEFINE_DESCRIBE_COL, SQLDescribeCol)

#define DEFINE_GET_CURSOR_NAME(NAME, CH)                                                                   \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, CH* CursorName, SQLSMALLINT BufferLength, \
                                       SQLSMALLINT* NameLength) {                                          \
    ON_STMT(NAME);                                                                                         \
    return real(H, CursorName, BufferLength, NameLength);                                                  \
  }
TEXT_FORMS(DEFINE_GET_CURSOR_NAME, SQLGetCursorName)

#define DEFINE_SET_CURSOR_NAME(NAME, CH)                                                                   \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, CH* CursorName, SQLSMALLINT NameLength) { \
    ON_STMT(NAME);                                                                                         \
    return real(H, CursorName, NameLength);                                                                \
  }
TEXT_FORMS(DEFINE_SET_CURSOR_NAME, SQLSetCursorName)

#define DEFINE_GET_DESC_FIELD(NAME, CH)                                                                               \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDESC DescriptorHandle, SQLSMALLINT RecNumber, SQLSMALLINT FieldIdentifier, \
                                       SQLPOINTER Value, SQLINTEGER BufferLength, SQLINTEGER* StringLength) {         \
    ON_DESC(NAME);                                                                                                    \
    return real(H, RecNumber, FieldIdentifier, Value, BufferLength, StringLength);                                    \
  }
TEXT_FORMS(DEFINE_GET_DESC_FIELD, SQLGetDescField)

#define DEFINE_SET_DESC_FIELD(NAME, CH)                                                                               \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDESC DescriptorHandle, SQLSMALLINT RecNumber, SQLSMALLINT FieldIdentifier, \
                                       SQLPOINTER Value, SQLINTEGER BufferLength) {                                   \
    ON_DESC(NAME);                                                                                                    \
    return real(H, RecNumber, FieldIdentifier, Value, BufferLength);                                                  \
  }
TEXT_FORMS(DEFINE_SET_DESC_FIELD, SQLSetDescField)

#define DEFINE_GET_DESC_REC(NAME, CH)                                                                               \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHDESC DescriptorHandle, SQLSMALLINT RecNumber, CH* Name,                  \
                                       SQLSMALLINT BufferLength, SQLSMALLINT* StringLength, SQLSMALLINT* Type,      \
                                       SQLSMALLINT* SubType, SQLLEN* Length, SQLSMALLINT* Precision,                \
                                       SQLSMALLINT* Scale, SQLSMALLINT* Nullable) {                                 \
    ON_DESC(NAME);                                                                                                  \
    return real(H, RecNumber, Name, BufferLength, StringLength, Type, SubType, Length, Precision, Scale, Nullable); \
  }
TEXT_FORMS(DEFINE_GET_DESC_REC, SQLGetDescRec)

// Catalog functions.
#define DEFINE_TABLES(NAME, CH)                                                                                \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, CH* CatalogName, SQLSMALLINT NameLength1,     \
                                       CH* SchemaName, SQLSMALLINT NameLength2, CH* TableName,                 \
                                       SQLSMALLINT NameLength3, CH* TableType, SQLSMALLINT NameLength4) {      \
    ON_STMT(NAME);                                                                                             \
    return Catalog(*s, "SQLTables",                                                                            \
                   {ArgumentText(CatalogName, NameLength1), ArgumentText(SchemaName, NameLength2),             \
                    ArgumentText(TableName, NameLength3), ArgumentText(TableType, NameLength4)},               \
                   [&] {                                                                                       \
                     return real(H, CatalogName, NameLength1, SchemaName, NameLength2, TableName, NameLength3, \
                                 TableType, NameLength4);                                                      \
                   });                                                                                         \
  }
TEXT_FORMS(DEFINE_TABLES, SQLTables)

// SQLColumns, SQLColumnPrivileges, SQLProcedureColumns: four names.
#define DEFINE_FOUR_NAMES(NAME, CH, LABEL)                                                                      \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, CH* CatalogName, SQLSMALLINT NameLength1,      \
                                       CH* SchemaName, SQLSMALLINT NameLength2, CH* ObjectName,                 \
                                       SQLSMALLINT NameLength3, CH* ColumnName, SQLSMALLINT NameLength4) {      \
    ON_STMT(NAME);                                                                                              \
    return Catalog(*s, LABEL,                                                                                   \
                   {ArgumentText(CatalogName, NameLength1), ArgumentText(SchemaName, NameLength2),              \
                    ArgumentText(ObjectName, NameLength3), ArgumentText(ColumnName, NameLength4)},              \
                   [&] {                                                                                        \
                     return real(H, CatalogName, NameLength1, SchemaName, NameLength2, ObjectName, NameLength3, \
                                 ColumnName, NameLength4);                                                      \
                   });                                                                                          \
  }
#define DEFINE_COLUMNS(NAME, CH) DEFINE_FOUR_NAMES(NAME, CH, "SQLColumns")
TEXT_FORMS(DEFINE_COLUMNS, SQLColumns)
#define DEFINE_COLUMN_PRIVILEGES(NAME, CH) DEFINE_FOUR_NAMES(NAME, CH, "SQLColumnPrivileges")
TEXT_FORMS(DEFINE_COLUMN_PRIVILEGES, SQLColumnPrivileges)
#define DEFINE_PROCEDURE_COLUMNS(NAME, CH) DEFINE_FOUR_NAMES(NAME, CH, "SQLProcedureColumns")
TEXT_FORMS(DEFINE_PROCEDURE_COLUMNS, SQLProcedureColumns)

// SQLPrimaryKeys, SQLProcedures, SQLTablePrivileges: three names.
#define DEFINE_THREE_NAMES(NAME, CH, LABEL)                                                                   \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, CH* CatalogName, SQLSMALLINT NameLength1,    \
                                       CH* SchemaName, SQLSMALLINT NameLength2, CH* ObjectName,               \
                                       SQLSMALLINT NameLength3) {                                             \
    ON_STMT(NAME);                                                                                            \
    return Catalog(                                                                                           \
        *s, LABEL,                                                                                            \
        {ArgumentText(CatalogName, NameLength1), ArgumentText(SchemaName, NameLength2),                       \
         ArgumentText(ObjectName, NameLength3)},                                                              \
        [&] { return real(H, CatalogName, NameLength1, SchemaName, NameLength2, ObjectName, NameLength3); }); \
  }
#define DEFINE_PRIMARY_KEYS(NAME, CH) DEFINE_THREE_NAMES(NAME, CH, "SQLPrimaryKeys")
TEXT_FORMS(DEFINE_PRIMARY_KEYS, SQLPrimaryKeys)
#define DEFINE_PROCEDURES(NAME, CH) DEFINE_THREE_NAMES(NAME, CH, "SQLProcedures")
TEXT_FORMS(DEFINE_PROCEDURES, SQLProcedures)
#define DEFINE_TABLE_PRIVILEGES(NAME, CH) DEFINE_THREE_NAMES(NAME, CH, "SQLTablePrivileges")
TEXT_FORMS(DEFINE_TABLE_PRIVILEGES, SQLTablePrivileges)

#define DEFINE_STATISTICS(NAME, CH)                                                                                    \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, CH* CatalogName, SQLSMALLINT NameLength1,             \
                                       CH* SchemaName, SQLSMALLINT NameLength2, CH* TableName,                         \
                                       SQLSMALLINT NameLength3, SQLUSMALLINT Unique, SQLUSMALLINT Reserved) {          \
    ON_STMT(NAME);                                                                                                     \
    return Catalog(*s, "SQLStatistics",                                                                                \
                   {ArgumentText(CatalogName, NameLength1), ArgumentText(SchemaName, NameLength2),                     \
                    ArgumentText(TableName, NameLength3)},                                                             \
                   [&] {                                                                                               \
                     return real(H, CatalogName, NameLength1, SchemaName, NameLength2, TableName, NameLength3, Unique, \
                                 Reserved);                                                                            \
                   });                                                                                                 \
  }
TEXT_FORMS(DEFINE_STATISTICS, SQLStatistics)

#define DEFINE_SPECIAL_COLUMNS(NAME, CH)                                                                               \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(                                                                                \
      SQLHSTMT StatementHandle, SQLUSMALLINT IdentifierType, CH* CatalogName, SQLSMALLINT NameLength1, CH* SchemaName, \
      SQLSMALLINT NameLength2, CH* TableName, SQLSMALLINT NameLength3, SQLUSMALLINT Scope, SQLUSMALLINT Nullable) {    \
    ON_STMT(NAME);                                                                                                     \
    return Catalog(*s, "SQLSpecialColumns",                                                                            \
                   {ArgumentText(CatalogName, NameLength1), ArgumentText(SchemaName, NameLength2),                     \
                    ArgumentText(TableName, NameLength3)},                                                             \
                   [&] {                                                                                               \
                     return real(H, IdentifierType, CatalogName, NameLength1, SchemaName, NameLength2, TableName,      \
                                 NameLength3, Scope, Nullable);                                                        \
                   });                                                                                                 \
  }
TEXT_FORMS(DEFINE_SPECIAL_COLUMNS, SQLSpecialColumns)

#define DEFINE_FOREIGN_KEYS(NAME, CH)                                                                                  \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(                                                                                \
      SQLHSTMT StatementHandle, CH* PkCatalogName, SQLSMALLINT NameLength1, CH* PkSchemaName, SQLSMALLINT NameLength2, \
      CH* PkTableName, SQLSMALLINT NameLength3, CH* FkCatalogName, SQLSMALLINT NameLength4, CH* FkSchemaName,          \
      SQLSMALLINT NameLength5, CH* FkTableName, SQLSMALLINT NameLength6) {                                             \
    ON_STMT(NAME);                                                                                                     \
    return Catalog(*s, "SQLForeignKeys",                                                                               \
                   {ArgumentText(PkCatalogName, NameLength1), ArgumentText(PkSchemaName, NameLength2),                 \
                    ArgumentText(PkTableName, NameLength3), ArgumentText(FkCatalogName, NameLength4),                  \
                    ArgumentText(FkSchemaName, NameLength5), ArgumentText(FkTableName, NameLength6)},                  \
                   [&] {                                                                                               \
                     return real(H, PkCatalogName, NameLength1, PkSchemaName, NameLength2, PkTableName, NameLength3,   \
                                 FkCatalogName, NameLength4, FkSchemaName, NameLength5, FkTableName, NameLength6);     \
                   });                                                                                                 \
  }
TEXT_FORMS(DEFINE_FOREIGN_KEYS, SQLForeignKeys)

#define DEFINE_GET_TYPE_INFO(NAME, CH)                                                   \
  KQODBC_EXPORT SQLRETURN SQL_API NAME(SQLHSTMT StatementHandle, SQLSMALLINT DataType) { \
    ON_STMT(NAME);                                                                       \
    const std::string type = std::to_string(DataType);                                   \
    return Catalog(*s, "SQLGetTypeInfo", {std::u16string(type.begin(), type.end())},     \
                   [&] { return real(H, DataType); });                                   \
  }
TEXT_FORMS(DEFINE_GET_TYPE_INFO, SQLGetTypeInfo)

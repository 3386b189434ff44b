#pragma once

#include <initializer_list>
#include <optional>
#include <string>

#include "proxy_handles.h"

namespace kqodbc {

// A statement begins (text in UTF-16): kept until it completes. A call that repeats an unfinished
// one (asynchronous execution polled, or data at execution) keeps the first start.
void BeginStatement(Stmt& statement, std::u16string text);
// Traces the running statement once `result` says it completed, with its outcome: rows (from the
// driver's SQLRowCount after plain success, which leaves no diagnostics to lose). A failure waits
// for its first diagnostic, as the application reads it. Returns `result`.
SQLRETURN FinishStatement(Stmt& statement, SQLRETURN result);
// The application read a diagnostic of the statement through the proxy (record 1, or a field of it):
// a failure waiting for it takes the state and message (either may be null) and is traced once it has
// the message.
void NoteDiagnostic(Stmt& statement, const std::u16string* state, const std::u16string* message, SQLINTEGER native);
// Traces a failure still waiting for its diagnostic: the application moved on without reading one.
void FlushFailure(Stmt& statement);
// The application cancelled a statement that was waiting for data.
void CancelStatement(Stmt& statement);

// A catalog function as a pseudo-statement: SQLTables('cat', NULL, 'orders', NULL).
std::u16string CatalogText(const char* function, std::initializer_list<std::optional<std::u16string>> arguments);

// Text of the entry points' arguments: (pointer, length or SQL_NTS); nullopt for a null pointer.
std::optional<std::u16string> ArgumentText(const SQLCHAR* text, SQLINTEGER length);
std::optional<std::u16string> ArgumentText(const SQLWCHAR* text, SQLINTEGER length);

}  // namespace kqodbc

#include "statement_trace.h"

#include <algorithm>
#include <cstring>

#include "platform.h"
#include "trace_client.h"

namespace kqodbc {

namespace {

template <class F>
F RealFunction(const Stmt& statement, FunctionSlot slot) {
  return reinterpret_cast<F>(statement.Driver->Functions[slot]);
}

std::u16string FromWide(const SQLWCHAR* text, std::size_t units) {
  std::u16string result(units, u'\0');
  for (std::size_t i = 0; i < units; ++i) result[i] = static_cast<char16_t>(text[i]);
  return result;
}

std::u16string Number(long long value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string Quoted(std::u16string text) {
  std::u16string result = u"'";
  for (char16_t unit : text) {
    if (unit == u'\'') result += u'\'';
    result += unit;
  }
  return result + u"'";
}

// One bound value as SQL would spell it; types the proxy does not read show as ?.
std::u16string ParameterText(const BoundParameter& parameter) {
  const SQLLEN indicator = parameter.Indicator ? *parameter.Indicator : SQL_NTS;
  if (indicator == SQL_NULL_DATA) return u"NULL";
  if (indicator == SQL_DATA_AT_EXEC || indicator <= SQL_LEN_DATA_AT_EXEC_OFFSET) return u"?";
  if (!parameter.Value) return u"?";
  switch (parameter.ValueType) {
    case SQL_C_CHAR: {
      const auto* text = static_cast<const char*>(parameter.Value);
      std::size_t bytes = indicator >= 0 ? static_cast<std::size_t>(indicator) : std::strlen(text);
      return Quoted(NarrowToUtf16(text, bytes));
    }
    case SQL_C_WCHAR: {
      const auto* text = static_cast<const SQLWCHAR*>(parameter.Value);
      std::size_t units = 0;
      if (indicator >= 0)
        units = static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
      else
        while (text[units]) ++units;
      return Quoted(FromWide(text, units));
    }
    case SQL_C_SLONG:
    case SQL_C_LONG:
      return Number(*static_cast<const SQLINTEGER*>(parameter.Value));
    case SQL_C_ULONG:
      return Number(*static_cast<const SQLUINTEGER*>(parameter.Value));
    case SQL_C_SSHORT:
    case SQL_C_SHORT:
      return Number(*static_cast<const SQLSMALLINT*>(parameter.Value));
    case SQL_C_SBIGINT:
      return Number(*static_cast<const SQLBIGINT*>(parameter.Value));
    case SQL_C_DOUBLE: {
      const std::string digits = std::to_string(*static_cast<const SQLDOUBLE*>(parameter.Value));
      return std::u16string(digits.begin(), digits.end());
    }
    default:
      return u"?";
  }
}

// What the statement's own text does not say: the values with KqParams=1, and how many parameter sets
// one execution carried.
std::u16string Annotated(const Stmt& statement, std::u16string text) {
  if (statement.Connection && statement.Connection->TraceParams && !statement.Parameters.empty() &&
      statement.ParameterSets <= 1) {
    text += u" -- params: ";
    bool first = true;
    for (const auto& [number, parameter] : statement.Parameters) {
      if (!first) text += u", ";
      first = false;
      text += ParameterText(parameter);
    }
  }
  if (statement.ParameterSets > 1)
    text += u" -- " + Number(static_cast<long long>(statement.ParameterSets)) + u" parameter sets";
  return text;
}

void Submit(Stmt& statement, TraceOutcome& outcome) {
  outcome.DurationMicros =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - statement.Started)
          .count();
  statement.Running = false;
  TraceClient::Submit(statement.RunningText, outcome);
}

// A failure waits; everything traced after it on the connection must come after it.
void FlushConnection(Stmt& statement) {
  if (!statement.Connection) return;
  for (Stmt* other : statement.Connection->Statements)
    if (other->AwaitingDiagnostic) FlushFailure(*other);
}

}  // namespace

void BeginStatement(Stmt& statement, std::u16string text) {
  if (statement.Running) return;
  FlushConnection(statement);
  statement.Running = true;
  statement.RunningText = Annotated(statement, std::move(text));
  statement.Started = std::chrono::steady_clock::now();
}

SQLRETURN FinishStatement(Stmt& statement, SQLRETURN result) {
  if (!statement.Running || result == SQL_STILL_EXECUTING || result == SQL_NEED_DATA) return result;
  TraceOutcome outcome;
  if (result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO || result == SQL_NO_DATA) {
    // Any call on the statement would clear its diagnostics, so rows are asked for only when there
    // are none that the application has yet to read.
    if (result != SQL_SUCCESS_WITH_INFO)
      if (auto rowCount = RealFunction<decltype(&::SQLRowCount)>(statement, F_SQLRowCount)) {
        SQLLEN rows = -1;
        if (SQL_SUCCEEDED(rowCount(statement.Real, &rows))) outcome.Rows = rows;
      }
  } else {
    outcome.Failed = true;
    outcome.DurationMicros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - statement.Started)
            .count();
    statement.Running = false;
    statement.AwaitingDiagnostic = true;
    statement.Failure = outcome;
    return result;
  }
  FlushConnection(statement);
  Submit(statement, outcome);
  return result;
}

void NoteDiagnostic(Stmt& statement, const std::u16string* state, const std::u16string* message, SQLINTEGER native) {
  if (!statement.AwaitingDiagnostic) return;
  TraceOutcome& failure = statement.Failure;
  if (state) std::copy_n(state->begin(), std::min<std::size_t>(state->size(), 5), failure.SqlState);
  if (native) failure.NativeCode = native;
  if (!message) return;
  failure.Message = message->substr(0, TraceMessageMax);
  FlushFailure(statement);
}

void FlushFailure(Stmt& statement) {
  if (!statement.AwaitingDiagnostic) return;
  statement.AwaitingDiagnostic = false;
  TraceClient::Submit(statement.RunningText, statement.Failure);
}

void CancelStatement(Stmt& statement) {
  if (!statement.Running) return;
  FlushConnection(statement);
  TraceOutcome outcome;
  outcome.Failed = true;
  std::copy_n(u"HY008", 6, outcome.SqlState);
  outcome.Message = u"Operation canceled";
  Submit(statement, outcome);
}

std::u16string CatalogText(const char* function, std::initializer_list<std::optional<std::u16string>> arguments) {
  std::u16string text(function, function + std::strlen(function));
  text += u'(';
  bool first = true;
  for (const auto& argument : arguments) {
    if (!first) text += u", ";
    first = false;
    text += argument ? Quoted(*argument) : u"NULL";
  }
  return text + u')';
}

std::optional<std::u16string> ArgumentText(const SQLCHAR* text, SQLINTEGER length) {
  if (!text) return std::nullopt;
  const auto* bytes = reinterpret_cast<const char*>(text);
  if (length == SQL_NTS) return NarrowToUtf16(bytes, std::strlen(bytes));
  return NarrowToUtf16(bytes, length > 0 ? static_cast<std::size_t>(length) : 0);
}

std::optional<std::u16string> ArgumentText(const SQLWCHAR* text, SQLINTEGER length) {
  if (!text) return std::nullopt;
  std::size_t units = 0;
  if (length == SQL_NTS)
    while (text[units]) ++units;
  else if (length > 0)
    units = static_cast<std::size_t>(length);
  return FromWide(text, units);
}

}  // namespace kqodbc

#include "statement_redactor.h"

#include "sql_scanner.h"

namespace kqtool {

std::u16string_view StatementRedactor::Redact(std::u16string_view text) {
  FOut.clear();
  SqlScanner scanner(text);
  SqlScanner::Token token;
  while (scanner.Next(token)) {
    if (token.Type == SqlScanner::Kind::String || token.Type == SqlScanner::Kind::Number)
      FOut.push_back(u'?');
    else
      FOut.append(text.substr(token.Begin, token.End - token.Begin));
  }
  return FOut;
}

}  // namespace kqtool

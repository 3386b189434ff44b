#include "statement_redactor.h"

#include "sql_scanner.h"

namespace kqtool {

std::u16string_view StatementRedactor::Redact(std::u16string_view text) {
  FOut.clear();
  SqlScanner scanner(text);
  SqlScanner::Token token;
  // Everything between literals is copied as one run.
  std::size_t run = 0;
  while (scanner.Next(token)) {
    if (token.Type != SqlScanner::Kind::String && token.Type != SqlScanner::Kind::Number) continue;
    FOut.append(text.substr(run, token.Begin - run));
    FOut.push_back(u'?');
    run = token.End;
  }
  if (run == 0) return text;  // nothing to hide
  FOut.append(text.substr(run));
  return FOut;
}

}  // namespace kqtool

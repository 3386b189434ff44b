#include "statement_redactor.h"

#include "sql_scanner.h"

namespace kqtool {

namespace {

// A comment keeps its delimiters, so that the statement still reads as having had one there.
void AppendRedactedComment(std::u16string_view comment, std::u16string& out) {
  if (comment.substr(0, 2) == u"/*") {
    out.append(u"/* ? ");
    if (comment.size() >= 4 && comment.substr(comment.size() - 2) == u"*/") out.append(u"*/");
    return;
  }
  out.append(comment[0] == u'#' ? u"# ?" : u"-- ?");
}

}  // namespace

std::u16string_view StatementRedactor::Redact(std::u16string_view text) {
  FOut.clear();
  SqlScanner scanner(text);
  SqlScanner::Token token;
  ValueContext context;
  // Everything between literals is copied as one run.
  std::size_t run = 0;
  bool changed = false;
  while (scanner.Next(token)) {
    const bool value = context.ExpectsValue();
    context.Feed(token, text);
    const bool literal = token.Type == SqlScanner::Kind::String || token.Type == SqlScanner::Kind::Number ||
                         (token.Type == SqlScanner::Kind::QuotedName && text[token.Begin] == u'"' && value);
    if (!literal && token.Type != SqlScanner::Kind::Comment) continue;
    FOut.append(text.substr(run, token.Begin - run));
    if (literal)
      FOut.push_back(u'?');
    else
      AppendRedactedComment(text.substr(token.Begin, token.End - token.Begin), FOut);
    run = token.End;
    changed = true;
  }
  if (!changed) return text;  // nothing to hide
  FOut.append(text.substr(run));
  return FOut;
}

}  // namespace kqtool

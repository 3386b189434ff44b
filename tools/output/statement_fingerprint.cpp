#include "statement_fingerprint.h"

#include "sql_scanner.h"

namespace kqtool {

namespace {

using Kind = SqlScanner::Kind;

bool IsInKeyword(std::u16string_view word) noexcept {
  return word.size() == 2 && (word[0] == u'i' || word[0] == u'I') && (word[1] == u'n' || word[1] == u'N');
}

// A value inside an IN list: a literal, a placeholder ("?", "$1", "@p1", ":name"), a sign.
bool IsListValue(const SqlScanner::Token& token, std::u16string_view text) noexcept {
  switch (token.Type) {
    case Kind::String:
    case Kind::Number:
    case Kind::Space:
    case Kind::Comment:
      return true;
    case Kind::Word:
      return text[token.Begin] == u'$' || text[token.Begin] == u'@';
    case Kind::QuotedName:
      return text[token.Begin] == u'"';  // inside IN ( ), a string in MySQL and SQLite
    case Kind::Other: {
      const char16_t c = text[token.Begin];
      return c == u'?' || c == u',' || c == u'-' || c == u'+' || c == u':';
    }
    default:
      return false;
  }
}

}  // namespace

void StatementFingerprint::AppendSpaceIfNeeded() {
  if (FPendingSpace && !FOut.empty()) FOut.push_back(u' ');
  FPendingSpace = false;
}

std::u16string_view StatementFingerprint::Of(std::u16string_view text) {
  FOut.clear();
  FPendingSpace = false;
  SqlScanner scanner(text);
  SqlScanner::Token token;
  ValueContext context;
  while (scanner.Next(token)) {
    const std::u16string_view piece = text.substr(token.Begin, token.End - token.Begin);
    // A "..." where only a value can stand is a string (MySQL, SQLite): a value, not part of the shape.
    const bool quotedValue = token.Type == Kind::QuotedName && piece[0] == u'"' && context.ExpectsValue();
    context.Feed(token, text);
    if (quotedValue) token.Type = Kind::String;
    switch (token.Type) {
      case Kind::Space:
      case Kind::Comment:
        FPendingSpace = true;
        continue;
      case Kind::String:
      case Kind::Number:
        AppendSpaceIfNeeded();
        FOut.push_back(u'?');
        continue;
      case Kind::Word:
        AppendSpaceIfNeeded();
        FOut.append(piece);
        if (IsInKeyword(piece)) {
          // Look ahead on copies: "( value, value, ... )" folds into one mark, anything else stays. The
          // folded tokens still pass through the value context, which must know that a list closed
          // (VALUES (..), (..)) as the redactor knows it, or the two would read a later "..." apart.
          SqlScanner ahead = scanner;
          ValueContext aheadContext = context;
          SqlScanner::Token t;
          bool open = false, values = false, closed = false;
          while (ahead.Next(t)) {
            aheadContext.Feed(t, text);
            const char16_t c = text[t.Begin];
            if (!open) {
              if (t.Type == Kind::Space || t.Type == Kind::Comment) continue;
              if (t.Type == Kind::Other && c == u'(') {
                open = true;
                continue;
              }
              break;
            }
            if (t.Type == Kind::Other && c == u')') {
              closed = true;
              break;
            }
            if (!IsListValue(t, text)) break;
            values = values || t.Type == Kind::String || t.Type == Kind::Number || t.Type == Kind::Word ||
                     t.Type == Kind::QuotedName || (t.Type == Kind::Other && c == u'?');
          }
          if (open && values && closed) {
            FOut.append(u" (?+)");
            scanner = ahead;
            context = aheadContext;
          }
        }
        continue;
      default:
        AppendSpaceIfNeeded();
        FOut.append(piece);
    }
  }
  return FOut;
}

}  // namespace kqtool

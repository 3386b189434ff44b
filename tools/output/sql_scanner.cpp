#include "sql_scanner.h"

#include <array>

namespace kqtool {

namespace {

// Character classes of ASCII in one table: the scanner looks at every character of every statement.
enum : unsigned char { SpaceBit = 1, DigitBit = 2, HexBit = 4, WordStartBit = 8 };
constexpr auto MakeClasses() {
  std::array<unsigned char, 128> classes{};
  for (char c : {' ', '\t', '\r', '\n', '\f'}) classes[static_cast<unsigned char>(c)] = SpaceBit;
  for (int c = '0'; c <= '9'; ++c) classes[c] = DigitBit | HexBit;
  for (int c = 'a'; c <= 'z'; ++c) classes[c] = WordStartBit | (c <= 'f' ? HexBit : 0);
  for (int c = 'A'; c <= 'Z'; ++c) classes[c] = WordStartBit | (c <= 'F' ? HexBit : 0);
  for (char c : {'_', '$', '@', '#'}) classes[static_cast<unsigned char>(c)] = WordStartBit;
  return classes;
}
constexpr std::array<unsigned char, 128> Classes = MakeClasses();

bool Is(char16_t c, unsigned char bits) noexcept { return c < 0x80 && (Classes[c] & bits) != 0; }
bool IsSpace(char16_t c) noexcept { return Is(c, SpaceBit); }
bool IsDigit(char16_t c) noexcept { return Is(c, DigitBit); }
bool IsHexDigit(char16_t c) noexcept { return Is(c, HexBit); }
// Letters of every script count as word characters, so that names in any language stay words.
bool IsWordStart(char16_t c) noexcept { return c >= 0x80 || Is(c, WordStartBit); }
bool IsWordPart(char16_t c) noexcept { return c >= 0x80 || Is(c, WordStartBit | DigitBit); }
bool IsLiteralPrefix(char16_t c) noexcept {
  return c == u'N' || c == u'n' || c == u'E' || c == u'e' || c == u'X' || c == u'x' || c == u'B' || c == u'b';
}

}  // namespace

std::size_t SqlScanner::SkipQuoted(std::size_t at, char16_t close) const noexcept {
  // `at` is just past the opening quote; a doubled closing quote stands for one inside.
  while (at < FText.size()) {
    if (FText[at++] != close) continue;
    if (at < FText.size() && FText[at] == close && close != u']') {
      ++at;
      continue;
    }
    return at;
  }
  return at;
}

std::size_t SqlScanner::SkipString(std::size_t at, bool backslashEscapes) const noexcept {
  // `at` is just past the opening quote.
  const std::size_t size = FText.size();
  while (at < size) {
    const char16_t c = FText[at++];
    if (c == u'\\' && backslashEscapes) {
      if (at < size) ++at;
      continue;
    }
    if (c != u'\'') continue;
    if (at < size && FText[at] == u'\'') {
      ++at;
      continue;
    }
    // No dialect lets a name or number follow a string with nothing between, so a quote after a
    // backslash with a letter or digit right behind it is MySQL's escaped quote, not the end.
    if (!backslashEscapes && at >= 2 && FText[at - 2] == u'\\' && at < size && IsWordPart(FText[at])) continue;
    return at;
  }
  return at;
}

std::size_t SqlScanner::DollarTagEnd(std::size_t at) const noexcept {
  // `at` is on a '$'; the tag is a name (no leading digit) or nothing. Just past the closing '$', or 0.
  const std::size_t size = FText.size();
  std::size_t end = at + 1;
  if (end < size && FText[end] != u'$') {
    if (!IsWordStart(FText[end]) || FText[end] == u'$') return 0;
    while (end < size && IsWordPart(FText[end]) && FText[end] != u'$') ++end;
  }
  return end < size && FText[end] == u'$' ? end + 1 : 0;
}

std::size_t SqlScanner::SkipDollarQuoted(std::size_t at, std::size_t tagEnd) const noexcept {
  const std::u16string_view tag = FText.substr(at, tagEnd - at);
  const std::size_t close = FText.find(tag, tagEnd);
  return close == std::u16string_view::npos ? FText.size() : close + tag.size();
}

std::size_t SqlScanner::SkipBlockComment(std::size_t at) const noexcept {
  // `at` is just past the opening "/*". PostgreSQL nests them; where a dialect does not, counting
  // levels hides more of the text, never less.
  const std::size_t size = FText.size();
  std::size_t depth = 1;
  while (at < size) {
    if (FText[at] == u'*' && at + 1 < size && FText[at + 1] == u'/') {
      at += 2;
      if (--depth == 0) return at;
    } else if (FText[at] == u'/' && at + 1 < size && FText[at + 1] == u'*') {
      at += 2;
      ++depth;
    } else {
      ++at;
    }
  }
  return size;
}

std::size_t SqlScanner::SkipNumber(std::size_t at) const noexcept {
  const std::size_t size = FText.size();
  if (FText[at] == u'0' && at + 1 < size && (FText[at + 1] == u'x' || FText[at + 1] == u'X')) {
    at += 2;
    while (at < size && IsHexDigit(FText[at])) ++at;
    return at;
  }
  while (at < size && IsDigit(FText[at])) ++at;
  if (at < size && FText[at] == u'.') {
    ++at;
    while (at < size && IsDigit(FText[at])) ++at;
  }
  if (at < size && (FText[at] == u'e' || FText[at] == u'E')) {
    std::size_t exponent = at + 1;
    if (exponent < size && (FText[exponent] == u'+' || FText[exponent] == u'-')) ++exponent;
    if (exponent < size && IsDigit(FText[exponent])) {
      at = exponent;
      while (at < size && IsDigit(FText[at])) ++at;
    }
  }
  return at;
}

bool SqlScanner::Next(Token& token) noexcept {
  const std::size_t size = FText.size();
  if (FAt >= size) return false;
  const std::size_t begin = FAt;
  const char16_t c = FText[begin];
  const char16_t next = begin + 1 < size ? FText[begin + 1] : u'\0';
  Kind kind = Kind::Other;
  std::size_t end = begin + 1;
  if (IsSpace(c)) {
    kind = Kind::Space;
    while (end < size && IsSpace(FText[end])) ++end;
  } else if (c == u'\'') {
    kind = Kind::String;
    end = SkipString(begin + 1, false);
  } else if (IsLiteralPrefix(c) && next == u'\'' && (begin == 0 || !IsWordPart(FText[begin - 1]))) {
    kind = Kind::String;
    end = SkipString(begin + 2, c == u'E' || c == u'e');
  } else if (c == u'$' && (begin == 0 || !IsWordPart(FText[begin - 1])) && DollarTagEnd(begin) != 0) {
    kind = Kind::String;
    end = SkipDollarQuoted(begin, DollarTagEnd(begin));
  } else if ((c == u'-' && next == u'-') || (c == u'#' && !IsWordPart(next))) {
    kind = Kind::Comment;
    while (end < size && FText[end] != u'\n') ++end;
  } else if (c == u'/' && next == u'*') {
    kind = Kind::Comment;
    end = SkipBlockComment(begin + 2);
  } else if (c == u'"' || c == u'`' || c == u'[') {
    kind = Kind::QuotedName;
    end = SkipQuoted(begin + 1, c == u'[' ? u']' : c);
  } else if (IsDigit(c) || (c == u'.' && IsDigit(next))) {
    kind = Kind::Number;
    end = SkipNumber(begin);
    if (end == begin) end = begin + 1;
  } else if (IsWordStart(c)) {
    kind = Kind::Word;
    while (end < size && IsWordPart(FText[end])) ++end;
  }
  FAt = end;
  token = {kind, begin, end};
  return true;
}

namespace {

bool WordIs(std::u16string_view word, std::u16string_view upper) noexcept {
  if (word.size() != upper.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char16_t c = word[i] >= u'a' && word[i] <= u'z' ? static_cast<char16_t>(word[i] - 32) : word[i];
    if (c != upper[i]) return false;
  }
  return true;
}

}  // namespace

void ValueContext::Feed(const SqlScanner::Token& token, std::u16string_view text) noexcept {
  using Kind = SqlScanner::Kind;
  if (token.Type == Kind::Space || token.Type == Kind::Comment) return;
  const std::u16string_view piece = text.substr(token.Begin, token.End - token.Begin);
  const bool listOpener = FListOpener, closedList = FClosedList, rowSeparator = FRowSeparator;
  FListOpener = FClosedList = FRowSeparator = false;
  FExpectsValue = false;
  if (token.Type == Kind::Word) {
    FListOpener = WordIs(piece, u"VALUES") || WordIs(piece, u"IN");
    FExpectsValue = WordIs(piece, u"LIKE") || WordIs(piece, u"ILIKE") || WordIs(piece, u"THEN") ||
                    WordIs(piece, u"ELSE") || WordIs(piece, u"BETWEEN");
    return;
  }
  if (token.Type != Kind::Other) return;
  switch (piece[0]) {
    case u'(':
      // Past MaxDepth the depth is still counted, so that the levels below it stay right.
      if (FDepth < MaxDepth) FValueList[FDepth] = listOpener || rowSeparator;
      ++FDepth;
      FExpectsValue = InValueList();
      return;
    case u')':
      FClosedList = InValueList();
      if (FDepth > 0) --FDepth;
      return;
    case u',':
      FRowSeparator = closedList;
      FExpectsValue = InValueList();
      return;
    case u'=':
    case u'<':
    case u'>':
    case u'!':
    case u'|':
      FExpectsValue = true;
      return;
    default:
      return;
  }
}

}  // namespace kqtool

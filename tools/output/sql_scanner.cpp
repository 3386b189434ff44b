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
    end = SkipQuoted(begin + 1, u'\'');
  } else if (IsLiteralPrefix(c) && next == u'\'' && (begin == 0 || !IsWordPart(FText[begin - 1]))) {
    kind = Kind::String;
    end = SkipQuoted(begin + 2, u'\'');
  } else if (c == u'-' && next == u'-') {
    kind = Kind::Comment;
    while (end < size && FText[end] != u'\n') ++end;
  } else if (c == u'/' && next == u'*') {
    kind = Kind::Comment;
    end = begin + 2;
    while (end < size && !(FText[end] == u'*' && end + 1 < size && FText[end + 1] == u'/')) ++end;
    end = end < size ? end + 2 : size;
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

}  // namespace kqtool

#pragma once

#include <cstddef>
#include <string_view>

namespace kqtool {

// Splits statement text into the few kinds of token that redaction and fingerprints care about. It
// does not parse SQL and never fails: an unterminated literal or comment runs to the end of the text.
// Where dialects differ, it takes the reading that hides more, since redaction relies on it:
// - strings: 'it''s' (also N'..', X'..', B'..'), where a backslash is an ordinary character, except
//   that \' followed by a letter or digit continues the string ('O\'Brien', MySQL's escape);
//   E'..' with backslash escapes ('it\'s'); $$..$$ and $tag$..$tag$ (a $ then a digit is a
//   placeholder, $1);
// - numbers: 12, 1.5e3, 0x1F;
// - comments: -- and # (a # not followed by a name character) to the line end, /* */ nested;
// - quoted names: "..", `..`, [..] (whether a "..." is a string is the reader's call: ValueContext);
// - words and single characters.
class SqlScanner {
 public:
  enum class Kind { Space, String, Number, Comment, Word, QuotedName, Other };
  struct Token {
    Kind Type;
    std::size_t Begin;
    std::size_t End;
  };

  explicit SqlScanner(std::u16string_view text) noexcept : FText(text) {}

  // The next token, false at the end of the text.
  bool Next(Token& token) noexcept;

 private:
  std::size_t SkipQuoted(std::size_t at, char16_t close) const noexcept;
  std::size_t SkipString(std::size_t at, bool backslashEscapes) const noexcept;
  std::size_t DollarTagEnd(std::size_t at) const noexcept;
  std::size_t SkipDollarQuoted(std::size_t at, std::size_t tagEnd) const noexcept;
  std::size_t SkipBlockComment(std::size_t at) const noexcept;
  std::size_t SkipNumber(std::size_t at) const noexcept;

  std::u16string_view FText;
  std::size_t FAt = 0;
};

// Follows the tokens of a statement to tell where only a value can stand, so that a "..." there counts
// as the string it is in MySQL and SQLite rather than the name it would be elsewhere: after a
// comparison or concatenation operator, after LIKE, THEN, ELSE or BETWEEN, and inside the parentheses
// of VALUES (..), (..) and IN (..).
class ValueContext {
 public:
  // Feed every token in order; spaces and comments may be fed or left out.
  void Feed(const SqlScanner::Token& token, std::u16string_view text) noexcept;
  // Whether the next token stands where only a value can.
  bool ExpectsValue() const noexcept { return FExpectsValue; }

 private:
  static constexpr int MaxDepth = 64;
  // Nesting deeper than MaxDepth is no honest statement's: every group there counts as values, which
  // hides more rather than less.
  bool InValueList() const noexcept { return FDepth > MaxDepth || (FDepth > 0 && FValueList[FDepth - 1]); }

  bool FExpectsValue = false;
  bool FListOpener = false;    // the last token was VALUES or IN: a "(" opens a value list
  bool FClosedList = false;    // the last token closed a value list: ", (" opens another (VALUES (..), (..))
  bool FRowSeparator = false;  // a "," after such a list
  int FDepth = 0;
  bool FValueList[MaxDepth] = {};
};

}  // namespace kqtool

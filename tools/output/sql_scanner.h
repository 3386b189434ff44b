#pragma once

#include <cstddef>
#include <string_view>

namespace kqtool {

// Splits statement text into the few kinds of token that redaction and fingerprints care about. It
// does not parse SQL: it knows quoted literals ('it''s', N'..', E'..', X'..'), numbers (12, 1.5e3,
// 0x1F), comments (-- to the line end, /* */), quoted names ("..", `..`, [..]), words and single
// characters, and never fails: an unterminated literal runs to the end of the text.
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
  std::size_t SkipNumber(std::size_t at) const noexcept;

  std::u16string_view FText;
  std::size_t FAt = 0;
};

}  // namespace kqtool

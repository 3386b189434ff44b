#pragma once

#include <string>
#include <string_view>

namespace kqtool {

// Replaces every string and numeric literal of a statement with "?", and the content of every comment
// with "?" (a comment is where people leave card numbers and reasons), so that what kqmon prints or
// writes carries the statement's shape but none of its values. Names stay as they are, except a "..."
// where only a value can stand (MySQL's and SQLite's double-quoted string). The dialect rules are
// SqlScanner's.
class StatementRedactor {
 public:
  // The redacted text; valid until the next call (the scratch space is reused).
  std::u16string_view Redact(std::u16string_view text);

 private:
  std::u16string FOut;
};

}  // namespace kqtool

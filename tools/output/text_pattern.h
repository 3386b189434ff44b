#pragma once

#include <string>
#include <string_view>

namespace kqtool {

// A plain-text pattern (no wildcards) that matches anywhere in a statement, ignoring case: letters of
// the Latin, Greek and Cyrillic alphabets compare without their case.
class TextPattern {
 public:
  explicit TextPattern(std::u16string_view pattern);

  bool Matches(std::u16string_view text) const noexcept;

  static char16_t Fold(char16_t c) noexcept;

 private:
  std::u16string FFolded;
};

}  // namespace kqtool

#pragma once

#include <string>
#include <string_view>

namespace kqtool {

// Replaces every string and numeric literal of a statement with "?", so that what kqmon prints or
// writes carries the statement's shape but none of its values. Comments and names stay as they are.
class StatementRedactor {
 public:
  // The redacted text; valid until the next call (the scratch space is reused).
  std::u16string_view Redact(std::u16string_view text);

 private:
  std::u16string FOut;
};

}  // namespace kqtool

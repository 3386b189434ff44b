#include "tool_support.h"

#include <charconv>
#include <cstdio>

#include "text.h"

namespace kqtool {

std::optional<std::int32_t> ParseInt(std::string_view text) {
  std::int32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

void PrintLine(std::u16string_view text) {
  std::string line = kq::Utf16ToUtf8(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace kqtool

#include "tool_support.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace kqtool {

std::optional<std::int32_t> ParseInt(std::string_view text) {
  std::int32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

bool UseColour(const std::string& when, bool terminal) {
  if (when == "always") return true;
  if (when == "never" || !terminal) return false;
  const char* noColour = std::getenv("NO_COLOR");
  if (noColour && *noColour) return false;
  const char* term = std::getenv("TERM");
  return !(term && std::string_view(term) == "dumb");
}

}  // namespace kqtool

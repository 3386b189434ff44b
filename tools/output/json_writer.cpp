#include "json_writer.h"

#include <cmath>
#include <cstdio>

namespace kqtool {

namespace {

constexpr char Hex[] = "0123456789abcdef";

// A character that JSON does not allow raw in a string, or that is legal there but harmful raw: DEL
// and C1 controls act on a terminal that shows the lines, U+2028/2029 end a line in JavaScript, and
// bidi embeddings, overrides and isolates reorder what a reader sees.
inline bool NeedsEscape(char32_t u) noexcept {
  return u < 0x20 || u == u'"' || u == u'\\' || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029 ||
         (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

void AppendEscape(OutputBuffer& out, char32_t u) {
  switch (u) {
    case u'"':
      out.Append("\\\"");
      return;
    case u'\\':
      out.Append("\\\\");
      return;
    case u'\n':
      out.Append("\\n");
      return;
    case u'\r':
      out.Append("\\r");
      return;
    case u'\t':
      out.Append("\\t");
      return;
    default: {
      char* at = out.Grow(6);
      at[0] = '\\';
      at[1] = 'u';
      at[2] = Hex[(u >> 12) & 0xF];
      at[3] = Hex[(u >> 8) & 0xF];
      at[4] = Hex[(u >> 4) & 0xF];
      at[5] = Hex[u & 0xF];
    }
  }
}

}  // namespace

void JsonWriter::Key(std::string_view key) {
  if (!FFirst) FOut.Append(',');
  FFirst = false;
  FOut.Append('"');
  FOut.Append(key);
  FOut.Append("\":");
}

void JsonWriter::FixedMember(std::string_view key, double value, int decimals) {
  Key(key);
  if (!std::isfinite(value)) value = 0;
  char text[64];
  int n = std::snprintf(text, sizeof text, "%.*f", decimals, value);
  FOut.Append(std::string_view(text, n > 0 ? static_cast<std::size_t>(n) : 0));
}

void JsonWriter::AppendString(std::u16string_view text) {
  FOut.Append('"');
  // Runs without a character to escape go through the transcoder in one piece.
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!NeedsEscape(text[i])) continue;
    FOut.AppendUtf16(text.substr(start, i - start));
    AppendEscape(FOut, text[i]);
    start = i + 1;
  }
  FOut.AppendUtf16(text.substr(start));
  FOut.Append('"');
}

void JsonWriter::AppendString(std::string_view utf8) {
  FOut.Append('"');
  std::size_t start = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x80 || !NeedsEscape(c)) continue;  // bytes of a multi-byte sequence are not characters
    FOut.Append(utf8.substr(start, i - start));
    AppendEscape(FOut, c);
    start = i + 1;
  }
  FOut.Append(utf8.substr(start));
  FOut.Append('"');
}

}  // namespace kqtool

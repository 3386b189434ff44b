#include "terminal_text.h"

namespace kqtool {

namespace {

void AppendHex(std::uint32_t value, int digits, OutputBuffer& out) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  char* at = out.Grow(static_cast<std::size_t>(digits));
  for (int i = digits - 1; i >= 0; --i, value >>= 4) at[i] = Hex[value & 0xF];
}

void AppendEscape(char16_t c, OutputBuffer& out) {
  switch (c) {
    case u'\x1b':
      out.Append("\\e");
      return;
    case u'\r':
      out.Append("\\r");
      return;
    case u'\b':
      out.Append("\\b");
      return;
    case u'\f':
      out.Append("\\f");
      return;
    case u'\v':
      out.Append("\\v");
      return;
    case u'\0':
      out.Append("\\0");
      return;
    default:
      break;
  }
  if (c < 0x100) {
    out.Append("\\x");
    AppendHex(c, 2, out);
  } else {
    out.Append("\\u");
    AppendHex(c, 4, out);
  }
}

}  // namespace

bool IsUnsafeForTerminal(char16_t c) noexcept {
  // A tab only moves the cursor forward, so it stays.
  if (c < 0x20) return c != u'\t';
  if (c >= 0x7F && c <= 0x9F) return true;  // DEL, and C1 controls (0x9B is a one-byte CSI)
  // Line and paragraph separators break lines in some viewers; embedding and override marks and
  // isolates reorder what follows them.
  if (c == 0x2028 || c == 0x2029) return true;
  if (c >= 0x202A && c <= 0x202E) return true;
  if (c >= 0x2066 && c <= 0x2069) return true;
  return false;
}

std::size_t VisibleWidth(std::string_view ascii) noexcept {
  std::size_t width = 0;
  for (std::size_t i = 0; i < ascii.size(); ++i) {
    if (ascii[i] != '\x1b') {
      ++width;
      continue;
    }
    // "ESC [ parameters final": the final byte is the first one from '@' to '~' after the bracket.
    for (i += 2; i < ascii.size() && !(ascii[i] >= '@' && ascii[i] <= '~'); ++i) {
    }
  }
  return width;
}

void AppendTerminalSafe(std::u16string_view text, OutputBuffer& out, std::size_t indent) {
  std::size_t run = 0;
  auto flush = [&](std::size_t end) {
    if (end > run) out.AppendUtf16(text.substr(run, end - run));
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    // Printable ASCII, nearly every unit of a statement, needs no further look.
    if (c >= 0x20 && c < 0x7F) continue;
    if (c == u'\n' || (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')) {
      flush(i);
      if (c == u'\r') ++i;
      out.Append('\n');
      out.AppendRepeated(' ', indent);
      out.Append(ContinuationMark);
      run = i + 1;
    } else if (IsUnsafeForTerminal(c)) {
      flush(i);
      AppendEscape(c, out);
      run = i + 1;
    }
  }
  flush(text.size());
}

}  // namespace kqtool

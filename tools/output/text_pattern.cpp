#include "text_pattern.h"

namespace kqtool {

char16_t TextPattern::Fold(char16_t c) noexcept {
  if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);  // Latin-1
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
    // Latin Extended-A pairs: even/odd below 0x138 and odd/even from 0x139 to 0x148 and 0x179 on.
    if ((c < 0x138) || (c >= 0x14A && c < 0x178)) return static_cast<char16_t>(c | 1);
    if ((c >= 0x139 && c <= 0x148) || c >= 0x179) return static_cast<char16_t>((c & 1) ? c + 1 : c);
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 32);  // Greek
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);                // Cyrillic
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
  return c;
}

TextPattern::TextPattern(std::u16string_view pattern) {
  FFolded.reserve(pattern.size());
  for (char16_t c : pattern) FFolded.push_back(Fold(c));
}

bool TextPattern::Matches(std::u16string_view text) const noexcept {
  const std::size_t n = FFolded.size();
  if (n == 0) return true;
  if (text.size() < n) return false;
  const char16_t first = FFolded[0];
  // The first character in both of its ASCII cases is found without folding every character.
  const char16_t other = first >= u'a' && first <= u'z' ? static_cast<char16_t>(first - 32) : first;
  const bool ascii = first < 0x80;
  const std::size_t last = text.size() - n;
  for (std::size_t i = 0; i <= last; ++i) {
    const char16_t c = text[i];
    if (ascii ? (c != first && c != other) : Fold(c) != first) continue;
    std::size_t k = 1;
    while (k < n && Fold(text[i + k]) == FFolded[k]) ++k;
    if (k == n) return true;
  }
  return false;
}

}  // namespace kqtool

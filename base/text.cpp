#include "text.h"

#include <cstring>

namespace kq {

namespace {

bool IsHigh(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t u = text[i];
    if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHigh(u) || IsLow(u)) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    char32_t cp = 0xFFFD;
    std::size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if (b >= 0xC2 && b < 0xF5) {
      std::size_t need = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      char32_t value = b & (0xFF >> (need + 1));
      std::size_t k = 1;
      for (; k < need && i + k < text.size(); ++k) {
        unsigned char c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) break;
        value = (value << 6) | (c & 0x3F);
      }
      if (k == need) {
        bool overlong = (need == 3 && value < 0x800) || (need == 4 && value < 0x10000);
        if (!overlong && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF)) cp = value;
        len = need;
      } else {
        len = k;
      }
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::size_t CutAtCodeUnit(std::u16string_view text, std::size_t maxUnits) noexcept {
  if (text.size() <= maxUnits) return text.size();
  if (maxUnits > 0 && IsHigh(text[maxUnits - 1]) && IsLow(text[maxUnits])) return maxUnits - 1;
  return maxUnits;
}

std::u16string ReadFixedText(const void* units, std::size_t maxUnits) {
  std::u16string out;
  const unsigned char* p = static_cast<const unsigned char*>(units);
  for (std::size_t i = 0; i < maxUnits; ++i) {
    char16_t u;
    std::memcpy(&u, p + i * 2, 2);
    if (u == 0) break;
    out.push_back(u);
  }
  return out;
}

}  // namespace kq

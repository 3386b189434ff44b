#include "output_buffer.h"

namespace kqtool {

void OutputBuffer::Reserve(std::size_t capacity) {
  if (capacity <= FCapacity) return;
  auto data = std::make_unique<char[]>(capacity);
  if (FSize) std::memcpy(data.get(), FData.get(), FSize);
  FData = std::move(data);
  FCapacity = capacity;
}

void OutputBuffer::AppendInt(std::int64_t value) {
  char digits[24];
  int n = 0;
  // Through the unsigned value, so that the most negative number has a positive counterpart.
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  char* at = Grow(static_cast<std::size_t>(n) + (value < 0 ? 1 : 0));
  if (value < 0) *at++ = '-';
  while (n) *at++ = digits[--n];
}

void OutputBuffer::AppendDigits(std::uint32_t value, int width) {
  char* at = Grow(static_cast<std::size_t>(width));
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

void OutputBuffer::AppendUtf16(std::u16string_view text) {
  // At most three bytes per code unit (a pair of two units makes four bytes).
  char* const start = Grow(text.size() * 3);
  unsigned char* at = reinterpret_cast<unsigned char*>(start);
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  while (p < end) {
    // The common case, a run of ASCII, without a branch per kind.
    while (p < end && *p < 0x80) *at++ = static_cast<unsigned char>(*p++);
    if (p == end) break;
    char32_t u = *p++;
    if (u < 0x800) {
      *at++ = static_cast<unsigned char>(0xC0 | (u >> 6));
      *at++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
      continue;
    }
    if (u >= 0xD800 && u <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF) {
      const char32_t cp = 0x10000 + ((u - 0xD800) << 10) + (*p++ - 0xDC00);
      *at++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
      *at++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      *at++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      *at++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      continue;
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    *at++ = static_cast<unsigned char>(0xE0 | (u >> 12));
    *at++ = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
    *at++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
  }
  Shrink(static_cast<std::size_t>(reinterpret_cast<unsigned char*>(start) + text.size() * 3 - at));
}

}  // namespace kqtool

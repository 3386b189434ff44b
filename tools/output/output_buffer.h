#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace kqtool {

// The one growing byte buffer that a batch of output lines is formatted into: it keeps its capacity
// from batch to batch, so that formatting allocates only while the largest batch is still unseen.
// Text arrives as UTF-16 from the trace buffer and is transcoded straight into the bytes here.
class OutputBuffer {
 public:
  OutputBuffer() { Reserve(64 * 1024); }

  std::string_view View() const noexcept { return {FData.get(), FSize}; }
  std::size_t Size() const noexcept { return FSize; }
  bool Empty() const noexcept { return FSize == 0; }
  void Clear() noexcept { FSize = 0; }
  // Drops everything from `size` on (to take back a line that turned out unwanted).
  void Truncate(std::size_t size) noexcept {
    if (size < FSize) FSize = size;
  }

  void Append(std::string_view bytes) {
    char* at = Grow(bytes.size());
    if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
  }
  void Append(char c) { *Grow(1) = c; }
  void AppendRepeated(char c, std::size_t count) {
    char* at = Grow(count);
    for (std::size_t i = 0; i < count; ++i) at[i] = c;
  }
  // Decimal, with a minus sign when negative.
  void AppendInt(std::int64_t value);
  // Exactly `width` digits, zero-filled (value must fit).
  void AppendDigits(std::uint32_t value, int width);
  // UTF-16 as UTF-8; unpaired surrogates become U+FFFD.
  void AppendUtf16(std::u16string_view text);

  // Room for `count` more bytes at the end, which the caller fills; the size already counts them.
  char* Grow(std::size_t count) {
    if (FSize + count > FCapacity) Reserve((FSize + count) * 2);
    char* at = FData.get() + FSize;
    FSize += count;
    return at;
  }
  // Gives back bytes of the last Grow that were not used.
  void Shrink(std::size_t unused) noexcept { FSize -= unused; }

 private:
  void Reserve(std::size_t capacity);

  std::unique_ptr<char[]> FData;
  std::size_t FSize = 0;
  std::size_t FCapacity = 0;
};

}  // namespace kqtool

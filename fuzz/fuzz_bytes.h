#pragma once
// The fuzz targets' view of libFuzzer's input: bytes taken from the front, as values or as text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kqfuzz {

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}
  bool Empty() const { return FAt >= FSize; }
  std::uint8_t Next() { return FAt < FSize ? FData[FAt++] : 0; }
  // The next n bytes (fewer at the end) as text.
  std::string Take(std::size_t n) {
    n = std::min(n, FSize - FAt);
    std::string out(reinterpret_cast<const char*>(FData + FAt), n);
    FAt += n;
    return out;
  }
  std::string Rest() { return Take(FSize - FAt); }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FAt = 0;
};

}  // namespace kqfuzz

#pragma once

#include <string>
#include <string_view>

namespace kq {

// UTF-16 is the text of shared sections and of the interface; UTF-8 that of POSIX file names and
// files. Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// Number of leading code units of text that fit in maxUnits without splitting a surrogate pair.
std::size_t CutAtCodeUnit(std::u16string_view text, std::size_t maxUnits) noexcept;

// Text up to its first NUL, at most maxUnits code units, read from possibly unaligned memory.
std::u16string ReadFixedText(const void* units, std::size_t maxUnits);

}  // namespace kq

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kqodbc {

// Text of the ANSI entry points: UTF-8 on Linux, the ANSI code page on Windows.
std::u16string NarrowToUtf16(const char* text, std::size_t length);
std::string Utf16ToNarrow(std::u16string_view text);

std::int32_t CurrentProcessID();
// The running program's file name without folder.
std::string ProgramName();

}  // namespace kqodbc

#pragma once

#include <string_view>

#include "output_buffer.h"

namespace kqtool {

// Statement text comes from whoever wrote the SQL, literals included, so none of it may reach a
// terminal or a text file as a control sequence: an ESC in a literal would otherwise clear the
// watcher's screen or retitle its window, a CR would overwrite the record's own columns, and a bidi
// override would make the text read differently from what it is. Such characters are shown as escapes
// ("\e", "\r", "\x07", "\u202E"), a backslash stays a backslash.
//
// A line break inside a statement starts a continuation line: `indent` blanks, then ContinuationMark,
// so that a multi-line statement stays one visible record (CR LF counts as one break).
inline constexpr std::string_view ContinuationMark = "| ";

void AppendTerminalSafe(std::u16string_view text, OutputBuffer& out, std::size_t indent = 0);

// The columns that already formatted ASCII text takes on a terminal (colour sequences take none).
std::size_t VisibleWidth(std::string_view ascii) noexcept;

// True for a character that AppendTerminalSafe shows as an escape (line breaks excepted).
bool IsUnsafeForTerminal(char16_t c) noexcept;

}  // namespace kqtool

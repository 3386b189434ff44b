#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kqtool {

// Ctrl+C (and SIGTERM on POSIX, console close on Windows) ends the tools' loops cleanly.
void InstallInterruptHandler();
bool InterruptRequested();

std::int32_t ProcessID();

// A whole decimal number in the range of int32, or nothing.
std::optional<std::int32_t> ParseInt(std::string_view text);

// True when standard output is an interactive terminal (not a pipe or a file).
bool StdoutIsTerminal();
// Makes the console take UTF-8 and ANSI colour sequences (Windows); nothing to do on POSIX terminals.
void PrepareConsole();
// Whether to colour output for `when` ("auto", "always", "never"): auto means a terminal, unless the
// NO_COLOR convention (any non-empty value) or TERM=dumb says otherwise.
bool UseColour(const std::string& when, bool terminal);

}  // namespace kqtool

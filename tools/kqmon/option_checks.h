#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

namespace kqtool {

// kqmon's checks of what it is given, each failing with a message that says what is wrong and what to
// do instead (CLI11's own range checks print the limits of a double in full).

// A number of seconds: 0 or more, at most a year.
CLI::Validator SecondsCheck();
// A number of megabytes greater than 0, at most 1048576 (a terabyte).
CLI::Validator MegabytesCheck();
// A file that can be made later: its folder exists now, so that a typo shows at the start, not when
// the file is finally written.
CLI::Validator FolderExistsCheck();

// The message for a first argument that names no command of `app`, or nothing when it names one (or
// is an option, or is missing: CLI11 deals with those).
std::optional<std::string> UnknownCommand(const CLI::App& app, int argc, const char* const* argv);

// What is wrong with KQ_NAMESPACE's value as a prefix of named objects and folders, or nothing.
std::optional<std::string> NamespaceProblem(const char* value);

}  // namespace kqtool

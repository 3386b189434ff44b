#include "option_checks.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <system_error>

namespace kqtool {

namespace {

// The number, +/-infinity for one too large for a double, or nothing for what is no number.
std::optional<double> ParseNumber(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || at != end || std::isnan(value)) return std::nullopt;
  if (error == std::errc::result_out_of_range) return text[0] == '-' ? -HUGE_VAL : HUGE_VAL;
  if (error != std::errc()) return std::nullopt;
  return value;
}

CLI::Validator NumberCheck(double low, bool lowIncluded, double high, std::string what, std::string example) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        const std::optional<double> value = ParseNumber(text);
        if (!value) return "\"" + text + "\" is not a number; give " + what + ", for example " + example;
        if (*value < low || (!lowIncluded && *value == low) || *value > high)
          return text + " is out of range; give " + what + ", for example " + example;
        return {};
      },
      "", "");
}

}  // namespace

CLI::Validator SecondsCheck() {
  return NumberCheck(0, true, 366 * 24 * 3600.0, "seconds from 0 to 31622400 (a year)", "60 or 0.5");
}

CLI::Validator MegabytesCheck() {
  return NumberCheck(0, false, 1024 * 1024, "megabytes above 0, up to 1048576", "100 or 0.5");
}

CLI::Validator FolderExistsCheck() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const std::filesystem::path path(text);
        std::error_code error;
        if (text.empty()) return "the file name is empty; give a file, for example last.sql";
        if (std::filesystem::is_directory(path, error))
          return "\"" + text + "\" is a folder; give a file in it, for example " + (path / "last.sql").string();
        const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
        if (!std::filesystem::is_directory(folder, error))
          return "the folder \"" + folder.string() +
                 "\" does not exist; create it first, or give a file in a folder that exists";
        return {};
      },
      "", "");
}

std::optional<std::string> UnknownCommand(const CLI::App& app, int argc, const char* const* argv) {
  if (argc < 2) return std::nullopt;
  const std::string first = argv[1];
  if (first.empty() || first[0] == '-') return std::nullopt;
  std::string names;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (command->check_name(first)) return std::nullopt;
    names += (names.empty() ? "" : ", ") + command->get_name();
  }
  return "\"" + first + "\" is not a command; the commands are " + names + " (kqmon --help says what each does)";
}

std::optional<std::string> NamespaceProblem(const char* value) {
  if (!value || !*value) return std::nullopt;
  const std::string text(value);
  // It becomes part of object names and of a folder's name: no path separators, nothing a terminal
  // or a file system would take for something else.
  for (unsigned char c : text) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F)
      return "KQ_NAMESPACE must not contain \"/\", \"\\\" or control characters; use letters, digits, \"-\", "
             "\"_\" or \".\" (or unset it to use the real objects)";
  }
  return std::nullopt;
}

}  // namespace kqtool

#pragma once

#include <cstdint>
#include <string_view>

#include "output_buffer.h"

namespace kqtool {

// Writes one JSON object per line (NDJSON) into an output buffer: keys in the order given, strings
// escaped as RFC 8259 asks and transcoded from UTF-16 on the way (unpaired surrogates become U+FFFD).
class JsonWriter {
 public:
  explicit JsonWriter(OutputBuffer& out) noexcept : FOut(out) {}

  void BeginObject() {
    FOut.Append('{');
    FFirst = true;
  }
  // Closes the object and the line.
  void EndObject() { FOut.Append("}\n"); }

  void Member(std::string_view key, std::u16string_view value) {
    Key(key);
    AppendString(value);
  }
  void Member(std::string_view key, std::string_view utf8) {
    Key(key);
    AppendString(utf8);
  }
  void Member(std::string_view key, const char* utf8) { Member(key, std::string_view(utf8)); }
  void Member(std::string_view key, std::int64_t value) {
    Key(key);
    FOut.AppendInt(value);
  }
  void Member(std::string_view key, std::int32_t value) { Member(key, static_cast<std::int64_t>(value)); }
  void Member(std::string_view key, bool value) {
    Key(key);
    FOut.Append(value ? std::string_view("true") : std::string_view("false"));
  }
  void NullMember(std::string_view key) {
    Key(key);
    FOut.Append("null");
  }
  // A number with `decimals` places after the point (for shares and rates).
  void FixedMember(std::string_view key, double value, int decimals);
  // The key, ready for a value the caller appends itself (a time stamp, say) inside quotes or not.
  void Key(std::string_view key);

  void AppendString(std::u16string_view text);
  void AppendString(std::string_view utf8);

 private:
  OutputBuffer& FOut;
  bool FFirst = true;
};

}  // namespace kqtool

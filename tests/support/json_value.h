#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kqtest {

// A parsed JSON value, enough to check what a tool wrote: strings come back as UTF-8 with every
// escape resolved, numbers as double.
struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object } Kind = Type::Null;
  bool Bool = false;
  double Number = 0;
  std::string String;
  std::vector<JsonValue> Array;
  std::map<std::string, JsonValue> Object;
  std::vector<std::string> Keys;  // of an object, in the order written

  bool Has(const std::string& key) const { return Object.count(key) != 0; }
  const JsonValue& operator[](const std::string& key) const;
};

// The value of one complete JSON text, or nothing when it is not valid JSON (trailing bytes included).
std::optional<JsonValue> ParseJson(const std::string& text);

}  // namespace kqtest

#include "json_value.h"

#include <cstdlib>

namespace kqtest {

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : FText(text) {}

  bool Parse(JsonValue& value) {
    if (!Value(value, 0)) return false;
    Space();
    return FAt == FText.size();
  }

 private:
  void Space() {
    while (FAt < FText.size() && (FText[FAt] == ' ' || FText[FAt] == '\t' || FText[FAt] == '\n' || FText[FAt] == '\r'))
      ++FAt;
  }
  bool Literal(const char* word) {
    std::size_t n = std::char_traits<char>::length(word);
    if (FText.compare(FAt, n, word) != 0) return false;
    FAt += n;
    return true;
  }
  static void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(unsigned& value) {
    if (FAt + 4 > FText.size()) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      char c = FText[FAt++];
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        value |= static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
    }
    return true;
  }
  bool String(std::string& out) {
    if (FAt >= FText.size() || FText[FAt] != '"') return false;
    ++FAt;
    while (FAt < FText.size()) {
      unsigned char c = static_cast<unsigned char>(FText[FAt++]);
      if (c == '"') return true;
      if (c < 0x20) return false;  // raw control characters are not allowed
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (FAt >= FText.size()) return false;
      char e = FText[FAt++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            unsigned low;
            if (!Literal("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Value(JsonValue& value, int depth) {
    if (depth > 64) return false;
    Space();
    if (FAt >= FText.size()) return false;
    char c = FText[FAt];
    if (c == '{') {
      ++FAt;
      value.Kind = JsonValue::Type::Object;
      Space();
      if (FAt < FText.size() && FText[FAt] == '}') return ++FAt, true;
      for (;;) {
        Space();
        std::string key;
        if (!String(key)) return false;
        Space();
        if (FAt >= FText.size() || FText[FAt++] != ':') return false;
        JsonValue member;
        if (!Value(member, depth + 1)) return false;
        if (value.Object.count(key)) return false;  // a writer of ours never repeats a key
        value.Keys.push_back(key);
        value.Object[key] = std::move(member);
        Space();
        if (FAt >= FText.size()) return false;
        if (FText[FAt] == ',') {
          ++FAt;
          continue;
        }
        return FText[FAt++] == '}';
      }
    }
    if (c == '[') {
      ++FAt;
      value.Kind = JsonValue::Type::Array;
      Space();
      if (FAt < FText.size() && FText[FAt] == ']') return ++FAt, true;
      for (;;) {
        JsonValue item;
        if (!Value(item, depth + 1)) return false;
        value.Array.push_back(std::move(item));
        Space();
        if (FAt >= FText.size()) return false;
        if (FText[FAt] == ',') {
          ++FAt;
          continue;
        }
        return FText[FAt++] == ']';
      }
    }
    if (c == '"') {
      value.Kind = JsonValue::Type::String;
      return String(value.String);
    }
    if (Literal("true")) return value.Kind = JsonValue::Type::Bool, value.Bool = true, true;
    if (Literal("false")) return value.Kind = JsonValue::Type::Bool, value.Bool = false, true;
    if (Literal("null")) return value.Kind = JsonValue::Type::Null, true;
    // A number as JSON spells it: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    std::size_t start = FAt;
    if (FText[FAt] == '-') ++FAt;
    auto digits = [&] {
      std::size_t from = FAt;
      while (FAt < FText.size() && FText[FAt] >= '0' && FText[FAt] <= '9') ++FAt;
      return FAt > from;
    };
    if (FAt < FText.size() && FText[FAt] == '0') {
      ++FAt;
    } else if (!digits()) {
      return false;
    }
    if (FAt < FText.size() && FText[FAt] == '.') {
      ++FAt;
      if (!digits()) return false;
    }
    if (FAt < FText.size() && (FText[FAt] == 'e' || FText[FAt] == 'E')) {
      ++FAt;
      if (FAt < FText.size() && (FText[FAt] == '+' || FText[FAt] == '-')) ++FAt;
      if (!digits()) return false;
    }
    value.Kind = JsonValue::Type::Number;
    value.Number = std::strtod(FText.substr(start, FAt - start).c_str(), nullptr);
    return true;
  }

  const std::string& FText;
  std::size_t FAt = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
  static const JsonValue missing;
  auto found = Object.find(key);
  return found == Object.end() ? missing : found->second;
}

std::optional<JsonValue> ParseJson(const std::string& text) {
  JsonValue value;
  Parser parser(text);
  if (!parser.Parse(value)) return std::nullopt;
  return value;
}

}  // namespace kqtest

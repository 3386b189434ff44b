// kqodbc's text handling under arbitrary bytes, checked against properties. The first byte picks the
// part:
// - a connection string as given: the proxy's own keys removed (as it does before handing the string
//   to the real driver) are gone, every other key keeps its presence and first value, and what is
//   left reads the same when read again;
// - a connection string built from generated pairs with braced values (';', '=', '{' and '}' inside,
//   '}' doubled): each value reads back exactly, the first of a repeated key wins, keys match without
//   regard to case;
// - the ANSI (UTF-8) and wide conversions: valid UTF-8 comes back unchanged through UTF-16, any UTF-16
//   gives UTF-8 that converts back to it with only unpaired surrogates replaced by U+FFFD;
// - a catalog call as pseudo-statement text: one argument per slot, quotes doubled, NULL for none, so
//   that an argument cannot forge another.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection_string.h"
#include "fuzz_bytes.h"
#include "platform.h"
#include "statement_trace.h"

namespace {

// Says which property broke (the line), then stops as libFuzzer expects of a failure.
[[noreturn]] void Fail(int line = __builtin_LINE()) {
  std::fprintf(stderr, "kqodbc_text_fuzz: the property at line %d does not hold\n", line);
  std::abort();
}

using kqfuzz::Bytes;

// Keys the fuzzer's text is likely to hold, in the case variants a manager may pass.
const char* const Keys[] = {"KqDriver", "kqdriver", "KqParams", "KQPARAMS", "DSN", "Driver",
                            "UID",      "PWD",      "Database", "a",        ""};

void CheckGiven(Bytes& in) {
  const std::string text = in.Rest();
  const kqodbc::ConnectionString given(text);
  const std::string left = given.Without({"KqDriver", "KqParams"});
  const kqodbc::ConnectionString rest(left);
  for (const char* key : Keys) {
    const std::string k(key);
    const bool own = k == "KqDriver" || k == "kqdriver" || k == "KqParams" || k == "KQPARAMS";
    if (own) {
      if (rest.Has(k)) Fail();
      continue;
    }
    if (rest.Has(k) != given.Has(k) || rest.Value(k) != given.Value(k)) Fail();
  }
  // Removing nothing changes nothing, and removing again finds nothing more.
  if (given.Without({}) != text) Fail();
  if (rest.Without({"KqDriver", "KqParams"}) != left) Fail();
}

// Generated keys are letters only, so folding bit 5 compares them without regard to case.
bool SameKey(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t c = 0; c < a.size(); ++c)
    if ((a[c] | 32) != (b[c] | 32)) return false;
  return true;
}

void CheckBuilt(Bytes& in) {
  struct Pair {
    std::string Key, Value;
  };
  std::vector<Pair> pairs;
  std::string text;
  while (!in.Empty() && pairs.size() < 12) {
    const std::uint8_t how = in.Next();
    // Keys of letters (the fuzzer's bytes folded into them), never empty, no spaces at the ends.
    std::string key;
    for (std::size_t n = how % 5 + 1; n > 0; --n) key += static_cast<char>('A' + in.Next() % 26 + (how & 8 ? 32 : 0));
    std::string value = in.Take(in.Next() % 20);
    if (value.find('\0') != std::string::npos) value.erase(value.find('\0'));
    pairs.push_back({key, value});
    std::string braced;
    for (char c : value) braced += c == '}' ? std::string("}}") : std::string(1, c);
    text += (how & 16 ? " " : "") + key + (how & 32 ? " =" : "=") + "{" + braced + "}";
    text += how & 64 ? ";;" : ";";
  }
  const kqodbc::ConnectionString read(text);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const Pair& pair = pairs[i];
    // The first pair of that key, in any case, is the one read.
    std::size_t first = i;
    for (std::size_t j = 0; j < i; ++j) {
      if (SameKey(pairs[j].Key, pair.Key)) {
        first = j;
        break;
      }
    }
    if (!read.Has(pair.Key)) Fail();
    if (read.Value(pair.Key) != pairs[first].Value) Fail();
    // Removing this key leaves every other key's value as it was.
    const kqodbc::ConnectionString without(read.Without({pair.Key.c_str()}));
    if (without.Has(pair.Key)) Fail();
    for (const Pair& other : pairs) {
      if (SameKey(other.Key, pair.Key)) continue;
      if (!without.Has(other.Key) || without.Value(other.Key) != read.Value(other.Key)) Fail();
    }
  }
}

std::u16string Replaced(std::u16string_view units) {
  std::u16string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      out += u;
      out += units[++i];
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += u'\xFFFD';
    } else {
      out += u;
    }
  }
  return out;
}

void CheckConversion(Bytes& in) {
  const std::string bytes = in.Rest();
  // The bytes as UTF-16 units, which may pair or not.
  std::u16string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    units +=
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  const std::string narrow = kqodbc::Utf16ToNarrow(units);
  const std::u16string back = kqodbc::NarrowToUtf16(narrow.data(), narrow.size());
  if (back != Replaced(units)) Fail();
  if (kqodbc::Utf16ToNarrow(back) != narrow) Fail();
  // The bytes as ANSI text: whatever they are, the result holds no unpaired surrogate.
  const std::u16string wide = kqodbc::NarrowToUtf16(bytes.data(), bytes.size());
  if (Replaced(wide) != wide) Fail();
}

void CheckCatalog(Bytes& in) {
  std::vector<std::optional<std::u16string>> arguments;
  for (int i = 0; i < 4; ++i) {
    if (in.Next() & 1) {
      arguments.push_back(std::nullopt);
    } else {
      const std::string raw = in.Take(in.Next() % 16);
      arguments.push_back(kqodbc::NarrowToUtf16(raw.data(), raw.size()));
    }
  }
  const std::u16string text =
      kqodbc::CatalogText("SQLTables", {arguments[0], arguments[1], arguments[2], arguments[3]});
  const std::u16string head = u"SQLTables(";
  if (text.compare(0, head.size(), head) != 0 || text.back() != u')') Fail();
  std::size_t at = head.size();
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i) {
      if (text.compare(at, 2, u", ") != 0) Fail();
      at += 2;
    }
    if (!arguments[i]) {
      if (text.compare(at, 4, u"NULL") != 0) Fail();
      at += 4;
      continue;
    }
    if (at >= text.size() || text[at] != u'\'') Fail();
    std::u16string value;
    for (++at;; ++at) {
      if (at >= text.size()) Fail();
      if (text[at] == u'\'') {
        if (at + 1 < text.size() && text[at + 1] == u'\'') {
          value += u'\'';
          ++at;
          continue;
        }
        ++at;
        break;
      }
      value += text[at];
    }
    if (value != *arguments[i]) Fail();
  }
  if (at + 1 != text.size()) Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  switch (in.Next() % 4) {
    case 0:
      CheckGiven(in);
      break;
    case 1:
      CheckBuilt(in);
      break;
    case 2:
      CheckConversion(in);
      break;
    default:
      CheckCatalog(in);
      break;
  }
  return 0;
}

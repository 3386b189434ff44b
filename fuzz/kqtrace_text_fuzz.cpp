// kqtrace's text handling under arbitrary bytes, checked against properties rather than for crashes
// alone. The first byte picks the part:
// - UTF-8 to UTF-16: the result must equal an independent, slow decoder's (each byte that is not part
//   of a well-formed sequence becomes one U+FFFD), never be longer than the input, hold no unpaired
//   surrogate, and give the same result into a reused buffer; valid input must come back unchanged
//   through the reverse conversion.
// - the client's name: at most ClientNameMax UTF-16 units once converted, a prefix of
//   "PROGRAM DATABASE", cut between characters, and whole when it fits; an explicit name is cut the
//   same way; the database label is exactly DB@HOST.
// - bound values: the text comes first and is kept, the comment has exactly one item per value in
//   order, nothing inside it ends it early, a quoted value cannot forge another item, and with redact
//   no value's content (digits, quotes, anything) survives, only ? and NULL.
// - the pending queue: statements complete in the order they were sent, each once, and only after a
//   result of their own.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_bytes.h"
#include "text.h"
#include "trace_parts.h"

namespace {

// Says which property broke (the line), then stops as libFuzzer expects of a failure.
[[noreturn]] void Fail(int line = __builtin_LINE()) {
  std::fprintf(stderr, "kqtrace_text_fuzz: the property at line %d does not hold\n", line);
  std::abort();
}

using kqfuzz::Bytes;

// One step of the reference decoder: the code point at p (U+FFFD for a malformed byte) and the bytes
// it takes. Written from the definition of UTF-8, apart from the converter under test.
char32_t DecodeOne(std::string_view text, std::size_t at, std::size_t& length) {
  const auto b0 = static_cast<unsigned char>(text[at]);
  length = 1;
  if (b0 < 0x80) return b0;
  std::size_t need;
  char32_t least;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2, least = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3, least = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4, least = 0x10000;
  } else {
    return 0xFFFD;
  }
  if (at + need > text.size()) return 0xFFFD;
  char32_t code = b0 & (need == 2 ? 0x1F : need == 3 ? 0x0F : 0x07);
  for (std::size_t i = 1; i < need; ++i) {
    const auto b = static_cast<unsigned char>(text[at + i]);
    if ((b & 0xC0) != 0x80) return 0xFFFD;
    code = (code << 6) | (b & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0xFFFD;
  length = need;
  return code;
}

std::u16string Reference(std::string_view text, bool& valid) {
  std::u16string out;
  valid = true;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length;
    const char32_t code = DecodeOne(text, at, length);
    if (code == 0xFFFD && !(length == 3 && text.substr(at, 3) == "\xEF\xBF\xBD")) valid = false;
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    at += length;
  }
  return out;
}

bool WellFormed(std::u16string_view units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

std::size_t Units(std::string_view utf8) {
  std::u16string out;
  kqtrace::Utf8ToUtf16(utf8, out);
  return out.size();
}

void CheckConversion(Bytes& in) {
  const std::string text = in.Rest();
  std::u16string out;
  kqtrace::Utf8ToUtf16(text, out);
  bool valid;
  if (out != Reference(text, valid)) Fail();
  if (out.size() > text.size()) Fail();
  if (!WellFormed(out)) Fail();
  // Into a buffer that held a longer text before: nothing of it may remain.
  std::u16string reused(text.size() + 40, u'\xD800');
  kqtrace::Utf8ToUtf16(text, reused);
  if (reused != out) Fail();
  if (valid && kq::Utf16ToUtf8(out) != text) Fail();
}

void CheckName(Bytes& in) {
  const std::size_t split = in.Next();
  const bool named = in.Next() & 1;
  const std::string program = in.Take(split % 96);
  const std::string database = in.Rest();
  if (named) {
    // An explicit name (--name) goes through the same cut.
    const std::string cut = kqtrace::CutToClientName(program + database);
    if ((program + database).compare(0, cut.size(), cut) != 0) Fail();
    std::u16string units;
    kqtrace::Utf8ToUtf16(cut, units);
    if (units.size() > kqtrace::ClientNameMax || !WellFormed(units)) Fail();
    return;
  }
  const std::string name = kqtrace::ClientName(program, database);
  std::string full = program.empty() ? std::string("kqtrace") : program;
  if (!database.empty()) full += " " + database;
  if (full.compare(0, name.size(), name) != 0) Fail();
  std::u16string units, whole;
  kqtrace::Utf8ToUtf16(name, units);
  kqtrace::Utf8ToUtf16(full, whole);
  if (units.size() > kqtrace::ClientNameMax || !WellFormed(units)) Fail();
  // Cut between characters: the name's units are the full name's first units.
  if (whole.compare(0, units.size(), units) != 0) Fail();
  if (whole.size() <= kqtrace::ClientNameMax && name != full) Fail();
  // Not cut shorter than needed: the next character would not have fitted.
  if (name.size() < full.size()) {
    std::size_t length;
    DecodeOne(full, name.size(), length);
    if (Units(full.substr(0, name.size() + length)) <= kqtrace::ClientNameMax) Fail();
  }

  // The label: DB@HOST, either part possibly missing.
  const std::size_t half = database.size() / 2;
  const std::string db = database.substr(0, half), host = database.substr(half);
  const std::string label = kqtrace::PgDatabaseLabel(in.Empty() ? nullptr : db.c_str(), host.c_str());
  const std::string cdb(db.c_str()), chost(host.c_str());
  if (label != (in.Empty() ? std::string() : cdb) + (chost.empty() ? std::string() : "@" + chost)) Fail();
}

// Reads one item of the comment at `at`: $N=NULL, $N=?, $N=<binary L bytes> or $N='...'; the quoted
// value unquoted into `value`. Returns false when the text there is not one.
bool ReadItem(std::string_view s, std::size_t& at, int number, std::string& kind, std::string& value) {
  const std::string head = "$" + std::to_string(number) + "=";
  if (s.substr(at, head.size()) != head) return false;
  at += head.size();
  value.clear();
  for (const char* word : {"NULL", "?"}) {
    if (s.substr(at, std::strlen(word)) == word) {
      kind = word;
      at += std::strlen(word);
      return true;
    }
  }
  if (s.substr(at, 8) == "<binary ") {
    const std::size_t close = s.find(" bytes>", at);
    if (close == std::string_view::npos) return false;
    kind = "binary";
    value = std::string(s.substr(at + 8, close - at - 8));
    at = close + 7;
    return true;
  }
  if (at >= s.size() || s[at] != '\'') return false;
  kind = "text";
  for (++at; at < s.size(); ++at) {
    if (s[at] == '\'') {
      if (at + 1 < s.size() && s[at + 1] == '\'') {
        value += '\'';
        ++at;
        continue;
      }
      ++at;
      return true;
    }
    value += s[at];
  }
  return false;
}

void CheckParams(Bytes& in) {
  const bool redact = in.Next() & 1;
  const int count = in.Next() % 10 - 1;  // -1 too: no values
  const std::string text = in.Take(in.Next() % 64);
  std::vector<std::string> storage;
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  const bool noFormats = in.Next() & 1, noLengths = in.Next() & 1;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t how = in.Next();
    storage.push_back(in.Take(in.Next() % 24));
    lengths.push_back(static_cast<int>(storage.back().size()) - (how & 4 ? 3 : 0));
    formats.push_back(how & 2 ? 1 : 0);
  }
  for (int i = 0; i < count; ++i) values.push_back(storage[i].size() % 7 == 5 ? nullptr : storage[i].c_str());
  const std::string out =
      kqtrace::WithParams(text, count, count > 0 ? values.data() : nullptr, noLengths ? nullptr : lengths.data(),
                          noFormats ? nullptr : formats.data(), redact);
  if (count <= 0) {
    if (out != text) Fail();
    return;
  }
  if (out.compare(0, text.size(), text) != 0) Fail();
  std::string_view rest = std::string_view(out).substr(text.size());
  if (rest.substr(0, 4) != " /* " || rest.size() < 7 || rest.substr(rest.size() - 3) != " */") Fail();
  const std::string_view body = rest.substr(4, rest.size() - 7);
  // Nothing in the comment closes it before its end.
  if (body.find("*/") != std::string_view::npos) Fail();
  std::size_t at = 0;
  for (int i = 0; i < count; ++i) {
    if (i) {
      if (body.substr(at, 2) != ", ") Fail();
      at += 2;
    }
    std::string kind, value;
    if (!ReadItem(body, at, i + 1, kind, value)) Fail();
    const char* given = values[i];
    if (!given) {
      if (kind != "NULL") Fail();
    } else if (redact) {
      if (kind != "?") Fail();
    } else if (!noFormats && formats[i] == 1) {
      if (kind != "binary" || value != std::to_string(noLengths ? 0 : lengths[i])) Fail();
    } else {
      // The value up to its NUL, with only a comment's end changed so that it cannot close the comment.
      std::string expected;
      for (const char* c = given; *c; ++c) {
        expected += *c;
        if (*c == '*' && c[1] == '/') expected += '\\';
      }
      if (kind != "text" || value != expected) Fail();
    }
  }
  if (at != body.size()) Fail();
}

void CheckQueue(Bytes& in) {
  kqtrace::PendingQueue queue;
  std::vector<int> sent;
  std::size_t completed = 0;
  std::vector<bool> resulted;
  int next = 0;
  while (!in.Empty()) {
    const std::uint8_t op = in.Next();
    switch (op % 4) {
      case 0: {
        kqtrace::PendingStatement s;
        s.Text = std::to_string(next);
        queue.Push(std::move(s));
        sent.push_back(next++);
        resulted.push_back(false);
        break;
      }
      case 1: {
        kqtrace::ResultFacts facts;
        facts.Error = op & 8;
        facts.PipelineSync = op & 16;
        facts.Rows = op & 32 ? op >> 6 : -1;
        queue.OnResult(facts);
        if (!facts.PipelineSync && completed < sent.size()) resulted[completed] = true;
        break;
      }
      default: {
        kqtrace::PendingStatement done;
        const bool any = queue.OnNull(done);
        const bool expected = completed < sent.size() && resulted[completed];
        if (any != expected) Fail();
        if (any && done.Text != std::to_string(sent[completed++])) Fail();
        break;
      }
    }
    if (queue.Size() != sent.size() - completed) Fail();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  switch (in.Next() % 4) {
    case 0:
      CheckConversion(in);
      break;
    case 1:
      CheckName(in);
      break;
    case 2:
      CheckParams(in);
      break;
    default:
      CheckQueue(in);
      break;
  }
  return 0;
}

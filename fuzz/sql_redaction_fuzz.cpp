// Drives the statement scanner, the redactor and the fingerprint with two kinds of input, chosen by
// the first byte:
// - raw text (the rest as UTF-16 code units): nothing may crash or read out of bounds, the tokens must
//   tile the text exactly, and the same text must give the same fingerprint twice;
// - a generated statement of names, keywords, operators, literals, quoted values and comments whose
//   secret content is drawn from the private-use block U+E000..U+E0FF, digits and the characters that
//   end or escape literals. No secret character and no digit (names have none) may survive redaction
//   or reach the fingerprint; redaction keeps the fingerprint; and a second statement of the same
//   shape with other secrets has the same fingerprint.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sql_scanner.h"
#include "statement_fingerprint.h"
#include "statement_redactor.h"

namespace {

using kqtool::SqlScanner;

[[noreturn]] void Fail() { std::abort(); }

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}
  bool Empty() const { return FAt >= FSize; }
  std::uint8_t Next() { return FAt < FSize ? FData[FAt++] : 0; }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FAt = 0;
};

bool IsSecret(char16_t c) { return (c >= 0xE000 && c <= 0xE0FF) || (c >= u'0' && c <= u'9'); }

// One character of secret content; `variant` picks another of the same class for the twin statement.
char16_t SecretChar(std::uint8_t b, bool variant) {
  static constexpr char16_t Nasty[] = u"'\\\"*/-$\n ?#;()";
  const std::uint8_t k = b % 32;
  if (k < sizeof Nasty / sizeof(char16_t) - 1) return Nasty[k];
  return static_cast<char16_t>(0xE000 + (variant ? 255 - b : b));
}

enum class Literal { Plain, Escape, Dollar, DoubleQuoted, Number, LineComment, HashComment, BlockComment };

// Appends a literal or comment of `kind` whose content comes from `content`, escaped by its rules.
void AppendLiteral(Literal kind, std::u16string_view content, std::u16string& out) {
  switch (kind) {
    case Literal::Plain:
      out += u'\'';
      for (char16_t c : content) {
        if (c == u'\'') out += u'\'';
        out += c;
      }
      out += u'\'';
      return;
    case Literal::Escape:
      out += u"E'";
      for (char16_t c : content) {
        if (c == u'\'' || c == u'\\') out += u'\\';
        out += c;
      }
      out += u'\'';
      return;
    case Literal::Dollar:
      out += u"$s$";
      for (char16_t c : content) out += c == u'$' ? char16_t{0xE001} : c;
      out += u"$s$";
      return;
    case Literal::DoubleQuoted:
      out += u'"';
      for (char16_t c : content) {
        if (c == u'"') out += u'"';
        out += c;
      }
      out += u'"';
      return;
    case Literal::Number:
      out += u'1';
      for (char16_t c : content) out += static_cast<char16_t>(u'0' + c % 10);
      return;
    case Literal::LineComment:
    case Literal::HashComment:
      out += kind == Literal::LineComment ? u"--" : u"# ";
      for (char16_t c : content) out += c == u'\n' || c == u'\r' ? char16_t{0xE002} : c;
      out += u'\n';
      return;
    case Literal::BlockComment:
      out += u"/*";
      for (char16_t c : content) out += c == u'/' ? char16_t{0xE003} : c;
      out += u" /* ";
      for (char16_t c : content) out += c == u'/' ? char16_t{0xE004} : c;
      out += u" */ */";
      return;
  }
}

// Builds a statement from the bytes; `variant` changes every secret character but not the shape.
std::u16string Generate(const std::uint8_t* data, std::size_t size, bool variant) {
  static constexpr std::u16string_view Words[] = {u"SELECT", u"FROM", u"WHERE", u"AND",  u"t",    u"name", u"x_y",
                                                  u"ORDER",  u"BY",   u"AS",    u"#tmp", u"NULL", u"IS",   u"f"};
  static constexpr std::u16string_view Operators[] = {u"(", u")", u",", u"+", u";", u".", u"*", u"?"};
  Bytes bytes(data, size);
  std::u16string out;
  while (!bytes.Empty()) {
    const std::uint8_t op = bytes.Next();
    std::u16string content;
    const std::size_t length = bytes.Next() % 12;
    for (std::size_t i = 0; i < length; ++i) content += SecretChar(bytes.Next(), variant);
    const Literal kind = static_cast<Literal>(op % 8);
    switch (op / 8 % 8) {
      case 0:
      case 1:
        AppendLiteral(kind == Literal::DoubleQuoted ? Literal::Plain : kind, content, out);
        break;
      case 2:  // where only a value can stand, a "..." is a string
        out += u"= ";
        AppendLiteral(kind, content, out);
        break;
      case 3:
        out += u"VALUES (";
        AppendLiteral(Literal::DoubleQuoted, content, out);
        out += u", ";
        AppendLiteral(kind, content, out);
        out += u")";
        break;
      case 4:
        out += u"IN (";
        AppendLiteral(kind == Literal::LineComment || kind == Literal::HashComment ? Literal::DoubleQuoted : kind,
                      content, out);
        out += u", ?)";
        break;
      case 5:
        out += u"\"a b\"";  // a name: no secret
        break;
      case 6:
        out += Operators[op % 8];
        break;
      default:
        out += Words[op % 14];
    }
    out += u' ';
  }
  return out;
}

bool HasSecret(std::u16string_view text) {
  for (char16_t c : text)
    if (IsSecret(c)) return true;
  return false;
}

void CheckRaw(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  SqlScanner scanner(text);
  SqlScanner::Token token;
  std::size_t at = 0;
  while (scanner.Next(token)) {
    if (token.Begin != at || token.End <= token.Begin || token.End > text.size()) Fail();
    at = token.End;
  }
  if (at != text.size()) Fail();
  kqtool::StatementRedactor redactor;
  const std::u16string redacted(redactor.Redact(text));
  kqtool::StatementFingerprint a, b;
  const std::u16string first(a.Of(text));
  if (b.Of(text) != first || a.Of(text) != first) Fail();
  (void)b.Of(redacted);
}

void CheckGenerated(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = Generate(data, size, false);
  const std::u16string twin = Generate(data, size, true);
  kqtool::StatementRedactor redactor;
  kqtool::StatementFingerprint fingerprint, other;
  const std::u16string redacted(redactor.Redact(text));
  if (HasSecret(redacted)) Fail();
  const std::u16string shape(fingerprint.Of(text));
  if (HasSecret(shape)) Fail();
  if (other.Of(twin) != shape) Fail();
  if (other.Of(redacted) != shape) Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    CheckGenerated(data + 1, size - 1);
  else
    CheckRaw(data + 1, size - 1);
  return 0;
}

#include "trace_parts.h"

#include <cstring>
#include <utility>

namespace kqtrace {

namespace {

// The well-formed UTF-8 sequence at p: its code point and length; length 0 when the byte at p begins
// none (a stray or impossible byte, a sequence cut short, an overlong form, a surrogate, a value past
// U+10FFFF). The converter and the name's cut both read text this way, so that a cut name converts to
// no more units than it was cut to.
int Sequence(const unsigned char* p, const unsigned char* end, char32_t& code) {
  const unsigned char lead = *p;
  const int extra = lead >= 0xC2 && lead < 0xE0   ? 1
                    : lead >= 0xE0 && lead < 0xF0 ? 2
                    : lead >= 0xF0 && lead < 0xF5 ? 3
                                                  : -1;
  if (extra < 0 || end - p <= extra) return 0;
  code = lead & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (p[i] & 0x3F);
  }
  static constexpr char32_t Least[] = {0, 0x80, 0x800, 0x10000};
  if (code < Least[extra] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) return 0;
  return extra + 1;
}

}  // namespace

void Utf8ToUtf16(std::string_view text, std::u16string& out) {
  // Never more UTF-16 units than UTF-8 bytes: written in place, cut to length at the end (this runs
  // for every traced statement, so no append per character).
  out.resize(text.size());
  char16_t* w = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    // Statements are mostly ASCII: eight bytes at a time while none has its top bit set.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & 0x8080808080808080ull) break;
      for (int i = 0; i < 8; ++i) w[i] = p[i];
      w += 8;
      p += 8;
    }
    if (p == end) break;
    if (*p < 0x80) {
      *w++ = *p++;
      continue;
    }
    char32_t code = 0;
    const int length = Sequence(p, end, code);
    if (length == 0) {
      *w++ = 0xFFFD;
      ++p;
      continue;
    }
    p += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      *w++ = static_cast<char16_t>(0xD800 + (code >> 10));
      *w++ = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      *w++ = static_cast<char16_t>(code);
    }
  }
  out.resize(static_cast<std::size_t>(w - out.data()));
}

namespace {

// Cuts UTF-8 text to at most `units` UTF-16 units, between whole characters; a malformed byte counts
// as the one U+FFFD it becomes.
std::string CutToUnits(std::string_view text, std::size_t units) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  std::size_t used = 0, at = 0;
  while (at < text.size()) {
    char32_t code = 0;
    const int sequence = begin[at] < 0x80 ? 1 : Sequence(begin + at, end, code);
    const std::size_t length = sequence == 0 ? 1 : static_cast<std::size_t>(sequence);
    const std::size_t cost = sequence == 4 ? 2 : 1;
    if (used + cost > units) break;
    used += cost;
    at += length;
  }
  return std::string(text.substr(0, at));
}

}  // namespace

std::string ClientName(std::string_view program, std::string_view database) {
  std::string name(program.empty() ? std::string_view("kqtrace") : program);
  if (!database.empty()) {
    name += ' ';
    name += database;
  }
  return CutToUnits(name, ClientNameMax);
}

std::string CutToClientName(std::string_view name) { return CutToUnits(name, ClientNameMax); }

std::string PgDatabaseLabel(const char* db, const char* host) {
  std::string label = db ? db : "";
  if (host && *host) {
    label += '@';
    label += host;
  }
  return label;
}

std::string WithParams(std::string_view text, int count, const char* const* values, const int* lengths,
                       const int* formats, bool redact) {
  std::string out(text);
  if (count <= 0) return out;
  out += " /* ";
  for (int i = 0; i < count; ++i) {
    if (i) out += ", ";
    out += '$';
    out += std::to_string(i + 1);
    out += '=';
    const char* value = values ? values[i] : nullptr;
    if (!value) {
      out += "NULL";
    } else if (redact) {
      out += '?';
    } else if (formats && formats[i] == 1) {
      out += "<binary ";
      out += std::to_string(lengths ? lengths[i] : 0);
      out += " bytes>";
    } else {
      out += '\'';
      for (const char* c = value; *c; ++c) {
        // A value that would end the comment early is shown without breaking it.
        if (*c == '*' && c[1] == '/') {
          out += "*\\/";
          ++c;
          continue;
        }
        if (*c == '\'') out += '\'';
        out += *c;
      }
      out += '\'';
    }
  }
  out += " */";
  return out;
}

void PendingQueue::OnResult(const ResultFacts& facts) {
  if (FItems.empty() || facts.PipelineSync) return;
  PendingStatement& front = FItems.front();
  front.SawResult = true;
  if (facts.Rows >= 0) front.Rows = facts.Rows;
  // The first error is the statement's: later results of an aborted pipeline only echo it.
  if (facts.Error && !front.Failed) {
    front.Failed = true;
    front.SqlState = facts.SqlState;
    front.Message = facts.Message;
  }
}

bool PendingQueue::OnNull(PendingStatement& done) {
  if (FItems.empty() || !FItems.front().SawResult) return false;
  done = std::move(FItems.front());
  FItems.pop_front();
  return true;
}

std::string ConnectionState::PreparedText(const char* name) const {
  auto found = Prepared.find(name ? name : "");
  if (found != Prepared.end()) return found->second;
  return std::string("EXECUTE ") + (name && *name ? name : "\"\"") + " /* prepared before tracing */";
}

}  // namespace kqtrace

#include "trace_parts.h"

#include <cstring>
#include <utility>

namespace kqtrace {

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
    unsigned char lead = *p;
    if (lead < 0x80) {
      *w++ = lead;
      ++p;
      continue;
    }
    int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : -1;
    if (extra < 0 || end - p <= extra) {
      *w++ = 0xFFFD;
      ++p;
      continue;
    }
    char32_t code = lead & (0x3F >> extra);
    bool valid = true;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      code = (code << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are malformed too.
    static constexpr char32_t Least[] = {0, 0x80, 0x800, 0x10000};
    if (!valid || code < Least[extra] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) {
      *w++ = 0xFFFD;
      ++p;
      continue;
    }
    p += extra + 1;
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

// Cuts UTF-8 text to at most `units` UTF-16 units, between whole characters.
std::string CutToUnits(std::string_view text, std::size_t units) {
  std::size_t used = 0, at = 0;
  while (at < text.size()) {
    auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    std::size_t cost = length == 4 ? 2 : 1;
    if (used + cost > units || at + length > text.size()) break;
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

#include "kqconsts.h"

#include <array>
#include <iterator>

namespace kq {

namespace {

constexpr std::array<std::u16string_view, KqLastMessageId - KqFirstMessageId + 1> Catalogue = {
    u"Orvalis",
    u"Disconnected",
    u"Trace Enabled",
    u"Trace Disabled",
    u"No Client",
    u"Text files (*.TXT)|*.TXT",
    u"Invalid buffer size, value must be between %d and %dK",
    u"OK to clear log buffer?",
    u"Maximum of %d clients allowed",
    u"Client ID not unique",
    u"Log started for",
    u"(None)",
    u"Ref No.",
    u"Time Stamp",
    u"SQL Statement",
    u"Error creating shared memory: %s [%d]",
    u"Error creating named event object: %s [%d]",
    u"Error creating named mutex: %s [%d]",
    u"Error reallocating trace buffer",
    u"Invalid client list index",
};

void AppendPadded(std::u16string& out, std::u16string_view text, bool leftAlign, std::size_t width) {
  std::size_t pad = text.size() < width ? width - text.size() : 0;
  if (!leftAlign) out.append(pad, u' ');
  out.append(text);
  if (leftAlign) out.append(pad, u' ');
}

std::u16string DecimalText(std::int64_t value) {
  char16_t digits[24];
  std::size_t n = 0;
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    digits[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[n++] = u'-';
  return std::u16string(std::make_reverse_iterator(digits + n), std::make_reverse_iterator(digits));
}

}  // namespace

std::u16string_view LoadKqString(int id) noexcept {
  if (id < KqFirstMessageId || id > KqLastMessageId) return {};
  return Catalogue[static_cast<std::size_t>(id - KqFirstMessageId)];
}

std::u16string FormatKq(std::u16string_view format, std::initializer_list<KqFormatArg> args) {
  std::u16string out;
  out.reserve(format.size() + 32);
  auto next = args.begin();
  std::size_t i = 0;
  while (i < format.size()) {
    char16_t c = format[i];
    if (c != u'%') {
      out.push_back(c);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    if (j < format.size() && format[j] == u'%') {
      out.push_back(u'%');
      i = j + 1;
      continue;
    }
    bool leftAlign = false;
    if (j < format.size() && format[j] == u'-') {
      leftAlign = true;
      ++j;
    }
    std::size_t width = 0;
    while (j < format.size() && format[j] >= u'0' && format[j] <= u'9' && width < 10000) {
      width = width * 10 + static_cast<std::size_t>(format[j] - u'0');
      ++j;
    }
    if (j >= format.size() || (format[j] != u'd' && format[j] != u's') || next == args.end()) {
      out.append(format.substr(i, j - i));
      i = j;
      continue;
    }
    if (format[j] == u'd' && std::holds_alternative<std::int64_t>(*next)) {
      AppendPadded(out, DecimalText(std::get<std::int64_t>(*next)), leftAlign, width);
    } else if (format[j] == u's' && std::holds_alternative<std::u16string_view>(*next)) {
      AppendPadded(out, std::get<std::u16string_view>(*next), leftAlign, width);
    } else {
      out.append(format.substr(i, j + 1 - i));
    }
    ++next;
    i = j + 1;
  }
  return out;
}

std::u16string FormatKqString(int id, std::initializer_list<KqFormatArg> args) {
  return FormatKq(LoadKqString(id), args);
}

}  // namespace kq

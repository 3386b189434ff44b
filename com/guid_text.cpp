#include "guid_text.h"

namespace kq {

std::u16string GuidToString(REFGUID guid) {
  static constexpr char16_t Digits[] = u"0123456789ABCDEF";
  std::u16string text = u"{";
  auto hex = [&](std::uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) text += Digits[(value >> (i * 4)) & 0xF];
  };
  hex(guid.Data1, 8);
  text += u'-';
  hex(guid.Data2, 4);
  text += u'-';
  hex(guid.Data3, 4);
  text += u'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text += u'-';
    hex(guid.Data4[i], 2);
  }
  text += u'}';
  return text;
}

}  // namespace kq

#pragma once

// The statements and outcomes that the cross-process outcome case sends and checks: the same for
// statement i on both sides, and different enough between statements that a field read from the
// wrong record or the wrong offset shows.
#include <cstdint>
#include <string>

namespace kqtest {

struct OutcomeSample {
  std::u16string Text;
  std::u16string Message;
  std::u16string SqlState;
  std::int64_t DurationMicros;
  std::int64_t Rows;
  std::int32_t NativeCode;
  std::int32_t Status;
};

inline OutcomeSample OutcomeFor(std::int32_t i) {
  const std::string n = std::to_string(i);
  OutcomeSample s;
  s.Text = std::u16string(u"select * from t where id = ") + std::u16string(n.begin(), n.end());
  s.Status = i % 3 == 0 ? 1 : 0;
  s.Message = s.Status ? std::u16string(static_cast<std::size_t>(i % 40), u'a' + static_cast<char16_t>(i % 26)) : u"";
  s.SqlState = s.Status ? u"4200" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) : u"";
  s.DurationMicros = i % 7 == 0 ? -1 : std::int64_t{i} * 1000003;
  s.Rows = i % 5 == 0 ? -1 : std::int64_t{i} << 33;
  s.NativeCode = s.Status ? -i : 0;
  return s;
}

}  // namespace kqtest

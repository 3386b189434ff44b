#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ipc_buffer.h"
#include "kq_error.h"
#include "test_support.h"
#include "text.h"

using namespace kq;

namespace {

void AddText(TIPCBuffer& buffer, std::u16string_view text) {
  std::u16string copy(text);
  buffer.Add(copy.c_str(), static_cast<std::int32_t>((copy.size() + 1) * 2));
}

std::u16string Numbered(int n) { return u"r" + Utf8ToUtf16(std::to_string(n)); }

std::int32_t Offset(TIPCBuffer& buffer, std::int32_t index) {
  buffer.RefNo(index);
  return kqtest::RawHeader(buffer)->CurPtr;
}

void PutInt(TIPCBuffer& buffer, std::int32_t offset, std::int32_t value) {
  std::memcpy(static_cast<unsigned char*>(buffer.SharedMem().Buffer()) + offset, &value, 4);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

class BufferViews : public testing::Test {
 protected:
  kqtest::ScopedNamespace FNamespace;
};

}  // namespace

TEST_F(BufferViews, CursorStepsFromTheNearerEndOrByOne) {
  TIPCBuffer buffer(1000, 4);
  for (int n = 1; n <= 5; ++n) AddText(buffer, Numbered(n));
  std::int32_t at[5];
  for (int i = 0; i < 5; ++i) at[i] = Offset(buffer, i);
  PBufferData h = kqtest::RawHeader(buffer);

  // Each case breaks the links that the wrong route would take, so only the right route succeeds.
  buffer.Clear(false);
  for (int n = 1; n <= 5; ++n) AddText(buffer, Numbered(n));
  PutInt(buffer, at[0] + 4, 0);   // forward route from First is cut
  EXPECT_EQ(buffer.RefNo(3), 4);  // from Last, one step back
  EXPECT_EQ(h->CurItem, 3);
  EXPECT_EQ(h->CurPtr, at[3]);
  PutInt(buffer, at[0] + 4, at[1]);

  h->CurItem = -2;
  PutInt(buffer, at[4], 0), PutInt(buffer, at[3], 0);  // backward route from Last is cut
  EXPECT_EQ(buffer.LineData(2), u"r3");                // Count div 2 is reached from First
  PutInt(buffer, at[4], at[3]), PutInt(buffer, at[3], at[2]);

  const std::int32_t first = h->First, last = h->Last;
  h->First = 0, h->Last = 0;  // stepping by one and staying need no end
  EXPECT_EQ(buffer.RefNo(2), 3);
  EXPECT_EQ(buffer.RefNo(3), 4);
  EXPECT_EQ(buffer.RefNo(2), 3);
  EXPECT_EQ(buffer.RefNo(1), 2);
  h->First = first, h->Last = last;

  PutInt(buffer, at[4], 0), PutInt(buffer, at[3] + 4, 0);
  EXPECT_EQ(buffer.RefNo(4), 5);  // two away: straight to Last
  EXPECT_EQ(h->CurPtr, at[4]);

  for (std::int32_t bad : {5, -1, -2, 1 << 30}) {
    EXPECT_THROW(buffer.LineData(bad), ESilentAbort);
    EXPECT_THROW(buffer.Data(bad), ESilentAbort);
    EXPECT_EQ(h->CurItem, 4);
    EXPECT_EQ(h->CurPtr, at[4]);
  }
  buffer.Clear(false);
  EXPECT_THROW(buffer.RefNo(0), ESilentAbort);
  EXPECT_THROW(buffer.TimeStamp(0), ESilentAbort);
  EXPECT_THROW(buffer.ColItem(0, 0), ESilentAbort);
}

TEST_F(BufferViews, ReadingInOrderFollowsTheCursorAcrossALapBothWays) {
  TIPCBuffer buffer(400, 4);
  buffer.SetUseRefNo(true);
  for (int n = 1; n <= 13; ++n) AddText(buffer, Numbered(n));
  const std::int32_t count = buffer.Count();
  for (std::int32_t i = 0; i < count; ++i) EXPECT_EQ(buffer.RefNo(i), 13 - count + 1 + i);
  for (std::int32_t i = count - 1; i >= 0; --i)
    EXPECT_EQ(reinterpret_cast<const char16_t*>(buffer.Data(i)), Numbered(13 - count + 1 + i));
  // A cursor on the newest record steps onto the next one appended without eviction.
  buffer.RefNo(count - 1);
  AddText(buffer, Numbered(14));
  EXPECT_EQ(buffer.ColItem(count, 0), u"14");
}

TEST_F(BufferViews, ColumnsAndLinesFollowTheFourSettings) {
  TIPCBuffer buffer(1000, 4);
  AddText(buffer, u"abc");
  PBufferData h = kqtest::RawHeader(buffer);
  std::int32_t ticks;
  std::memcpy(&ticks, reinterpret_cast<const unsigned char*>(buffer.Data(0)) - 4, 4);
  h->BaseTime = 45000.5;  // noon
  h->BaseTicks = ticks - 3600000;
  EXPECT_DOUBLE_EQ(buffer.TimeStamp(0), 45000.5 + 1.0 / 24);

  struct Case {
    bool refNo, time;
    std::u16string line, col0, col1;
  };
  const Case cases[] = {{true, true, u"1       13:00:00  abc", u"1", u"13:00:00"},
                        {true, false, u"1       abc", u"1", u"abc"},
                        {false, true, u"13:00:00  abc", u"13:00:00", u"abc"},
                        {false, false, u"abc", u"abc", u"abc"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.refNo << c.time);
    buffer.SetUseRefNo(c.refNo);
    buffer.SetUseTime(c.time);
    EXPECT_EQ(h->UseRefNo, c.refNo ? 1 : 0);
    EXPECT_EQ(h->UseTime, c.time ? 1 : 0);
    EXPECT_EQ(buffer.LineData(0), c.line);
    EXPECT_EQ(buffer.ColItem(0, 0), c.col0);
    EXPECT_EQ(buffer.ColItem(0, 1), c.col1);
    for (std::int32_t col : {2, 3, -1, 1 << 30}) EXPECT_EQ(buffer.ColItem(0, col), u"abc");
  }

  h->RefNo = 1234567;
  AddText(buffer, u"x");
  buffer.SetUseRefNo(true);
  EXPECT_EQ(buffer.LineData(1), u"1234567  x");
  EXPECT_EQ(buffer.ColItem(1, 0), u"1234567");
  h->RefNo = -5;
  AddText(buffer, u"y");
  EXPECT_EQ(buffer.LineData(2), u"-5      y");
}

TEST_F(BufferViews, TimeStampsSurviveATickCounterWrap) {
  TIPCBuffer buffer(1000, 4);
  AddText(buffer, u"late");
  PBufferData h = kqtest::RawHeader(buffer);
  h->BaseTime = 45000.25;
  h->BaseTicks = static_cast<std::int32_t>(0xFFFFFF00u);
  PutInt(buffer, h->First + 16, 0x100);
  EXPECT_DOUBLE_EQ(buffer.TimeStamp(0), 45000.25 + 512.0 / 86400000.0);
  h->BaseTicks = 1000;
  PutInt(buffer, h->First + 16, 0);
  EXPECT_DOUBLE_EQ(buffer.TimeStamp(0), 45000.25 - 1000.0 / 86400000.0);
  buffer.SetUseTime(true);
  EXPECT_EQ(buffer.LineData(0), u"05:59:59  late");
}

TEST_F(BufferViews, LongLinesAreCutButColumnsAndDataKeepTheWholeText) {
  TIPCBuffer buffer(4 * 160100, 4);
  std::u16string text(40000, u'w');
  text[32765] = u'e';
  AddText(buffer, text);
  EXPECT_EQ(buffer.LineData(0), text.substr(0, 32766));
  EXPECT_EQ(buffer.ColItem(0, 0), text);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.Data(0))), text);
  buffer.SetUseRefNo(true);
  EXPECT_EQ(buffer.LineData(0).size(), 32766u);
  EXPECT_EQ(buffer.LineData(0).substr(0, 9), u"1       w");
}

TEST_F(BufferViews, SaveToFileWritesTheListInOrderAfterALap) {
  TIPCBuffer buffer(400, 4);
  const std::string path = kqtest::TempPath("saved.txt");
  buffer.SaveToFile(Utf8ToUtf16(path));
  EXPECT_FALSE(std::filesystem::exists(path));  // empty: no file

  for (int n = 1; n <= 17; ++n) AddText(buffer, Numbered(n));
  buffer.SetUseRefNo(true);
  { std::ofstream(path, std::ios::binary) << std::string(5000, 'o'); }
  buffer.SaveToFile(Utf8ToUtf16(path));
  std::string expected;
  for (int n = 17 - buffer.Count() + 1; n <= 17; ++n) {
    std::string number = std::to_string(n);
    expected += number + std::string(8 - number.size(), ' ') + "r" + number + "\r\n";
  }
  EXPECT_EQ(ReadFile(path), expected);

  try {
    buffer.SaveToFile(Utf8ToUtf16(kqtest::TempPath("no/such/dir/saved.txt")));
    ADD_FAILURE() << "saved into a missing directory";
  } catch (const EKqError& e) {
    EXPECT_NE(e.Code(), 0);
  }
}

TEST_F(BufferViews, SpoolFileKeepsAtMost260Characters) {
  TIPCBuffer buffer(400, 4);
  EXPECT_EQ(buffer.SpoolFile(), u"");
  std::u16string path(300, u'p');
  buffer.SetSpoolFile(path);
  EXPECT_EQ(buffer.SpoolFile(), path.substr(0, 260));
  EXPECT_EQ(kqtest::RawHeader(buffer)->SpoolFile[260], u'\0');
  buffer.SetSpoolFile(u"short");
  EXPECT_EQ(buffer.SpoolFile(), u"short");
  buffer.Clear(false);
  EXPECT_EQ(buffer.SpoolFile(), u"short");
}

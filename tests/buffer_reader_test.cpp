#include "buffer_reader.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "ipc_buffer.h"
#include "platform.h"
#include "test_support.h"
#include "text.h"

using namespace kq;

namespace {

void AddText(TIPCBuffer& buffer, std::u16string_view text) {
  std::u16string copy(text);
  buffer.Add(copy.c_str(), static_cast<std::int32_t>((copy.size() + 1) * 2));
}

std::u16string Numbered(int n) { return Utf8ToUtf16("statement " + std::to_string(n)); }

}  // namespace

TEST(BufferReader, ReadsEachRecordOnceWithItsOwnNumberTimeAndText) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(64 * 1024, KqBufferBlocks);
  BufferReader reader(buffer);
  std::vector<TraceLine> lines;
  EXPECT_EQ(reader.ReadNewer(0, lines), 0);
  EXPECT_TRUE(lines.empty());

  const double before = NowDateTime();
  for (int i = 1; i <= 3; ++i) AddText(buffer, Numbered(i));
  std::int32_t last = reader.ReadNewer(0, lines);
  AddText(buffer, Numbered(4));
  last = reader.ReadNewer(last, lines);
  EXPECT_EQ(last, 4);
  ASSERT_EQ(lines.size(), 4u);
  for (int i = 1; i <= 4; ++i) {
    const TraceLine& line = lines[static_cast<std::size_t>(i - 1)];
    EXPECT_FALSE(line.Gap);
    EXPECT_FALSE(line.Cut);
    EXPECT_EQ(line.RefNo, i);
    EXPECT_EQ(line.Text, Numbered(i));
    // The tick clock is coarse: a generous second either way.
    EXPECT_NEAR(line.Time, before, 1.0 / 86400);
  }
  lines.clear();
  EXPECT_EQ(reader.ReadNewer(last, lines), 4);
  EXPECT_TRUE(lines.empty()) << "nothing new reads nothing";
}

TEST(BufferReader, RecordsEvictedUnreadBecomeOneGapWithTheirCount) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(4 * 1024, KqBufferBlocks);
  BufferReader reader(buffer);
  std::vector<TraceLine> lines;
  AddText(buffer, Numbered(1));
  std::int32_t last = reader.ReadNewer(0, lines);
  ASSERT_EQ(last, 1);
  // Far more than the ring holds: the oldest unread records are evicted.
  for (int i = 2; i <= 400; ++i) AddText(buffer, Numbered(i));
  last = reader.ReadNewer(last, lines);
  EXPECT_EQ(last, 400);
  ASSERT_GE(lines.size(), 3u);
  ASSERT_TRUE(lines[1].Gap);
  EXPECT_EQ(lines[1].RefNo, 2);
  const std::int32_t firstKept = lines[2].RefNo;
  EXPECT_EQ(lines[1].Missing, firstKept - 2);
  EXPECT_EQ(firstKept + static_cast<std::int32_t>(lines.size()) - 3, 400) << "after the gap, every record in order";
  for (std::size_t i = 2; i < lines.size(); ++i) {
    EXPECT_FALSE(lines[i].Gap);
    EXPECT_EQ(lines[i].Text, Numbered(lines[i].RefNo));
  }
}

TEST(BufferReader, ATextAtTheRecordLimitIsMarkedCutAndAShorterOneIsNot) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(4 * 1024, KqBufferBlocks);  // 1 KB blocks: a record takes at most 512 bytes
  BufferReader reader(buffer);
  const std::size_t limit = (1024 / 2 - KqRecordHeadSize) / 2 - 1;  // characters kept before the NUL
  AddText(buffer, std::u16string(limit - 2, u'a'));
  AddText(buffer, std::u16string(limit + 100, u'b'));
  std::vector<TraceLine> lines;
  ASSERT_EQ(reader.ReadNewer(0, lines), 2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_FALSE(lines[0].Cut);
  EXPECT_EQ(lines[0].Text.size(), limit - 2);
  EXPECT_TRUE(lines[1].Cut);
  EXPECT_EQ(lines[1].Text, std::u16string(limit, u'b'));
}

TEST(BufferReader, AClearedBufferStartsTheNumberingAgain) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(64 * 1024, KqBufferBlocks);
  BufferReader reader(buffer);
  std::vector<TraceLine> lines;
  for (int i = 1; i <= 5; ++i) AddText(buffer, Numbered(i));
  std::int32_t last = reader.ReadNewer(0, lines);
  buffer.Clear(false);
  AddText(buffer, Numbered(1));
  lines.clear();
  last = reader.ReadNewer(last, lines);
  EXPECT_EQ(last, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].RefNo, 1);
}

TEST(BufferReader, ExtremeNumbersInTheSectionAreReadWithoutOverflow) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(4 * 1024, KqBufferBlocks);
  BufferReader reader(buffer);
  for (int i = 1; i <= 5; ++i) AddText(buffer, Numbered(i));
  auto* section = static_cast<unsigned char*>(buffer.SharedMem().Buffer());
  const std::vector<unsigned char> good(section, section + buffer.SharedMem().Size());
  auto put = [&](std::int32_t offset, std::int32_t value) { std::memcpy(section + offset, &value, 4); };
  const std::int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -2, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
  // The header's next number, count and cursor, and the first two records' own numbers.
  const std::int32_t fields[] = {20, 24, 32, 40, 592 + 12, 592 + 44 + 12};
  for (std::int32_t field : fields)
    for (std::int32_t value : extremes)
      for (std::int32_t after : {0, 3, INT32_MAX - 1, INT32_MAX, INT32_MIN, -1}) {
        SCOPED_TRACE(testing::Message() << "field " << field << " = " << value << ", after " << after);
        std::memcpy(section, good.data(), good.size());
        put(field, value);
        std::vector<TraceLine> lines;
        const std::int32_t last = reader.ReadNewer(after, lines);
        for (const TraceLine& line : lines) {
          if (line.Gap) {
            EXPECT_GT(line.Missing, 0);
          }
          EXPECT_LE(line.RefNo, last);
        }
      }
  // Sound again, the same reader goes on.
  std::memcpy(section, good.data(), good.size());
  std::vector<TraceLine> lines;
  EXPECT_EQ(reader.ReadNewer(0, lines), 5);
  EXPECT_EQ(lines.size(), 5u);
}

namespace {

std::int32_t HeaderInt(TIPCBuffer& buffer, std::size_t offset) {
  std::int32_t value;
  std::memcpy(&value, static_cast<unsigned char*>(buffer.SharedMem().Buffer()) + offset, 4);
  return value;
}

void PutHeaderInt(TIPCBuffer& buffer, std::size_t offset, std::int32_t value) {
  std::memcpy(static_cast<unsigned char*>(buffer.SharedMem().Buffer()) + offset, &value, 4);
}

// Reads as the monitor does, call after call, until a call brings nothing new.
std::vector<TraceLine> ReadUntilQuiet(BufferReader& reader, std::int32_t& after) {
  std::vector<TraceLine> lines;
  for (int call = 0; call < 8; ++call) {
    const std::size_t before = lines.size();
    after = reader.ReadNewer(after, lines);
    if (lines.size() == before && call > 0) break;
  }
  return lines;
}

}  // namespace

TEST(BufferReader, ACursorLeftOffByARacingEvictionStillReachesTheNewest) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(64 * 1024, KqBufferBlocks);
  BufferReader reader(buffer);
  for (int i = 1; i <= 10; ++i) AddText(buffer, Numbered(i));
  std::vector<TraceLine> lines;
  std::int32_t after = reader.ReadNewer(0, lines);
  ASSERT_EQ(after, 10);
  for (int i = 11; i <= 14; ++i) AddText(buffer, Numbered(i));
  // The reader's last store of the cursor came after an eviction had shifted every index down by
  // two: the cursor still names the newest record read, under an index two too high.
  PutHeaderInt(buffer, 40, HeaderInt(buffer, 40) + 2);
  lines = ReadUntilQuiet(reader, after);
  EXPECT_EQ(after, 14);
  ASSERT_EQ(lines.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(lines[static_cast<std::size_t>(i)].Gap);
    EXPECT_EQ(lines[static_cast<std::size_t>(i)].RefNo, 11 + i);
  }
}

TEST(BufferReader, AWalkThroughAnEvictedRecordNeverTurnsListedRecordsIntoAGap) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(4000, KqBufferBlocks);
  BufferReader reader(buffer);
  std::int32_t n = 0;
  while (buffer.Count() == 0 || buffer.RefNo(0) < 10) AddText(buffer, Numbered(++n) + u" xxxxxxxxxxxx");
  const std::int32_t oldest = buffer.RefNo(0);
  const std::int32_t newest = n;
  const std::int32_t free = HeaderInt(buffer, 12);
  ASSERT_LT(free + 60, HeaderInt(buffer, 16)) << "room for a stale record behind the newest";
  buffer.RefNo(3);
  const std::int32_t fourth = HeaderInt(buffer, 36);
  // Where the cursor rests, an evicted record that the reader had read, its links from another lap:
  // one leads three records on past listed ones, the other into the middle of a text.
  for (std::int32_t next : {fourth, fourth + KqRecordHeadSize + 4}) {
    SCOPED_TRACE(next == fourth ? "past listed records" : "into a text");
    const TTraceRecord stale{0, next, 2, oldest - 2, 0};
    std::memcpy(static_cast<unsigned char*>(buffer.SharedMem().Buffer()) + free, &stale, sizeof stale);
    PutHeaderInt(buffer, 36, free);
    PutHeaderInt(buffer, 40, 0);
    std::int32_t after = oldest - 2;
    const std::vector<TraceLine> lines = ReadUntilQuiet(reader, after);
    EXPECT_EQ(after, newest);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines[0].Gap);
    EXPECT_EQ(lines[0].RefNo, oldest - 1);
    EXPECT_EQ(lines[0].Missing, 1) << "only the one that is really gone";
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(newest - oldest + 2));
    for (std::size_t i = 1; i < lines.size(); ++i) {
      EXPECT_FALSE(lines[i].Gap);
      EXPECT_EQ(lines[i].RefNo, oldest + static_cast<std::int32_t>(i) - 1);
      EXPECT_EQ(lines[i].Text, Numbered(lines[i].RefNo) + u" xxxxxxxxxxxx");
    }
  }
}

#include "buffer_reader.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
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

TEST(BufferReader, ATextEndsAtItsFirstNulWhereverItLies) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(256 * 1024, KqBufferBlocks);
  BufferReader reader(buffer);
  std::vector<TraceLineView> views;
  std::int32_t after = 0;
  constexpr std::size_t None = SIZE_MAX;  // neither a NUL inside nor one behind the text
  // Payloads of every length up to past a few wide steps: without a NUL, with one behind the text
  // only, or with one inside as well (at the start, at each step's edges, or near the end), at even
  // and odd byte counts. The units around it have a zero low byte or are above 0x7FFF, which a
  // compare of bytes or of signed units could take for a NUL.
  for (std::size_t units = 0; units <= 160; ++units) {
    std::vector<std::size_t> nuls = {None, units};
    for (std::size_t at : {std::size_t{0}, std::size_t{15}, std::size_t{16}, std::size_t{31}, std::size_t{32},
                           std::size_t{47}, std::size_t{48}, std::size_t{63}, std::size_t{64}, std::size_t{95},
                           std::size_t{96}, std::size_t{127}, units - 17, units - 16, units - 2, units - 1})
      if (at < units) nuls.push_back(at);
    for (std::size_t nul : nuls)
      for (int odd = 0; odd <= 1; ++odd) {
        std::u16string payload;
        for (std::size_t i = 0; i < units; ++i)
          payload.push_back(static_cast<char16_t>(i % 3 == 0 ? 0x100 * (1 + i % 200) : i % 3 == 1 ? 0x8000 + i : 0x7F));
        if (nul < units) payload[nul] = 0;
        payload.push_back(0);     // behind the text
        payload.push_back(u'z');  // the odd byte's source
        const std::size_t ends = nul == None ? units : std::min(nul, units);
        const std::size_t bytes = (nul == None ? units : units + 1) * 2 + static_cast<std::size_t>(odd);
        SCOPED_TRACE(testing::Message() << units << " units, NUL at " << static_cast<std::int64_t>(nul) << ", " << bytes
                                        << " bytes");
        buffer.Add(payload.data(), static_cast<std::int32_t>(bytes));
        after = reader.ReadNewerViews(after, views);
        ASSERT_EQ(views.size(), 1u);
        ASSERT_FALSE(views[0].Gap);
        EXPECT_EQ(views[0].Text, std::u16string_view(payload).substr(0, ends));
        EXPECT_EQ(views[0].PayloadBytes, static_cast<std::int32_t>(bytes));
      }
  }
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

namespace {

// Appends FloodText(refNo) as the writer helper does, every third record with an odd byte count.
void AddFlood(TIPCBuffer& buffer) {
  const std::int32_t refNo = kqtest::RawHeader(buffer)->RefNo;
  std::u16string text = kqtest::FloodText(refNo);
  text.push_back(u'\0');
  text.push_back(u'!');
  buffer.Add(text.c_str(), static_cast<std::int32_t>((text.size() - 1) * 2) + (refNo % 3 == 0 ? 1 : 0));
}

// Checks a read against everything before it: lines follow on from `expected` without a hole,
// each text whole; counts what was read and what was reported missing.
struct Tally {
  std::int32_t Expected = 1;
  int Read = 0;
  int Missing = 0;
  int Gaps = 0;

  void Check(const std::vector<TraceLineView>& views, std::int32_t returned) {
    for (const TraceLineView& v : views) {
      ASSERT_EQ(v.RefNo, Expected) << "every number once, in order";
      if (v.Gap) {
        ASSERT_GT(v.Missing, 0);
        Missing += v.Missing;
        Expected += v.Missing;
        ++Gaps;
      } else {
        ASSERT_EQ(v.Text, kqtest::FloodText(v.RefNo)) << "record " << v.RefNo << " torn";
        ++Read;
        ++Expected;
      }
    }
    ASSERT_EQ(returned, Expected - 1);
  }
};

}  // namespace

TEST(BufferReader, AReaderThatKeepsUpReadsEveryRecordAcrossManyLapsAlsoAtOddSizes) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(4 * 1024, KqBufferBlocks);
  BufferReader reader(buffer);
  std::vector<TraceLineView> views;
  Tally tally;
  std::int32_t after = 0;
  for (int i = 1; i <= 3000; ++i) {
    AddFlood(buffer);
    if (i % 7 == 0 || i == 3000) {
      after = reader.ReadNewerViews(after, views);
      tally.Check(views, after);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_EQ(tally.Read, 3000);
  EXPECT_EQ(tally.Gaps, 0);
}

TEST(BufferReader, ViewsKeepTheirTextsUntilTheNextReadWhateverTheWriterOverwrites) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(4 * 1024, KqBufferBlocks);
  BufferReader reader(buffer);
  for (int i = 0; i < 5; ++i) AddFlood(buffer);
  std::vector<TraceLineView> views;
  ASSERT_EQ(reader.ReadNewerViews(0, views), 5);
  for (int i = 0; i < 200; ++i) AddFlood(buffer);  // laps over the records read
  ASSERT_EQ(views.size(), 5u);
  for (const TraceLineView& v : views) EXPECT_EQ(v.Text, kqtest::FloodText(v.RefNo));
}

TEST(BufferReader, AWriterFloodingFromAnotherProcessLeavesEveryRecordReadWholeOrCountedInAGap) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(16 * 1024, KqBufferBlocks);
  BufferReader reader(buffer);
  const int count = 500000;
  kqtest::ChildProcess writer({"buffer-flood", "16384", std::to_string(count), "128"});
  ASSERT_TRUE(writer.Started());
  std::vector<TraceLineView> views;
  Tally tally;
  std::int32_t after = 0;
  const std::int64_t deadline = kqtest::SteadyMs() + 120000;
  for (int round = 1; after < count && kqtest::SteadyMs() < deadline; ++round) {
    after = reader.ReadNewerViews(after, views);
    tally.Check(views, after);
    if (HasFatalFailure()) return;
    // Falling behind now and then makes the writer evict records before they are read.
    if (round % 50 == 0) kqtest::SleepForMs(2);
  }
  EXPECT_EQ(writer.Wait(60000), 0);
  EXPECT_EQ(after, count);
  EXPECT_EQ(tally.Read + tally.Missing, count) << "every record read or reported missing";
  EXPECT_GT(tally.Read, 0);
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
        static_cast<void>(reader.ReadNewer(after, lines));
        for (const TraceLine& line : lines)
          if (line.Gap) {
            EXPECT_GT(line.Missing, 0);
          }
      }
  // The next number and the count together (found by the fuzzer: next - count at the top of the range).
  for (std::int32_t next : extremes)
    for (std::int32_t count : extremes)
      for (std::int32_t after : {0, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(testing::Message() << "next " << next << ", count " << count << ", after " << after);
        std::memcpy(section, good.data(), good.size());
        put(24, next);
        put(20, count);
        std::vector<TraceLine> lines;
        static_cast<void>(reader.ReadNewer(after, lines));
        for (const TraceLine& line : lines)
          if (line.Gap) {
            EXPECT_GT(line.Missing, 0);
          }
      }
  // Sound again, the same reader goes on.
  std::memcpy(section, good.data(), good.size());
  std::vector<TraceLine> lines;
  EXPECT_EQ(reader.ReadNewer(0, lines), 5);
  EXPECT_EQ(lines.size(), 5u);
}

namespace {}

#include "ipc_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "kq_error.h"
#include "platform.h"
#include "test_support.h"
#include "text.h"

using namespace kq;

namespace {

std::int32_t RawInt(const TIPCBuffer& buffer, std::int32_t offset) {
  std::int32_t value;
  std::memcpy(&value, static_cast<const unsigned char*>(buffer.SharedMem().Buffer()) + offset, 4);
  return value;
}

void PutInt(TIPCBuffer& buffer, std::int32_t offset, std::int32_t value) {
  std::memcpy(static_cast<unsigned char*>(buffer.SharedMem().Buffer()) + offset, &value, 4);
}

void AddText(TIPCBuffer& buffer, std::u16string_view text) {
  std::u16string copy(text);
  buffer.Add(copy.c_str(), static_cast<std::int32_t>((copy.size() + 1) * 2));
}

// "tNN" padded with dots to 14 characters: with its NUL a 30-byte payload, a 50-byte record.
std::u16string Fifty(int n) {
  std::u16string text = u"t" + Utf8ToUtf16((n < 10 ? "0" : "") + std::to_string(n));
  return text + std::u16string(14 - text.size(), u'.');
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<unsigned char> SectionBytes(const TIPCBuffer& buffer) {
  auto* p = static_cast<const unsigned char*>(buffer.SharedMem().Buffer());
  return {p, p + buffer.SharedMem().Size()};
}

}  // namespace

TEST(BufferStore, CreateRoundsUpToBlocksAndInitialisesTheHeaderAtItsOffsets) {
  kqtest::ScopedNamespace ns;
  {
    const double before = NowDateTime();
    TIPCBuffer buffer(1000, 4);
    EXPECT_TRUE(buffer.SharedMem().Created());
    EXPECT_EQ(buffer.SharedMem().Size(), 1592);
    EXPECT_EQ(RawInt(buffer, 0), 1000);   // BufSize
    EXPECT_EQ(RawInt(buffer, 4), 592);    // First
    EXPECT_EQ(RawInt(buffer, 8), 0);      // Last
    EXPECT_EQ(RawInt(buffer, 12), 592);   // Free
    EXPECT_EQ(RawInt(buffer, 16), 1592);  // BufEnd
    EXPECT_EQ(RawInt(buffer, 20), 0);     // Count
    EXPECT_EQ(RawInt(buffer, 24), 1);     // RefNo
    EXPECT_EQ(RawInt(buffer, 28), 4);     // Blocks
    EXPECT_EQ(RawInt(buffer, 32), 250);   // BlkSize
    EXPECT_EQ(RawInt(buffer, 40), -2);    // CurItem
    EXPECT_EQ(RawInt(buffer, 64), 0);     // LastUpdate
    double baseTime;
    std::memcpy(&baseTime, static_cast<const unsigned char*>(buffer.SharedMem().Buffer()) + 48, 8);
    EXPECT_GE(baseTime, before);
    EXPECT_LT(baseTime - before, 1.0 / 24);
    EXPECT_LT(static_cast<std::uint32_t>(TickCount() - static_cast<std::uint32_t>(RawInt(buffer, 56))), 60000u);
  }
  TIPCBuffer odd(1001, 4);
  EXPECT_TRUE(odd.SharedMem().Created());
  EXPECT_EQ(odd.SharedMem().Size(), 1004 + 592);
  EXPECT_EQ(RawInt(odd, 0), 1004);
  EXPECT_EQ(RawInt(odd, 32), 251);
}

TEST(BufferStore, CreateRefusesRingsThatCannotHoldTogether) {
  kqtest::ScopedNamespace ns;
  const std::pair<std::int32_t, std::int32_t> refused[] = {
      {396, 4}, {400, 1}, {400, 0}, {400, -3}, {0, 4}, {-400, 4}, {INT32_MAX - 500, 4}, {INT32_MAX, INT32_MAX}};
  for (auto [size, blocks] : refused) {
    try {
      TIPCBuffer buffer(size, blocks);
      ADD_FAILURE() << size << "/" << blocks << " accepted";
    } catch (const EKqError& e) {
      EXPECT_EQ(e.Code(), InvalidParameterCode());
      EXPECT_EQ(e.Message(), u"Error creating shared memory: KqBuffer [" +
                                 Utf8ToUtf16(std::to_string(InvalidParameterCode())) + u"]");
    }
  }
  // Nothing was left open: the smallest accepted ring creates a fresh section.
  TIPCBuffer smallest(400, 4);
  EXPECT_TRUE(smallest.SharedMem().Created());
  EXPECT_EQ(RawInt(smallest, 32), 100);
}

TEST(BufferStore, RecordsAreWrittenAndLinkedAtTheDocumentedOffsets) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(1000, 4);
  const unsigned char payload[10] = {'a', 0, 'b', 0, 'c', 0, 'd', 0, 0, 0};
  const std::uint32_t ticks = TickCount();
  buffer.Add(payload, 10);
  EXPECT_EQ(RawInt(buffer, 592), 0);                                           // Prev
  EXPECT_EQ(RawInt(buffer, 596), 0);                                           // Next
  EXPECT_EQ(RawInt(buffer, 600), 10);                                          // Size
  EXPECT_EQ(RawInt(buffer, 604), 1);                                           // RefNo
  EXPECT_LT(static_cast<std::uint32_t>(RawInt(buffer, 608)) - ticks, 60000u);  // Ticks
  EXPECT_EQ(std::memcmp(static_cast<const unsigned char*>(buffer.SharedMem().Buffer()) + 612, payload, 10), 0);
  EXPECT_EQ(RawInt(buffer, 4), 592);
  EXPECT_EQ(RawInt(buffer, 8), 592);
  EXPECT_EQ(RawInt(buffer, 12), 622);
  EXPECT_EQ(RawInt(buffer, 20), 1);
  EXPECT_EQ(RawInt(buffer, 24), 2);
  EXPECT_NE(buffer.LastUpdate(), 0);

  // An odd-sized payload puts the next head at an odd offset; links still read back raw.
  buffer.Add(payload, 7);
  AddText(buffer, u"xyz");
  EXPECT_EQ(RawInt(buffer, 596), 622);
  EXPECT_EQ(RawInt(buffer, 622 + 4), 649);
  EXPECT_EQ(RawInt(buffer, 649), 622);
  EXPECT_EQ(RawInt(buffer, 649 + 12), 3);
  EXPECT_EQ(RawInt(buffer, 8), 649);
  EXPECT_EQ(buffer.LineData(2), u"xyz");

  // The other way round: a header and records laid out raw are read through the views.
  std::vector<unsigned char> bytes(buffer.SharedMem().Size(), 0);
  auto put = [&](std::int32_t at, std::int32_t v) { std::memcpy(&bytes[at], &v, 4); };
  auto record = [&](std::int32_t at, std::int32_t prev, std::int32_t next, std::u16string_view text, int refNo) {
    put(at, prev), put(at + 4, next), put(at + 8, static_cast<std::int32_t>((text.size() + 1) * 2));
    put(at + 12, refNo), put(at + 16, 1000);
    std::memcpy(&bytes[at + 20], text.data(), text.size() * 2);
  };
  record(701, 0, 597, u"second", 42);
  record(597, 701, 0, u"third", 43);
  put(0, 1000), put(4, 701), put(8, 597), put(12, 625), put(16, 1592), put(20, 2), put(24, 44);
  put(28, 4), put(32, 250), put(40, -2), put(56, 1000);
  bytes[60] = 1;
  std::memcpy(&bytes[68], u"C:\\spool.txt", 26);
  std::memcpy(buffer.SharedMem().Buffer(), bytes.data(), bytes.size());
  EXPECT_EQ(buffer.Count(), 2);
  EXPECT_EQ(buffer.LineData(0), u"42      second");
  EXPECT_EQ(buffer.LineData(1), u"43      third");
  EXPECT_EQ(buffer.SpoolFile(), u"C:\\spool.txt");
  AddText(buffer, u"fourth");
  EXPECT_EQ(RawInt(buffer, 597 + 4), 625);
  EXPECT_EQ(RawInt(buffer, 625), 597);
  EXPECT_EQ(buffer.RefNo(2), 44);
}

TEST(BufferStore, RingWalkThroughEvictsABlockAtATime) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(400, 4);
  // BufEnd after each record, 1-based.
  const std::int32_t bufEnd[18] = {0,   992, 992, 992, 992, 992, 992, 992, 992,
                                   692, 692, 792, 792, 892, 892, 992, 992, 692};
  for (int n = 1; n <= 17; ++n) {
    AddText(buffer, Fifty(n));
    const std::int32_t count = n <= 8 ? n : (n % 2 == 1 ? 7 : 8);
    SCOPED_TRACE(n);
    EXPECT_EQ(RawInt(buffer, 8), 592 + 50 * ((n - 1) % 8));  // Last
    EXPECT_EQ(RawInt(buffer, 16), bufEnd[n]);
    ASSERT_EQ(buffer.Count(), count);
    EXPECT_EQ(buffer.RefNo(0), n - count + 1);
    for (std::int32_t i = 0; i < count; ++i) EXPECT_EQ(buffer.ColItem(i, 0), Fifty(n - count + 1 + i));
  }
  EXPECT_EQ(RawInt(buffer, 12), 642);       // Free
  EXPECT_EQ(RawInt(buffer, 4), 692);        // First: record 11
  EXPECT_EQ(RawInt(buffer, 942 + 4), 592);  // record 16 links on to record 17 at the area start
}

TEST(BufferStore, RecordEndingExactlyAtTheWindowEndFitsAndOneByteMoreReclaims) {
  kqtest::ScopedNamespace ns;
  for (int extra : {0, 1}) {
    TIPCBuffer buffer(1000, 4);  // blocks of 250, records of up to 125 bytes
    std::vector<unsigned char> payload(100, 'x');
    for (int i = 0; i < 8; ++i) buffer.Add(payload.data(), 100);
    ASSERT_EQ(RawInt(buffer, 12), 1552);
    buffer.Add(payload.data(), 20 + extra);
    SCOPED_TRACE(extra);
    EXPECT_EQ(RawInt(buffer, 16), extra == 0 ? 1592 : 842);
    EXPECT_EQ(RawInt(buffer, 8), extra == 0 ? 1552 : 592);
    EXPECT_EQ(buffer.Count(), extra == 0 ? 9 : 6);  // records at 592, 712 and 832 start in block 0
  }
}

TEST(BufferStore, LongStatementsAreCutAtHalfABlockWithoutSplittingASurrogatePair) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(1000, 4);  // largest record 125 bytes: 51 characters and the NUL
  std::u16string text(1000, u'a');
  AddText(buffer, text);
  EXPECT_EQ(RawInt(buffer, 592 + 8), 104);
  EXPECT_EQ(buffer.ColItem(0, 0), std::u16string(51, u'a'));
  EXPECT_EQ(RawInt(buffer, 592 + 20 + 102) & 0xFFFF, 0);

  text[50] = 0xD83D, text[51] = 0xDE00;  // a pair across the cut point
  AddText(buffer, text);
  EXPECT_EQ(RawInt(buffer, 716 + 8), 102);
  EXPECT_EQ(buffer.ColItem(1, 0), std::u16string(50, u'a'));

  // Statements of any length keep the ring whole over many laps.
  for (int i = 0; i < 300; ++i) AddText(buffer, std::u16string(static_cast<std::size_t>(i * 7 % 400), u'q'));
  const std::int32_t count = buffer.Count();
  ASSERT_GT(count, 0);
  for (std::int32_t i = 0; i < count; ++i) EXPECT_EQ(buffer.RefNo(i), 302 - count + 1 + i);
}

// The statement path's own bound (taken once the writer knows the header) against the general one:
// the longest statement that fits is stored whole, one unit more is cut as every long text is.
TEST(BufferStore, TheStatementPathStoresTheLongestFittingTextWholeAndCutsOneUnitMore) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(1000, 4);  // largest record 125 bytes: 51 characters and the NUL
  const std::u16string warmUp = u"w";
  for (std::int32_t units : {51, 52, 51}) {
    SCOPED_TRACE(units);
    buffer.Clear(false);
    buffer.AddStatement(warmUp.c_str(), 1);
    const std::u16string text(static_cast<std::size_t>(units), u'b');
    buffer.AddStatement(text.c_str(), units);
    ASSERT_EQ(buffer.Count(), 2);
    EXPECT_EQ(buffer.ColItem(1, 0), std::u16string(51, u'b'));
    const std::int32_t record = RawInt(buffer, 8);
    EXPECT_EQ(RawInt(buffer, record + 8), 104) << "51 units and the NUL";
    EXPECT_EQ(RawInt(buffer, record + 20 + 102) & 0xFFFF, 0);
    EXPECT_EQ(RawInt(buffer, 12), record + 124);
  }
}

TEST(BufferStore, OpenerKeepsTheHeaderAndMapsOnlyWhatTheSectionHolds) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer creator(1000, 4);
  AddText(creator, u"kept");
  const auto before = SectionBytes(creator);
  {
    TIPCBuffer opener(400, 4);
    EXPECT_FALSE(opener.SharedMem().Created());
    EXPECT_EQ(SectionBytes(creator), before);
    EXPECT_EQ(opener.LineData(0), u"kept");
    AddText(opener, u"more");  // a consistent header with a larger BufSize is used as it is
  }
  EXPECT_EQ(creator.LineData(1), u"more");
  try {
    TIPCBuffer larger(64 * 1024, 4);
    FAIL() << "a mapping larger than the section was accepted";
  } catch (const EKqError& e) {
    EXPECT_EQ(e.Message().substr(0, 39), u"Error creating shared memory: KqBuffer ");
  }
}

TEST(BufferStore, DamagedHeadersAreRefusedWithoutTouchingTheSection) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(1000, 4);
  for (int i = 0; i < 5; ++i) AddText(buffer, u"record");
  const auto good = SectionBytes(buffer);
  struct Damage {
    std::int32_t offset, value;
  };
  const Damage damages[] = {{0, 100000}, {0, 0},   {4, 0},    {4, 5000}, {12, 100}, {12, 1700}, {16, 700}, {16, 1600},
                            {20, -1},    {20, 60}, {8, 1590}, {8, 12},   {28, 1},   {32, 240},  {32, 20},  {0, 1500}};
  for (const Damage& d : damages) {
    SCOPED_TRACE(testing::Message() << d.offset << "=" << d.value);
    std::memcpy(buffer.SharedMem().Buffer(), good.data(), good.size());
    PutInt(buffer, d.offset, d.value);
    const auto damaged = SectionBytes(buffer);
    EXPECT_THROW(AddText(buffer, u"new"), EKqError);
    EXPECT_EQ(SectionBytes(buffer), damaged);
  }
  // Views: a count the area cannot hold, a chain that ends early, a head pointing outside.
  std::memcpy(buffer.SharedMem().Buffer(), good.data(), good.size());
  PutInt(buffer, 20, 1000);
  EXPECT_THROW(buffer.LineData(0), ESilentAbort);
  PutInt(buffer, 20, 12);
  EXPECT_THROW(buffer.RefNo(6), ESilentAbort);  // the fifth record's Next is 0
  PutInt(buffer, 20, 5);
  PutInt(buffer, 40, -2);
  PutInt(buffer, 8, 5000);
  EXPECT_THROW(buffer.RefNo(4), ESilentAbort);
  EXPECT_EQ(RawInt(buffer, 40), -2);
  PutInt(buffer, 8, good[8] | good[9] << 8);
  PutInt(buffer, 592 + 8, 1 << 30);  // the first payload claims more than the area
  EXPECT_THROW(buffer.Data(0), ESilentAbort);
  EXPECT_EQ(buffer.ColItem(0, 0), u"record");
}

// The writer skips the header's checks while the header reads exactly as its last append left it:
// a change to any one of the fields it relies on, behind its back, must bring the whole check back.
TEST(BufferStore, AHeaderChangedBehindTheWritersBackIsCheckedWholeAgain) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(1000, 4);
  const std::u16string text = u"record";
  for (std::int32_t field = 0; field <= 32; field += 4)
    for (std::int32_t value : {INT32_MIN, -1, INT32_MAX}) {
      SCOPED_TRACE(testing::Message() << field << "=" << value);
      buffer.Clear(false);
      for (int i = 0; i < 3; ++i) buffer.AddStatement(text.c_str(), static_cast<std::int32_t>(text.size()));
      const std::int32_t original = RawInt(buffer, field);
      PutInt(buffer, field, value);
      auto expected = SectionBytes(buffer);
      if (field == 24) {
        // RefNo is the monitor's to set: any number is taken as it stands.
        buffer.AddStatement(text.c_str(), static_cast<std::int32_t>(text.size()));
        ASSERT_EQ(buffer.Count(), 4);
        EXPECT_EQ(buffer.RefNo(3), value);
        EXPECT_EQ(RawInt(buffer, 24), static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 1));
      } else {
        EXPECT_THROW(buffer.AddStatement(text.c_str(), static_cast<std::int32_t>(text.size())), EKqError);
        EXPECT_EQ(SectionBytes(buffer), expected) << "nothing written";
      }
      PutInt(buffer, field, original);
    }
}

// Found by the fuzzer: before anything is known of the header (a fresh object, or after a clear) the
// writer has nothing to compare it with, and a header of zeros must get the whole check too.
TEST(BufferStore, AHeaderOfZerosIsRefusedAlsoWhenTheWriterKnowsNothingYet) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(1000, 4);
  const std::u16string longText(5000, u'x');
  for (const bool appendedBefore : {false, true}) {
    SCOPED_TRACE(appendedBefore ? "after an append" : "after a clear");
    buffer.Clear(false);
    if (appendedBefore) AddText(buffer, u"one");
    const std::int32_t bufSize = RawInt(buffer, 0), blocks = RawInt(buffer, 28), blkSize = RawInt(buffer, 32);
    std::memset(buffer.SharedMem().Buffer(), 0, 36);  // BufSize to BlkSize
    const auto expected = SectionBytes(buffer);
    EXPECT_THROW(AddText(buffer, longText), EKqError);
    EXPECT_THROW(buffer.AddStatement(longText.c_str(), static_cast<std::int32_t>(longText.size())), EKqError);
    EXPECT_EQ(SectionBytes(buffer), expected) << "nothing written";
    // The geometry back, so that Clear can repair the rest.
    PutInt(buffer, 0, bufSize);
    PutInt(buffer, 28, blocks);
    PutInt(buffer, 32, blkSize);
  }
}

TEST(BufferStore, ExtremeHeaderAndLinkValuesAreRefusedWithoutOverflow) {
  kqtest::ScopedNamespace ns;
  const std::string savePath = kqtest::TempPath("saved.txt");
  TIPCBuffer buffer(1000, 4);
  buffer.SetUseRefNo(true);
  for (int i = 0; i < 5; ++i) AddText(buffer, u"record");
  const auto good = SectionBytes(buffer);
  const std::int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -1, INT32_MAX - 19, INT32_MAX - 1, INT32_MAX};
  // Every 32-bit header field, and the links, size and number of the first and the last record.
  std::vector<std::int32_t> fields;
  for (std::int32_t offset = 0; offset <= 64; offset += 4)
    if (offset != 44 && offset != 48 && offset != 52 && offset != 60) fields.push_back(offset);
  const std::int32_t last = RawInt(buffer, 8);
  for (std::int32_t record : {592, last})
    for (std::int32_t field = 0; field < 20; field += 4) fields.push_back(record + field);
  for (std::int32_t field : fields)
    for (std::int32_t value : extremes) {
      SCOPED_TRACE(testing::Message() << field << "=" << value);
      std::memcpy(buffer.SharedMem().Buffer(), good.data(), good.size());
      PutInt(buffer, field, value);
      try {
        AddText(buffer, u"new");
      } catch (const EKqError&) {
      }
      const std::int32_t count = std::clamp(buffer.Count(), 0, 1000);  // the views read the raw one themselves
      for (std::int32_t index : {-1, 0, 1, count / 2, count - 1, count}) {
        try {
          buffer.LineData(index);
          buffer.Data(index);
          buffer.TimeStamp(index);
        } catch (const ESilentAbort&) {
        }
      }
      try {
        buffer.SaveToFile(Utf8ToUtf16(savePath));
      } catch (const EKqError&) {
      }
      buffer.Clear(false);
    }
  // The header put right, the ring works as before.
  std::memcpy(buffer.SharedMem().Buffer(), good.data(), good.size());
  AddText(buffer, u"after");
  EXPECT_EQ(buffer.Count(), 6);
  EXPECT_EQ(buffer.ColItem(5, 1), u"after");
}

TEST(BufferStore, ACyclicChainEndsEveryWalk) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(1000, 4);
  for (int i = 0; i < 30; ++i) AddText(buffer, u"cycle" + Utf8ToUtf16(std::to_string(i)));
  // The third and fourth records point at each other; the list never reaches Last or 0.
  buffer.RefNo(2);
  const std::int32_t third = kqtest::RawHeader(buffer)->CurPtr;
  buffer.RefNo(3);
  PutInt(buffer, kqtest::RawHeader(buffer)->CurPtr + 4, third);
  const std::string path = kqtest::TempPath("cycle.txt");
  buffer.SaveToFile(Utf8ToUtf16(path));
  EXPECT_LE(ReadFile(path).size(), 50u * 40u);  // at most one line per 20 bytes of area
  buffer.SetSpoolFile(Utf8ToUtf16(kqtest::TempPath("cycle-spool.txt")));
  buffer.Clear(true);
  EXPECT_EQ(buffer.Count(), 0);

  // Eviction over a cycle among the oldest records ends too, and the ring goes on.
  for (int i = 0; i < 40; ++i) AddText(buffer, u"again");
  buffer.RefNo(0);
  const std::int32_t oldest = kqtest::RawHeader(buffer)->CurPtr;
  buffer.RefNo(1);
  PutInt(buffer, kqtest::RawHeader(buffer)->CurPtr + 4, oldest);
  int refused = 0;
  for (int i = 0; i < 100; ++i) {
    try {
      AddText(buffer, u"after");
    } catch (const EKqError&) {
      ++refused;
    }
  }
  EXPECT_EQ(refused, 0);
  EXPECT_LE(buffer.Count(), 50);
  // Walking what is left also ends, at every index, on a record of the ring (only "after" ones fit
  // in it now) or in a silent abort where the damaged count outruns the list.
  int reached = 0;
  for (std::int32_t i = 0; i < buffer.Count(); ++i) {
    try {
      EXPECT_EQ(buffer.LineData(i), u"after") << i;
      ++reached;
    } catch (const ESilentAbort&) {
    }
  }
  EXPECT_GT(reached, 0) << "the records appended after the eviction are reachable";
}

class BufferSpool : public testing::Test {
 protected:
  kqtest::ScopedNamespace FNamespace;
  std::string FPath = kqtest::TempPath("spool.txt");
};

TEST_F(BufferSpool, EvictedTextsAreAppendedOldestFirstOneLineEach) {
  TIPCBuffer buffer(400, 4);
  buffer.SetSpoolFile(Utf8ToUtf16(FPath));
  for (int n = 1; n <= 8; ++n) AddText(buffer, Fifty(n));
  EXPECT_FALSE(std::filesystem::exists(FPath));
  AddText(buffer, Fifty(9));
  EXPECT_EQ(ReadFile(FPath), "t01...........\r\nt02...........\r\n");
  AddText(buffer, Fifty(10));
  AddText(buffer, Fifty(11));
  EXPECT_EQ(ReadFile(FPath), "t01...........\r\nt02...........\r\nt03...........\r\nt04...........\r\n");
  buffer.Clear(true);
  EXPECT_EQ(buffer.Count(), 0);
  EXPECT_EQ(ReadFile(FPath).size(), 11u * 16u);
  EXPECT_EQ(ReadFile(FPath).substr(4 * 16),
            "t05...........\r\nt06...........\r\nt07...........\r\n"
            "t08...........\r\nt09...........\r\nt10...........\r\n"
            "t11...........\r\n");
  AddText(buffer, u"x");
  EXPECT_EQ(RawInt(buffer, 8), 592);
  buffer.Clear(false);
  EXPECT_EQ(ReadFile(FPath).size(), 11u * 16u);

  // An empty buffer still opens, and so creates, the file.
  std::filesystem::remove(FPath);
  buffer.Clear(true);
  EXPECT_TRUE(std::filesystem::exists(FPath));
  EXPECT_EQ(ReadFile(FPath), "");
}

TEST_F(BufferSpool, ExistingFilesAreCutAtACtrlZNearTheirEnd) {
  const std::string tail(200, '-');
  for (const std::string& start :
       {std::string("old\r\nabc\x1Agarbage\x1Amore"), tail + "\x1A" + tail, std::string("\x1A")}) {
    { std::ofstream(FPath, std::ios::binary) << start; }
    TIPCBuffer buffer(400, 4);
    buffer.SetSpoolFile(Utf8ToUtf16(FPath));
    for (int n = 1; n <= 9; ++n) AddText(buffer, Fifty(n));
    const std::string kept = start.size() > 128 ? start : start.substr(0, start.find('\x1A'));
    EXPECT_EQ(ReadFile(FPath), kept + "t01...........\r\nt02...........\r\n");
  }
}

TEST_F(BufferSpool, TextIsWrittenInTheFileEncodingWithoutAMark) {
#ifdef _WIN32
  GTEST_SKIP() << "the ANSI code page depends on the system";
#endif
  TIPCBuffer buffer(1000, 4);
  buffer.SetSpoolFile(Utf8ToUtf16(FPath));
  AddText(buffer, u"caf\u00E9 \U0001F600");
  buffer.Clear(true);
  EXPECT_EQ(ReadFile(FPath), "caf\xC3\xA9 \xF0\x9F\x98\x80\r\n");
}

TEST_F(BufferSpool, UnusablePathsAreSkippedSilently) {
  const std::string base = kqtest::TempPath("");
  std::string dir = base;
  while (dir.size() < 200) dir += "/" + std::string(40, 'd');
  std::filesystem::create_directories(dir);
  const std::string fits = dir + "/" + std::string(259 - dir.size() - 1, 'f');
  const std::string tooLong = fits + "g";
  ASSERT_EQ(fits.size(), 259u);
  for (const std::string& path : {kqtest::TempPath("missing/dir/spool.txt"), tooLong, std::string()}) {
    TIPCBuffer buffer(400, 4);
    buffer.SetSpoolFile(Utf8ToUtf16(path));
    for (int n = 1; n <= 20; ++n) AddText(buffer, Fifty(n));
    EXPECT_EQ(buffer.Count(), 8);
    EXPECT_NO_THROW(buffer.Clear(true));
    if (!path.empty()) {
      EXPECT_FALSE(std::filesystem::exists(path)) << path;
    }
  }
  TIPCBuffer buffer(400, 4);
  buffer.SetSpoolFile(Utf8ToUtf16(fits));
  for (int n = 1; n <= 9; ++n) AddText(buffer, Fifty(n));
  EXPECT_EQ(ReadFile(fits), "t01...........\r\nt02...........\r\n");
}

TEST_F(BufferSpool, AFailedCloseLeavesTheListConsistentAndTheRecordUnwritten) {
  TIPCBuffer buffer(400, 4);             // before the limit, which also applies to the section's file
  kqtest::ScopedFileSizeLimit full(20);  // the first run's two lines take 32 bytes
  if (!full.Active()) GTEST_SKIP() << "needs a limit that makes writes fail";
  const std::u16string spool = Utf8ToUtf16(FPath);
  buffer.SetSpoolFile(spool);
  for (int n = 1; n <= 8; ++n) AddText(buffer, Fifty(n));
  buffer.RefNo(7);
  EXPECT_THROW(AddText(buffer, Fifty(9)), EKqError);
  EXPECT_EQ(buffer.Count(), 6);
  EXPECT_EQ(RawInt(buffer, 40), -2);
  for (std::int32_t i = 0; i < 6; ++i) EXPECT_EQ(buffer.RefNo(i), 3 + i);
  buffer.SetSpoolFile(u"");
  AddText(buffer, Fifty(9));
  EXPECT_EQ(buffer.Count(), 7);
  EXPECT_EQ(buffer.RefNo(6), 9);
  EXPECT_EQ(RawInt(buffer, 8), 592);

  buffer.SetSpoolFile(spool);
  EXPECT_THROW(buffer.Clear(true), EKqError);
  EXPECT_EQ(buffer.Count(), 0);
  EXPECT_EQ(RawInt(buffer, 4), 592);
  EXPECT_THROW(buffer.RefNo(0), ESilentAbort);
}

TEST(BufferProcesses, RecordsAppendedByAnotherProcessAreReadThroughOwnViews) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer reader(4000, 4);
  reader.SetUseRefNo(true);
  ASSERT_EQ(kqtest::RunHelper({"buffer-append", "4000", "4", "300"}), 0);
  const std::int32_t count = reader.Count();
  ASSERT_GT(count, 10);
  EXPECT_LT(count, 300);
  for (std::int32_t i = 0; i < count; ++i) {
    const std::int32_t refNo = reader.RefNo(i);
    EXPECT_EQ(refNo, 300 - count + 1 + i);
    EXPECT_EQ(reader.ColItem(i, 1), u"record " + Utf8ToUtf16(std::to_string(refNo)));
  }
  // And the other way round: the helper appends to what this process wrote.
  AddText(reader, u"from the test");
  ASSERT_EQ(kqtest::RunHelper({"buffer-append", "4000", "4", "1"}), 0);
  EXPECT_EQ(reader.ColItem(reader.Count() - 1, 1), u"record 302");
  EXPECT_EQ(reader.ColItem(reader.Count() - 2, 1), u"from the test");
}

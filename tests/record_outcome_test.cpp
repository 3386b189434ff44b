#include "record_outcome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "buffer_reader.h"
#include "ipc_buffer.h"
#include "test_support.h"

using namespace kq;

namespace {

// The newest record's Size and payload bytes, read from the section as a monitor built from the
// documented layout reads them.
struct RawRecord {
  std::int32_t Size = 0;
  std::vector<unsigned char> Payload;

  template <typename T>
  T At(std::size_t offset) const {
    T value;
    std::memcpy(&value, Payload.data() + offset, sizeof value);
    return value;
  }
  // The payload as text up to its NUL: all that a monitor knowing nothing of outcomes shows.
  std::u16string ReadableText() const {
    std::u16string text(Payload.size() / 2, u'\0');
    std::memcpy(text.data(), Payload.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
  }
};

RawRecord NewestRecord(const TIPCBuffer& buffer) {
  const auto* base = static_cast<const unsigned char*>(buffer.SharedMem().Buffer());
  const std::int32_t last = kqtest::RawHeader(buffer)->Last;
  RawRecord raw;
  std::memcpy(&raw.Size, base + last + 8, 4);
  raw.Payload.assign(base + last + 20, base + last + 20 + raw.Size);
  return raw;
}

TOutcomeTail SampleTail(const std::u16string& message) {
  TOutcomeTail tail;
  tail.DurationMicros = 1234567890123;
  tail.Rows = 42;
  tail.NativeCode = -7;
  tail.Status = 1;
  std::memcpy(tail.SqlState, u"42P01", 10);
  tail.Message = message.data();
  tail.MessageUnits = static_cast<std::uint16_t>(message.size());
  return tail;
}

// A whole outcome payload for the parser: text, NUL, tail.
std::vector<unsigned char> OutcomePayload(const std::u16string& text, const TOutcomeTail& tail) {
  std::vector<unsigned char> bytes(text.size() * 2 + 2 + static_cast<std::size_t>(tail.Bytes()), 0);
  std::memcpy(bytes.data(), text.data(), text.size() * 2);
  tail.WriteTo(bytes.data() + text.size() * 2 + 2);
  return bytes;
}

// Parses a copy that ends exactly where the payload ends, so that a read past it is caught by the
// sanitizer builds.
std::optional<TRecordOutcome> ParseExact(const std::vector<unsigned char>& bytes) {
  std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() + 1]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  return ParseOutcome(exact.get(), bytes.size());
}

void ExpectSample(const TRecordOutcome& got, const std::u16string& message, std::int32_t textUnits) {
  EXPECT_EQ(got.DurationMicros, 1234567890123);
  EXPECT_EQ(got.Rows, 42);
  EXPECT_EQ(got.NativeCode, -7);
  EXPECT_EQ(got.Status, 1);
  EXPECT_EQ(got.SqlState, u"42P01");
  EXPECT_EQ(got.Message, message);
  EXPECT_EQ(got.TextUnits, textUnits);
}

}  // namespace

TEST(RecordOutcome, TheTailLiesBehindTheTextsNulFieldByField) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(64 * 1024, 4);
  const std::u16string text = u"select * from missing";
  const std::u16string message = u"relation does not exist";
  const TOutcomeTail tail = SampleTail(message);
  buffer.AddStatement(text.data(), static_cast<std::int32_t>(text.size()), &tail);

  const RawRecord raw = NewestRecord(buffer);
  const std::size_t t = text.size() * 2 + 2;  // the tail's first byte
  const std::size_t m = message.size();
  ASSERT_EQ(raw.Size, static_cast<std::int32_t>(t + 42 + 2 * m));
  EXPECT_EQ(raw.ReadableText(), text);
  EXPECT_EQ(raw.At<char16_t>(t - 2), u'\0');
  EXPECT_EQ(raw.At<std::int64_t>(t + 0), 1234567890123);
  EXPECT_EQ(raw.At<std::int64_t>(t + 8), 42);
  EXPECT_EQ(raw.At<std::int32_t>(t + 16), -7);
  EXPECT_EQ(raw.At<std::uint16_t>(t + 20), 1);
  EXPECT_EQ(std::memcmp(raw.Payload.data() + t + 22, u"42P01", 10), 0);
  EXPECT_EQ(raw.At<std::uint16_t>(t + 32), m);
  EXPECT_EQ(std::memcmp(raw.Payload.data() + t + 34, message.data(), m * 2), 0);
  EXPECT_EQ(raw.At<std::uint16_t>(t + 34 + 2 * m), 42 + 2 * m);
  EXPECT_EQ(raw.At<std::uint16_t>(t + 36 + 2 * m), 1);
  EXPECT_EQ(std::memcmp(raw.Payload.data() + t + 38 + 2 * m, "kqO1", 4), 0);
  // Both units of the magic are non-zero: no record written without an outcome can end in it.
  EXPECT_NE(raw.At<char16_t>(raw.Payload.size() - 4), 0);
  EXPECT_NE(raw.At<char16_t>(raw.Payload.size() - 2), 0);
}

TEST(RecordOutcome, EveryViewShowsTheTextAndTheOutcomeIsReadBack) {
  kqtest::ScopedNamespace ns;
  const std::string save = kqtest::TempPath("outcome-save.txt");
  const std::string spool = kqtest::TempPath("outcome-spool.txt");
  TIPCBuffer buffer(64 * 1024, 4);
  const std::u16string text = u"update t set a = 1";
  const std::u16string message = u"deadlock";
  const TOutcomeTail tail = SampleTail(message);
  buffer.AddStatement(text.data(), static_cast<std::int32_t>(text.size()), &tail);
  buffer.AddStatement(text.data(), static_cast<std::int32_t>(text.size()));

  // The indexed views.
  ASSERT_EQ(buffer.Count(), 2);
  EXPECT_EQ(buffer.LineData(0), text);
  EXPECT_EQ(buffer.ColItem(0, 0), text);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(buffer.Data(0))), text);
  const auto indexed = buffer.Outcome(0);
  ASSERT_TRUE(indexed);
  ExpectSample(*indexed, message, static_cast<std::int32_t>(text.size()));
  EXPECT_FALSE(buffer.Outcome(1)) << "a plain statement carries none";

  // The live reader: views parse on demand, owned lines carry the parsed outcome.
  BufferReader reader(buffer);
  std::vector<TraceLineView> views;
  ASSERT_EQ(reader.ReadNewerViews(0, views), 2);
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(views[0].Text, text);
  EXPECT_FALSE(views[0].Cut);
  ASSERT_TRUE(views[0].Outcome());
  ExpectSample(*views[0].Outcome(), message, static_cast<std::int32_t>(text.size()));
  EXPECT_FALSE(views[1].Outcome());
  std::vector<TraceLine> lines;
  BufferReader owned(buffer);
  ASSERT_EQ(owned.ReadNewer(0, lines), 2);
  ASSERT_TRUE(lines[0].Outcome);
  EXPECT_EQ(*lines[0].Outcome, *indexed);
  EXPECT_EQ(lines[0].Text, text);
  EXPECT_FALSE(lines[1].Outcome);

  // The save file and the spool file hold the text alone.
  auto fileText = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  buffer.SaveToFile(std::u16string(save.begin(), save.end()));
  EXPECT_EQ(fileText(save), "update t set a = 1\r\nupdate t set a = 1\r\n");
  buffer.SetSpoolFile(std::u16string(spool.begin(), spool.end()));
  buffer.Clear(true);
  EXPECT_EQ(fileText(spool), "update t set a = 1\r\nupdate t set a = 1\r\n");
  std::remove(save.c_str());
  std::remove(spool.c_str());
}

TEST(RecordOutcome, PlainStatementsNeverPassForOutcomes) {
  kqtest::ScopedNamespace ns;
  TIPCBuffer buffer(64 * 1024, 4);
  // A text made to end like an outcome record, embedded NUL and all.
  const std::u16string decoyMessage = u"decoy";
  const std::vector<unsigned char> decoy = OutcomePayload(u"x", SampleTail(decoyMessage));
  ASSERT_TRUE(ParseExact(decoy)) << "the decoy is a valid payload by itself";
  std::u16string text(decoy.size() / 2, u'\0');
  std::memcpy(text.data(), decoy.data(), decoy.size());
  buffer.AddStatement(text.data(), static_cast<std::int32_t>(text.size()));
  RawRecord raw = NewestRecord(buffer);
  EXPECT_EQ(raw.Size, static_cast<std::int32_t>(text.size() * 2 + 2)) << "the whole text and our own NUL";
  EXPECT_EQ(raw.At<char16_t>(raw.Payload.size() - 2), u'\0');
  EXPECT_FALSE(buffer.Outcome(0));
  EXPECT_EQ(raw.ReadableText(), u"x");

  // The statement path writes the NUL itself: what lies behind the caller's text is never stored.
  const std::u16string longer = u"abcdef";
  buffer.AddStatement(longer.data(), 3);
  raw = NewestRecord(buffer);
  EXPECT_EQ(raw.Size, 8);
  EXPECT_EQ(raw.At<char16_t>(6), u'\0');
  EXPECT_EQ(raw.ReadableText(), u"abc");

  // The same decoy text with a real outcome behind it: parsed from the end, the text is all of it.
  const std::u16string message = u"real";
  const TOutcomeTail tail = SampleTail(message);
  buffer.AddStatement(text.data(), static_cast<std::int32_t>(text.size()), &tail);
  const auto outcome = buffer.Outcome(2);
  ASSERT_TRUE(outcome);
  ExpectSample(*outcome, message, static_cast<std::int32_t>(text.size()));
}

TEST(RecordOutcome, DamagedTailsCarryNoOutcome) {
  const std::u16string message = u"msg";
  const std::vector<unsigned char> good = OutcomePayload(u"select 1", SampleTail(message));
  ASSERT_TRUE(ParseExact(good));
  const std::size_t n = good.size();
  auto with = [&](std::size_t offset, std::uint16_t value) {
    std::vector<unsigned char> bad = good;
    std::memcpy(bad.data() + offset, &value, 2);
    return bad;
  };
  for (std::size_t i = n - 4; i < n; ++i) {
    std::vector<unsigned char> bad = good;
    bad[i] ^= 0x20;
    EXPECT_FALSE(ParseExact(bad)) << "magic byte " << i;
  }
  EXPECT_FALSE(ParseExact(with(n - 6, 2))) << "another version";
  const std::uint16_t tailBytes = 42 + 2 * 3;
  for (std::uint16_t lie : {std::uint16_t(0), std::uint16_t(40), std::uint16_t(tailBytes - 2),
                            std::uint16_t(tailBytes + 1), std::uint16_t(tailBytes + 2), std::uint16_t(n - 2),
                            std::uint16_t(n), std::uint16_t(n + 2), std::uint16_t(0xFFFF)})
    EXPECT_FALSE(ParseExact(with(n - 8, lie))) << "TailBytes " << lie;
  const std::size_t t = n - tailBytes;
  for (std::uint16_t lie : {std::uint16_t(2), std::uint16_t(4), std::uint16_t(255), std::uint16_t(0xFFFF)})
    EXPECT_FALSE(ParseExact(with(t + 32, lie))) << "MessageUnits " << lie;
  EXPECT_FALSE(ParseExact(with(t - 2, u'1'))) << "no NUL before the tail";

  // Cut short from the front, grown by a byte, or too small for any tail.
  for (std::size_t drop = 2; drop <= n; drop += 2) {
    std::vector<unsigned char> tail(good.begin() + static_cast<std::ptrdiff_t>(drop), good.end());
    if (tail.size() >= tailBytes + 2) continue;  // still whole: the text just got shorter
    EXPECT_FALSE(ParseExact(tail)) << "dropped " << drop;
  }
  std::vector<unsigned char> odd(good.size() + 1, 'x');
  std::copy(good.begin(), good.end(), odd.begin() + 1);
  EXPECT_FALSE(ParseExact(odd)) << "an odd size";
  EXPECT_FALSE(ParseOutcome(nullptr, 100));
  EXPECT_FALSE(ParseExact({'k', 'q', 'O', '1'}));
}

TEST(RecordOutcome, ACutRecordLosesTextNeverTheOutcome) {
  kqtest::ScopedNamespace ns;
  // Blocks of 1024: the largest payload is 512 - 20 = 492 bytes.
  TIPCBuffer buffer(4096, 4);
  const std::u16string message(20, u'm');
  const TOutcomeTail tail = SampleTail(message);  // 82 bytes
  std::u16string text(1000, u's');
  buffer.AddStatement(text.data(), static_cast<std::int32_t>(text.size()), &tail);
  RawRecord raw = NewestRecord(buffer);
  EXPECT_EQ(raw.Size, 492);
  const std::int32_t kept = (492 - 82) / 2 - 1;
  EXPECT_EQ(raw.ReadableText(), text.substr(0, kept));
  auto outcome = buffer.Outcome(0);
  ASSERT_TRUE(outcome);
  ExpectSample(*outcome, message, kept);
  BufferReader reader(buffer);
  std::vector<TraceLineView> views;
  ASSERT_EQ(reader.ReadNewerViews(0, views), 1);
  EXPECT_TRUE(views[0].Cut);
  EXPECT_TRUE(views[0].Outcome());

  // A surrogate pair at the cut goes whole or not at all.
  text[kept - 1] = u'\xD83D';
  text[kept] = u'\xDE00';
  buffer.AddStatement(text.data(), static_cast<std::int32_t>(text.size()), &tail);
  raw = NewestRecord(buffer);
  EXPECT_EQ(raw.ReadableText(), text.substr(0, kept - 1));
  outcome = buffer.Outcome(1);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->TextUnits, kept - 1);
  EXPECT_EQ(outcome->Message, message);
}

TEST(RecordOutcome, SmallRingsShortenTheMessageOrDropTheOutcome) {
  kqtest::ScopedNamespace ns;
  const std::u16string message(KqOutcomeMessageMax, u'e');
  const TOutcomeTail tail = SampleTail(message);
  const std::u16string text = u"select 1";
  {
    // Blocks of 400: payloads of 180 bytes hold a NUL, the fixed tail and 68 message units.
    TIPCBuffer buffer(1600, 4);
    buffer.AddStatement(text.data(), static_cast<std::int32_t>(text.size()), &tail);
    const auto outcome = buffer.Outcome(0);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->Message, message.substr(0, 68));
    EXPECT_EQ(outcome->TextUnits, 0) << "the text gave way first";
    EXPECT_EQ(outcome->Rows, 42);
  }
  {
    // Blocks of 100: 30-byte payloads cannot hold the fixed tail; the statement goes alone.
    TIPCBuffer buffer(400, 4);
    buffer.AddStatement(text.data(), static_cast<std::int32_t>(text.size()), &tail);
    EXPECT_FALSE(buffer.Outcome(0));
    EXPECT_EQ(buffer.LineData(0), text);
  }
}

TEST(RecordOutcome, MessagesAreCutAt255UnitsAndNeverInsideAPair) {
  EXPECT_EQ(OutcomeMessageUnits(nullptr), 0);
  EXPECT_EQ(OutcomeMessageUnits(u""), 0);
  EXPECT_EQ(OutcomeMessageUnits(u"short"), 5);
  std::u16string exact(255, u'a');
  EXPECT_EQ(OutcomeMessageUnits(exact.c_str()), 255);
  std::u16string longer(300, u'a');
  EXPECT_EQ(OutcomeMessageUnits(longer.c_str()), 255);
  longer[254] = u'\xD83D';
  longer[255] = u'\xDE00';
  EXPECT_EQ(OutcomeMessageUnits(longer.c_str()), 254);
  // A pair that ends exactly at 255 stays.
  exact[253] = u'\xD83D';
  exact[254] = u'\xDE00';
  EXPECT_EQ(OutcomeMessageUnits(exact.c_str()), 255);
}

// kqmon's output pieces on their own: the texts they make from given records.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>

#include "client_list.h"
#include "json_formatter.h"
#include "json_value.h"
#include "kqconsts.h"
#include "record_entries.h"
#include "rotating_file.h"
#include "statement_fingerprint.h"
#include "statement_redactor.h"
#include "test_support.h"
#include "text.h"
#include "text_formatter.h"
#include "text_pattern.h"
#include "time_stamp_format.h"
#include "tool_process.h"
#include "tool_support.h"
#include "top_table.h"

using namespace kqtool;

namespace {
std::string Utf8(std::u16string_view text) {
  OutputBuffer out;
  out.AppendUtf16(text);
  return std::string(out.View());
}
}  // namespace

TEST(KqmonOutput, FingerprintsFoldValuesListsCommentsAndSpace) {
  StatementFingerprint fingerprint;
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"  SELECT *\n\tFROM t   WHERE id = 42 ", u"SELECT * FROM t WHERE id = ?"},
      {u"select a from t where s = 'it''s' and n = -1.5e3 and h = 0x1F",
       u"select a from t where s = ? and n = -? and h = ?"},
      {u"SELECT * FROM t WHERE id IN (1, 2, 3) AND k in ( 'a' ,? , $1)",
       u"SELECT * FROM t WHERE id IN (?+) AND k in (?+)"},
      {u"SELECT * FROM t WHERE id IN (SELECT id FROM u)", u"SELECT * FROM t WHERE id IN (SELECT id FROM u)"},
      {u"UPDATE t2 SET c1 = N'x' -- batch 1042\n WHERE \"col 9\" = 9 /* 7 */",
       u"UPDATE t2 SET c1 = ? WHERE \"col 9\" = ?"},
      {u"SELECT 'unterminated", u"SELECT ?"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Utf8(fingerprint.Of(text)), Utf8(expected)) << Utf8(text);
}

TEST(KqmonOutput, RedactionReplacesLiteralsAndCommentContentButKeepsNames) {
  StatementRedactor redactor;
  EXPECT_EQ(Utf8(redactor.Redact(u"SELECT t1.a FROM t1 WHERE pw = 'hunter2' AND pin = 1234 -- note 5")),
            "SELECT t1.a FROM t1 WHERE pw = ? AND pin = ? -- ?");
  EXPECT_EQ(Utf8(redactor.Redact(u"INSERT INTO [order details] VALUES ('C:\\', .5, E'x')")),
            "INSERT INTO [order details] VALUES (?, ?, ?)")
      << "a backslash does not escape a quote";
}

TEST(KqmonOutput, GrepIgnoresCaseAcrossScripts) {
  EXPECT_TRUE(TextPattern(u"orders").Matches(u"SELECT * FROM ORDERS"));
  EXPECT_TRUE(TextPattern(u"STRASSE \u00C4").Matches(u"where street = 'strasse \u00E4'"));
  EXPECT_TRUE(TextPattern(u"\u0417\u0410\u041A\u0410\u0417").Matches(u"-- \u0437\u0430\u043A\u0430\u0437"));
  EXPECT_FALSE(TextPattern(u"orderz").Matches(u"orders"));
  EXPECT_FALSE(TextPattern(u"long pattern").Matches(u"long"));
}

TEST(KqmonOutput, TranscoderAndJsonEscapesKeepEveryCharacter) {
  OutputBuffer out;
  JsonWriter json(out);
  json.BeginObject();
  json.Member("t", std::u16string_view(u"a\"b\\c\n\t\x01 \u00FC \u65E5 \U0001F600 \xD800 end"));
  json.EndObject();
  EXPECT_EQ(std::string(out.View()),
            "{\"t\":\"a\\\"b\\\\c\\n\\t\\u0001 \xC3\xBC \xE6\x97\xA5 \xF0\x9F\x98\x80 \xEF\xBF\xBD end\"}\n");
  auto parsed = kqtest::ParseJson(std::string(out.View()));
  ASSERT_TRUE(parsed);
}

TEST(KqmonOutput, TimeStampsShowDateMillisecondsAndTheLocalOffset) {
  TimeStampFormat format;
  OutputBuffer out;
  // 2026-12-09 01:55:51.123 local: 46365 days after 1899-12-30.
  const double dateTime = 46365 + (1 * 3600 + 55 * 60 + 51.123) / 86400.0;
  format.AppendReadable(dateTime, out);
  EXPECT_EQ(std::string(out.View()), "2026-12-09 01:55:51.123");
  out.Clear();
  format.AppendIso(dateTime, out);
  const std::string iso(out.View());
  ASSERT_TRUE(std::regex_match(iso, std::regex(R"(2026-12-09T01:55:51\.123[+-]\d\d:\d\d)"))) << iso;
  // The offset names the UTC moment whose local time is the one shown, in winter and in summer.
  for (std::int64_t localSeconds :
       {std::int64_t{1767268800}, std::int64_t{1782907200}}) {  // 2026-01-01, 2026-07-01 noon
    const std::time_t utc = static_cast<std::time_t>(localSeconds - format.OffsetMinutes(localSeconds) * 60);
    const std::tm* local = std::localtime(&utc);
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->tm_hour, 12) << localSeconds;
    EXPECT_EQ(local->tm_min, 0);
  }
  out.Clear();
  format.AppendTimeOfDay(2.5, out);  // noon of 1900-01-01
  EXPECT_EQ(std::string(out.View()), "12:00:00.000");
}

TEST(KqmonOutput, RotatingFileCutsBetweenLinesAndGivesALongLineAFileOfItsOwn) {
  kqtest::ScopedNamespace ns;
  const std::string path = kqtest::TempPath("rotate.log");
  {
    RotatingFile file(path, 10, 2);
    ASSERT_TRUE(file.Write("aaa\nbbb\nccc\n"));              // 12 bytes: "aaa\nbbb\n" fits, "ccc\n" starts a new file
    ASSERT_TRUE(file.Write("a line longer than ten\nd\n"));  // alone in a file of its own
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".3")) << "two old files are kept: \"aaa\" went";
  EXPECT_EQ(kqtest::ReadFile(path + ".2"), "ccc\n");
  EXPECT_EQ(kqtest::ReadFile(path + ".1"), "a line longer than ten\n");
  EXPECT_EQ(kqtest::ReadFile(path), "d\n");
}

TEST(KqmonOutput, ColourOnlyWhereAskedOrOnATerminal) {
  EXPECT_TRUE(UseColour("always", false)) << "a pipe still gets colour when asked for";
  EXPECT_FALSE(UseColour("never", true));
  EXPECT_FALSE(UseColour("auto", false)) << "files and pipes get none by default";
  kqtool::OutputBuffer plain, coloured;
  const kqtool::RecordEntry line{kqtool::EntryKind::Statement, 7, 0, 46365.5, true, u"SELECT 1", nullptr, 46365.5};
  kqtool::TextFormatter({true, true, false}).Statement(line, {}, plain);
  kqtool::TextFormatter({true, true, true}).Statement(line, {}, coloured);
  EXPECT_EQ(std::string(plain.View()), "7       2026-12-09 12:00:00.000  SELECT 1 [cut]\n");
  EXPECT_NE(std::string(coloured.View()).find("\x1b["), std::string::npos);
}

TEST(KqmonOutput, ClassifierTurnsEachRecordIntoOneEntryAndCountsTheFilteredOnes) {
  const std::u16string logStart = std::u16string(kq::LoadKqString(kq::SKqLogStarted)) + u": Orders DB";
  const std::vector<kq::TraceLine> lines = {
      {false, 1, 0, 46365.5, false, logStart, std::nullopt},
      {false, 2, 0, 46365.6, false, u"SELECT name FROM t WHERE id = 42", std::nullopt},
      {false, 3, 0, 46365.7, true, u"UPDATE t SET name = 'secret' WHERE id = 7", std::nullopt},
      {true, 4, 3, 0, false, u"", std::nullopt},
      {false, 7, 0, 46365.8, false, logStart, std::nullopt},  // only the first record of an attach is a log start
  };
  RecordClassifier classifier(StatementFilter{u"update", true, std::nullopt});
  const std::vector<RecordEntry>& entries = classifier.Classify(lines);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Kind, EntryKind::LogStarted);
  EXPECT_EQ(Utf8(entries[0].Text), "Orders DB");
  EXPECT_EQ(entries[1].Kind, EntryKind::Statement);
  EXPECT_EQ(entries[1].RefNo, 3);
  EXPECT_TRUE(entries[1].Cut);
  EXPECT_EQ(Utf8(entries[1].Text), "UPDATE t SET name = ? WHERE id = ?") << "shown redacted";
  EXPECT_EQ(entries[2].Kind, EntryKind::Gap);
  EXPECT_EQ(entries[2].RefNo, 4);
  EXPECT_EQ(entries[2].Missing, 3);
  EXPECT_GT(entries[2].Time, 0) << "a gap carries when the reader noticed it";
  const RecordTally& tally = classifier.BatchTally();
  EXPECT_EQ(tally.Shown, 1);
  EXPECT_EQ(tally.Filtered, 2) << "the SELECT and the late log-start text are filtered out";
  EXPECT_EQ(tally.LogStarts, 1);
  EXPECT_EQ(tally.Gaps, 1);
  EXPECT_EQ(tally.Missing, 3);
}

TEST(KqmonOutput, ClassifierKeepsEveryRedactedTextOfABatchValid) {
  // Each redacted text must survive the redaction of the ones after it in the same batch.
  std::vector<kq::TraceLine> lines;
  for (int i = 0; i < 200; ++i)
    lines.push_back({false, i + 2, 0, 46365.5, false,
                     kq::Utf8ToUtf16("SELECT " + std::to_string(i) + " FROM t" +
                                     std::string(static_cast<std::size_t>(i), ' ') + "x"),
                     std::nullopt});
  RecordClassifier classifier(StatementFilter{std::nullopt, true, std::nullopt});
  const std::vector<RecordEntry>& entries = classifier.Classify(lines);
  ASSERT_EQ(entries.size(), lines.size());
  for (std::size_t i = 0; i < entries.size(); ++i)
    EXPECT_EQ(Utf8(entries[i].Text), "SELECT ? FROM t" + std::string(i, ' ') + "x") << i;
  // Views of the reader classify the same way.
  std::vector<kq::TraceLineView> views;
  for (const kq::TraceLine& line : lines)
    views.push_back({line.Gap, line.RefNo, line.Missing, line.Time, line.Cut, line.Text, nullptr, 0});
  EXPECT_EQ(Utf8(classifier.Classify(views)[5].Text), "SELECT ? FROM t     x");
}

TEST(KqmonOutput, FormattersWriteEveryKindOfEntry) {
  const RecordEntry gap{EntryKind::Gap, 4, 3, 46365.5, false, {}, nullptr, 46365.5};
  const RecordEntry start{EntryKind::LogStarted, 1, 0, 46365.5, false, u"Orders DB", nullptr, 46365.5};
  OutputBuffer text, json;
  TextFormatter textFormatter({false, false, false});
  JsonFormatter jsonFormatter;
  for (const RecordEntry* entry : {&start, &gap}) {
    textFormatter.Entry(*entry, {9, u"Orders DB", ""}, text);
    jsonFormatter.Entry(*entry, {9, u"Orders DB", ""}, json);
  }
  EXPECT_EQ(std::string(text.View()),
            "=== log started for Orders DB (client 9) ===\n"
            "--- gap: 3 statement(s) from ref 4 evicted before they were read ---\n");
  EXPECT_NE(std::string(json.View()).find("\"kq.log_name\":\"Orders DB\""), std::string::npos);
  EXPECT_NE(std::string(json.View()).find("\"kq.gap.missing\":3"), std::string::npos);
}

TEST(KqmonOutput, ClientListShowsOneLiveStateForListAndPage) {
  kq::ClientSnapshot snapshot;
  snapshot.MonitorID = 5;
  snapshot.BufferSize = 65536;
  snapshot.Clients.push_back({1, 10, u"marked", true, false, false});
  snapshot.Clients.push_back({2, 11, u"watched", false, false, true});
  snapshot.Clients.push_back({3, 12, u"ended", true, true, false});
  snapshot.Clients.push_back({4, 13, u"quiet", false, false, false});
  OutputBuffer json, text;
  AppendClientsJson(snapshot, json);
  AppendClientsText(snapshot, text);
  std::vector<kqtest::JsonValue> objects;
  std::istringstream lines{std::string(json.View())};
  for (std::string line; std::getline(lines, line);) {
    auto value = kqtest::ParseJson(line);
    ASSERT_TRUE(value) << line;
    objects.push_back(*value);
  }
  ASSERT_EQ(objects.size(), 5u) << json.View();
  EXPECT_EQ(objects[0]["kq.monitor.id"].Number, 5);
  EXPECT_EQ(objects[0]["kq.client.count"].Number, 4);
  const bool alive[] = {true, true, false, false};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(objects[i + 1]["alive"].Bool, alive[i]) << i;
    EXPECT_EQ(objects[i + 1]["dead"].Bool, i == 2) << i;
  }
  const std::string shown(text.View());
  EXPECT_NE(shown.find("   2           11  yes      watched\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("   3           12  dead     ended\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("   4           13  unknown  quiet\n"), std::string::npos) << shown;
  EXPECT_EQ(FindClient(snapshot, "11"), 11);
  EXPECT_EQ(FindClient(snapshot, "quiet"), 13);
  EXPECT_EQ(FindClient(snapshot, "nobody"), std::nullopt);
}

namespace {

// A record's payload as a client writes it with an outcome: text, NUL, tail.
std::vector<unsigned char> PayloadWithOutcome(std::u16string_view text, const kq::TOutcomeTail& tail) {
  std::vector<unsigned char> payload((text.size() + 1) * 2 + static_cast<std::size_t>(tail.Bytes()));
  for (std::size_t i = 0; i < text.size(); ++i) {
    payload[2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
    payload[2 * i + 1] = static_cast<unsigned char>(text[i] >> 8);
  }
  tail.WriteTo(payload.data() + (text.size() + 1) * 2);
  return payload;
}

}  // namespace

TEST(KqmonOutput, ClassifierParsesOutcomesOfViewsShowsTheStartAndKeepsOnlyTheSlowOnesWhenAsked) {
  const std::u16string slow = u"SELECT * FROM big", quick = u"SELECT 1", plain = u"SELECT 'none'";
  kq::TOutcomeTail slowTail;
  slowTail.DurationMicros = 8640000;  // a tenth of a thousandth of a day
  slowTail.Rows = 12;
  kq::TOutcomeTail quickTail;
  quickTail.DurationMicros = 500;
  quickTail.Status = 1;
  const char16_t message[] = u"boom";
  quickTail.Message = message;
  quickTail.MessageUnits = 4;
  const auto slowPayload = PayloadWithOutcome(slow, slowTail), quickPayload = PayloadWithOutcome(quick, quickTail);
  const double end = 46365.5;
  std::vector<kq::TraceLineView> views = {
      {false, 2, 0, end, false, slow, slowPayload.data(), static_cast<std::int32_t>(slowPayload.size())},
      {false, 3, 0, end, false, quick, quickPayload.data(), static_cast<std::int32_t>(quickPayload.size())},
      {false, 4, 0, end, false, plain, nullptr, 0},
  };
  RecordClassifier all(StatementFilter{});
  const std::vector<RecordEntry>& entries = all.Classify(views);
  ASSERT_EQ(entries.size(), 3u);
  ASSERT_NE(entries[0].Outcome, nullptr);
  EXPECT_EQ(entries[0].Outcome->DurationMicros, 8640000);
  EXPECT_EQ(entries[0].Outcome->Rows, 12);
  EXPECT_DOUBLE_EQ(entries[0].End, end);
  EXPECT_NEAR(entries[0].Time, end - 0.0001, 1e-9) << "the start: the completion less the duration";
  ASSERT_NE(entries[1].Outcome, nullptr);
  EXPECT_TRUE(entries[1].Failed());
  EXPECT_EQ(Utf8(entries[1].Outcome->Message), "boom");
  EXPECT_EQ(Utf8(entries[1].Text), "SELECT 1") << "the text stops at its NUL, before the tail";
  EXPECT_EQ(entries[2].Outcome, nullptr);
  EXPECT_DOUBLE_EQ(entries[2].Time, end);

  StatementFilter slowOnly;
  slowOnly.MinDurationMs = 1;
  RecordClassifier filtered(slowOnly);
  const std::vector<RecordEntry>& kept = filtered.Classify(views);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].RefNo, 2);
  EXPECT_EQ(filtered.BatchTally().Filtered, 2) << "the quick one and the one without a duration";
}

TEST(KqmonOutput, FormattersShowTheOutcomeAndMarkAFailure) {
  kq::TRecordOutcome failed;
  failed.DurationMicros = 1500;
  failed.Status = 1;
  failed.SqlState = u"23505";
  failed.NativeCode = 1062;
  failed.Message = u"duplicate \"key\"";
  RecordEntry entry{EntryKind::Statement, 7, 0, 46365.5, false, u"INSERT INTO t VALUES (1)", &failed, 46365.5};
  OutputBuffer plain, coloured, json;
  TextFormatter({false, false, false}).Statement(entry, {}, plain);
  TextFormatter({false, false, true}).Statement(entry, {}, coloured);
  JsonFormatter().Statement(entry, {3, u"c", ""}, json);
  EXPECT_EQ(std::string(plain.View()),
            "     1.500 ms        - rows  FAILED  INSERT INTO t VALUES (1)  -- SQLSTATE 23505 code 1062 : duplicate "
            "\"key\"\n");
  EXPECT_NE(std::string(coloured.View()).find("\x1b[31mFAILED"), std::string::npos) << coloured.View();
  auto object = kqtest::ParseJson(std::string(json.View()).substr(0, json.Size() - 1));
  ASSERT_TRUE(object);
  EXPECT_EQ((*object)["kq.duration_ms"].Number, 1.5);
  EXPECT_EQ((*object)["db.response.returned_rows"].Kind, kqtest::JsonValue::Type::Null);
  EXPECT_EQ((*object)["db.response.status_code"].String, "23505");
  EXPECT_EQ((*object)["kq.error.message"].String, "duplicate \"key\"");
}

TEST(KqmonOutput, DurationPercentileIsWithinATenthAboveTheExactOne) {
  DurationHistogram histogram;
  EXPECT_EQ(histogram.Percentile(0.95), 0);
  // 1 ms to 100 ms in steps of 1 ms: the exact 95th percentile is 95 ms.
  for (std::int64_t ms = 1; ms <= 100; ++ms) histogram.Add(ms * 1000);
  const std::int64_t p95 = histogram.Percentile(0.95);
  EXPECT_GE(p95, 95000);
  EXPECT_LE(p95, 104500);
  EXPECT_GE(histogram.Percentile(1.0), 100000);
  EXPECT_LE(histogram.Percentile(0.01), 1100);
  EXPECT_EQ(histogram.Count(), 100);
}

TEST(KqmonOutput, TopSortsByTotalTimeOnceDurationsComeAndCountsRowsAndErrors) {
  TopTable table({20, 200});
  kq::TRecordOutcome quick, slow, failed;
  quick.DurationMicros = 1000;
  quick.Rows = 1;
  slow.DurationMicros = 90000;
  slow.Rows = 5;
  failed.DurationMicros = 10000;
  failed.Status = 1;
  for (int i = 0; i < 50; ++i)
    table.Add(u"SELECT * FROM t WHERE id = " + kq::Utf8ToUtf16(std::to_string(i)), 46365.5, &quick);
  table.Add(u"SELECT * FROM report", 46365.5, &slow);
  table.Add(u"SELECT * FROM report", 46365.5, &failed);
  const auto rows = table.Top(10);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(Utf8(rows[0]->Fingerprint), "SELECT * FROM report") << "100 ms in total beats 50 ms";
  EXPECT_EQ(rows[0]->TotalMicros, 100000);
  EXPECT_EQ(rows[0]->MaxMicros, 90000);
  EXPECT_EQ(rows[0]->MeanMicros(), 50000);
  EXPECT_EQ(rows[0]->Rows, 5);
  EXPECT_EQ(rows[0]->Errors, 1);
  EXPECT_EQ(rows[1]->Count, 50);
  OutputBuffer text;
  table.AppendText(text, 10, 0, {1, u"c", ""}, false);
  EXPECT_NE(std::string(text.View()).find("   calls   share   total ms"), std::string::npos) << text.View();
  TopTable counts({20, 200});
  counts.Add(u"SELECT 1", 46365.5);
  OutputBuffer plain;
  counts.AppendText(plain, 10, 0, {1, u"c", ""}, false);
  EXPECT_NE(std::string(plain.View()).find("   count   share  first seen"), std::string::npos) << plain.View();
}

TEST(KqmonOutput, TheClientColumnLinesUpSeveralClientsAndTopSaysWhichRanEachShape) {
  const kqtool::RecordEntry line{kqtool::EntryKind::Statement, 7, 0, 46365.5, false, u"SELECT 1"};
  const kqtool::RecordEntry gap{kqtool::EntryKind::Gap, 9, 4, 46365.5, false, u""};
  const kqtool::ClientInfo orders{4711, u"Orders DB", "Orders DB"}, twin{12, u"twin", "12"};
  kqtool::OutputBuffer out;
  kqtool::TextFormatter text({false, false, false});
  text.Statement(line, twin, out);
  text.Statement(line, orders, out);
  text.Gap(gap, twin, out);
  EXPECT_EQ(std::string(out.View()),
            "12  SELECT 1\n"
            "Orders DB  SELECT 1\n"
            "12         --- gap: 4 statement(s) from ref 9 evicted before they were read ---\n");

  kqtool::TopTable table({20, 200});
  table.Add({line, line}, orders);
  table.Add({line, {kqtool::EntryKind::Statement, 8, 0, 46365.5, false, u"DELETE FROM t"}}, twin);
  out.Clear();
  table.AppendText(out, 10, 0, orders, false);
  const std::string shown(out.View());
  EXPECT_EQ(shown.substr(0, shown.find('\n')), "4 statement(s), 2 fingerprint(s), 2 clients");
  EXPECT_NE(shown.find("bursts  clients       fingerprint\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Orders DB,12  SELECT ?\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("12            DELETE FROM t\n"), std::string::npos) << shown;
  out.Clear();
  table.AppendJson(out, 10, orders, 0, 0);
  const std::string json(out.View());
  EXPECT_NE(json.find("\"kq.fingerprint\":\"SELECT ?\",\"count\":3"), std::string::npos) << json;
  EXPECT_NE(json.find("\"kq.client.ids\":[4711,12]}\n"), std::string::npos) << json;
  EXPECT_NE(json.find("\"kq.client.ids\":[12]}\n"), std::string::npos) << json;
}

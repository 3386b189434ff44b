// kqmon's output pieces on their own: the texts they make from given records.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>

#include "json_formatter.h"
#include "json_value.h"
#include "rotating_file.h"
#include "statement_fingerprint.h"
#include "statement_redactor.h"
#include "test_support.h"
#include "text_formatter.h"
#include "text_pattern.h"
#include "time_stamp_format.h"
#include "tool_process.h"
#include "tool_support.h"

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

TEST(KqmonOutput, RedactionReplacesLiteralsButKeepsNamesAndComments) {
  StatementRedactor redactor;
  EXPECT_EQ(Utf8(redactor.Redact(u"SELECT t1.a FROM t1 WHERE pw = 'hunter2' AND pin = 1234 -- note 5")),
            "SELECT t1.a FROM t1 WHERE pw = ? AND pin = ? -- note 5");
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
  kq::TraceLine line{false, 7, 0, 46365.5, true, u"SELECT 1", std::nullopt};
  kqtool::TextFormatter({true, true, false}).Statement(line, line.Text, {}, plain);
  kqtool::TextFormatter({true, true, true}).Statement(line, line.Text, {}, coloured);
  EXPECT_EQ(std::string(plain.View()), "7       2026-12-09 12:00:00.000  SELECT 1 [cut]\n");
  EXPECT_NE(std::string(coloured.View()).find("\x1b["), std::string::npos);
}

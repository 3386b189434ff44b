// What statement text becomes on its way to a terminal or a text file: no control character raw, a
// multi-line statement visibly one record. And the JSON form of the same hostile characters.
#include "terminal_text.h"

#include <gtest/gtest.h>

#include <string>

#include "json_writer.h"
#include "record_entries.h"
#include "text_formatter.h"
#include "top_table.h"

using namespace kqtool;

namespace {

std::string Safe(std::u16string_view text, std::size_t indent = 0) {
  OutputBuffer out;
  AppendTerminalSafe(text, out, indent);
  return std::string(out.View());
}

// Bytes that a terminal acts on: C0 controls but tab and line feed, DEL, and C1 controls as UTF-8.
bool HasRawControl(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(bytes[i + 1]) <= 0x9F)
      return true;
  }
  return false;
}

}  // namespace

TEST(TerminalText, EscapeSequencesInALiteralAreShownNotObeyed) {
  const std::string shown = Safe(u"SELECT '\x1b[2J\x1b]0;pwned\x07'");
  EXPECT_EQ(shown, "SELECT '\\e[2J\\e]0;pwned\\x07'");
  EXPECT_FALSE(HasRawControl(shown));
}

TEST(TerminalText, EveryControlAndReorderingCharacterIsEscaped) {
  const std::u16string text{u'a', u'\r', u'b', u'\0', u'c', 0x7F, 0x9B, 0x85, u'd', u'\t', u'e'};
  EXPECT_EQ(Safe(text), "a\\rb\\0c\\x7F\\x9B\\x85d\te") << "a tab only moves forward and stays";
  EXPECT_EQ(Safe(u"x\u202Eevil\u202C \u2066y\u2069 \u2028z\u2029"),
            "x\\u202Eevil\\u202C \\u2066y\\u2069 \\u2028z\\u2029");
  EXPECT_EQ(Safe(u"C:\\dir \u00FC\u65E5 \U0001F600"), "C:\\dir \xC3\xBC\xE6\x97\xA5 \xF0\x9F\x98\x80")
      << "backslashes and printable characters of any script stay as they are";
  const std::u16string lone{u'a', 0xD800, u'b'};
  EXPECT_EQ(Safe(lone),
            "a\xEF\xBF\xBD"
            "b");
  for (char16_t c = 0; c < 0x100; ++c) {
    const std::u16string one(1, c);
    if (c != u'\n') {
      EXPECT_FALSE(HasRawControl(Safe(one))) << int(c);
    }
  }
}

TEST(TerminalText, AMultiLineStatementStaysOneVisibleRecord) {
  const std::u16string text = u"SELECT a,\r\n       b\nFROM t\r WHERE 1";
  RecordEntry line{EntryKind::Statement, 12, 0, 46365.5, false, text};
  OutputBuffer out;
  TextFormatter({true, true, false}).Statement(line, {}, out);
  // The columns take 8 + 25 places; continuation lines start below the text, marked.
  const std::string lead(33, ' ');
  EXPECT_EQ(std::string(out.View()),
            "12      2026-12-09 12:00:00.000  SELECT a,\n" + lead + "|        b\n" + lead + "| FROM t\\r WHERE 1\n");
  OutputBuffer coloured;
  TextFormatter({true, false, true}).Statement(line, {}, coloured);
  const std::string shown(coloured.View());
  EXPECT_NE(shown.find("\n" + std::string(8, ' ') + "| FROM t"), std::string::npos)
      << "colour sequences take no place on the screen: " << shown;
  OutputBuffer bare;
  line.Text = u"a\nb";
  TextFormatter({false, false, false}).Statement(line, {}, bare);
  EXPECT_EQ(std::string(bare.View()), "a\n| b\n");
}

TEST(TerminalText, LogStartedNamesAndTopFingerprintsAreEscapedToo) {
  RecordEntry line{EntryKind::LogStarted, 1, 0, 46365.5, false, u"app\x1b]0;x\x07"};
  OutputBuffer out;
  TextFormatter({false, false, false}).LogStarted(line, {5, u"", ""}, out);
  EXPECT_EQ(std::string(out.View()), "=== log started for app\\e]0;x\\x07 (client 5) ===\n");
  TopTable table(BurstRule{});
  table.Add(u"SELECT \"\x1b[2J\" FROM t", 46365.5);
  OutputBuffer top;
  table.AppendText(top, 10, 0, {3, u"n\x1b[31m", ""}, false);
  EXPECT_FALSE(HasRawControl(top.View())) << top.View();
  EXPECT_NE(std::string(top.View()).find("SELECT \"\\e[2J\" FROM t"), std::string::npos) << top.View();
}

TEST(TerminalText, JsonEscapesSeparatorsControlsAndReorderingCharacters) {
  OutputBuffer out;
  JsonWriter json(out);
  json.BeginObject();
  const std::u16string text{u'a', 0x2028, u'b', 0x2029, 0x202E, 0x2067, 0x9B, 0x7F, 0xDC00, u'c'};
  json.Member("t", std::u16string_view(text));
  json.Member("u", std::string_view("\xE6\x97\xA5\x7F"));
  json.EndObject();
  EXPECT_EQ(std::string(out.View()),
            "{\"t\":\"a\\u2028b\\u2029\\u202e\\u2067\\u009b\\u007f\xEF\xBF\xBD"
            "c\",\"u\":\"\xE6\x97\xA5\\u007f\"}\n")
      << "UTF-8 text passes its multi-byte sequences through whole";
}

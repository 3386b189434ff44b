// Redaction over a corpus of statements written to leak (tests/data/redaction_corpus.txt): each case's
// redacted form, the words that must not survive it, and the shape that must.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_scanner.h"
#include "statement_fingerprint.h"
#include "statement_redactor.h"
#include "text.h"

using namespace kqtool;

namespace {

constexpr std::string_view CorpusText =
#include "redaction_corpus.inc"
    ;

struct CorpusCase {
  std::string Name;
  std::string Statement;
  std::string Redacted;
  std::vector<std::string> Secrets;
};

std::vector<CorpusCase> ParseCorpus(std::string_view text) {
  std::vector<CorpusCase> cases;
  enum { Statement, Redacted } part = Statement;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.substr(0, 2) == "##") continue;
    if (line.substr(0, 3) == "== ") {
      cases.push_back({std::string(line.substr(3)), {}, {}, {}});
      part = Statement;
      continue;
    }
    if (cases.empty()) continue;
    CorpusCase& current = cases.back();
    if (line == "->") {
      part = Redacted;
    } else if (line.substr(0, 3) == "!! ") {
      current.Secrets.emplace_back(line.substr(3));
    } else {
      std::string& into = part == Statement ? current.Statement : current.Redacted;
      if (!into.empty()) into += '\n';
      into += line;
    }
  }
  return cases;
}

std::string Fingerprint(std::string_view utf8) {
  StatementFingerprint fingerprint;
  return kq::Utf16ToUtf8(fingerprint.Of(kq::Utf8ToUtf16(utf8)));
}

}  // namespace

TEST(RedactionCorpus, EveryCaseHasItsRedactedFormAndHidesItsSecrets) {
  const std::vector<CorpusCase> cases = ParseCorpus(CorpusText);
  ASSERT_GE(cases.size(), 20u) << "the corpus did not parse";
  StatementRedactor redactor;
  for (const CorpusCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ASSERT_FALSE(c.Statement.empty());
    const std::string redacted = kq::Utf16ToUtf8(redactor.Redact(kq::Utf8ToUtf16(c.Statement)));
    EXPECT_EQ(redacted, c.Redacted);
    const std::string shape = Fingerprint(c.Statement);
    for (const std::string& secret : c.Secrets) {
      EXPECT_EQ(redacted.find(secret), std::string::npos) << secret << " survived: " << redacted;
      EXPECT_EQ(shape.find(secret), std::string::npos) << secret << " is in the fingerprint: " << shape;
    }
    EXPECT_EQ(Fingerprint(redacted), shape) << "redaction changed the statement's shape";
  }
}

TEST(RedactionCorpus, StatementsThatDifferOnlyInTheirValuesShareAFingerprint) {
  const std::pair<std::u16string, std::u16string> same[] = {
      {u"SELECT $$a$$, E'x\\'y', \"v\" FROM t WHERE a = \"w\"",
       u"SELECT $q$other$q$, E'', \"v\" FROM t WHERE a = \"\""},
      {u"SELECT 1 /* one */ -- two\n FROM t", u"SELECT 22 /* three /* four */ */ # five\n FROM t"},
      {u"SELECT * FROM t WHERE k IN (\"a\", \"b\")", u"SELECT * FROM t WHERE k IN ('c', 3, $1)"},
  };
  StatementFingerprint a, b;
  for (const auto& [first, second] : same) EXPECT_EQ(kq::Utf16ToUtf8(a.Of(first)), kq::Utf16ToUtf8(b.Of(second)));
}

TEST(RedactionCorpus, DoubleQuotedNamesOutsideValuePositionsStay) {
  StatementRedactor redactor;
  EXPECT_EQ(kq::Utf16ToUtf8(redactor.Redact(u"SELECT \"a b\".\"c\" FROM \"t\" WHERE \"x\" IS NULL ORDER BY \"y\"")),
            "SELECT \"a b\".\"c\" FROM \"t\" WHERE \"x\" IS NULL ORDER BY \"y\"");
  EXPECT_EQ(kq::Utf16ToUtf8(redactor.Redact(u"SELECT f(\"a\", (\"b\")) FROM t")), "SELECT f(\"a\", (\"b\")) FROM t")
      << "a function's arguments are not a VALUES row";
}

TEST(RedactionCorpus, DeepNestingDoesNotHideAValueList) {
  // Found by the fuzz target: past the nesting the value lists were tracked to, a "..." in VALUES stayed.
  const std::u16string deep = std::u16string(70, u'(') + u" VALUES (\"alice\", 'bob')" + std::u16string(70, u')');
  StatementRedactor redactor;
  const std::string redacted = kq::Utf16ToUtf8(redactor.Redact(deep));
  EXPECT_EQ(redacted.find("alice"), std::string::npos) << redacted;
  StatementFingerprint fingerprint;
  EXPECT_EQ(kq::Utf16ToUtf8(fingerprint.Of(deep)).find("alice"), std::string::npos);
}

// kqtrace's pure parts: pairing of asynchronous statements with their completions, prepared
// statements by name, the client's name and bound values as text.
#include "trace_parts.h"

#include <gtest/gtest.h>

namespace {

using kqtrace::PendingQueue;
using kqtrace::PendingStatement;
using kqtrace::ResultFacts;

PendingStatement Sent(const char* text) {
  PendingStatement statement;
  statement.Text = text;
  statement.Traced = true;
  return statement;
}

ResultFacts Rows(std::int64_t rows) {
  ResultFacts facts;
  facts.Rows = rows;
  return facts;
}

ResultFacts Error(const char* state) {
  ResultFacts facts;
  facts.Error = true;
  facts.SqlState = state;
  facts.Message = "failed";
  return facts;
}

TEST(PendingQueue, PairsAPipelineInOrderWithEachStatementsOwnOutcome) {
  PendingQueue queue;
  queue.Push(Sent("SELECT 1"));
  queue.Push(Sent("SELECT 1/0"));
  queue.Push(Sent("SELECT 2"));
  PendingStatement done;
  queue.OnResult(Rows(1));
  ASSERT_TRUE(queue.OnNull(done));
  EXPECT_EQ(done.Text, "SELECT 1");
  EXPECT_FALSE(done.Failed);
  EXPECT_EQ(done.Rows, 1);
  queue.OnResult(Error("22012"));
  ASSERT_TRUE(queue.OnNull(done));
  EXPECT_EQ(done.Text, "SELECT 1/0");
  EXPECT_TRUE(done.Failed);
  EXPECT_EQ(done.SqlState, "22012");
  ResultFacts aborted;
  aborted.Error = true;
  queue.OnResult(aborted);
  ASSERT_TRUE(queue.OnNull(done));
  EXPECT_EQ(done.Text, "SELECT 2");
  EXPECT_TRUE(done.Failed);
  EXPECT_EQ(done.SqlState, "");
  EXPECT_TRUE(queue.Empty());
}

TEST(PendingQueue, SyncResultsAndRepeatedNullsCompleteNothing) {
  PendingQueue queue;
  PendingStatement done;
  EXPECT_FALSE(queue.OnNull(done));  // nothing pending
  queue.Push(Sent("UPDATE t SET a = 1"));
  EXPECT_FALSE(queue.OnNull(done));  // no result yet: a null asked for early
  ResultFacts sync;
  sync.PipelineSync = true;
  queue.OnResult(sync);
  EXPECT_FALSE(queue.OnNull(done));  // the sync point is no statement's result
  queue.OnResult(Rows(3));
  ASSERT_TRUE(queue.OnNull(done));
  EXPECT_EQ(done.Rows, 3);
  EXPECT_FALSE(queue.OnNull(done));
}

TEST(PendingQueue, KeepsTheFirstErrorAndTheLastRowCount) {
  PendingQueue queue;
  queue.Push(Sent("COPY t FROM STDIN"));
  ResultFacts copy;  // the COPY IN result says nothing about rows
  queue.OnResult(copy);
  queue.OnResult(Rows(2));
  PendingStatement done;
  ASSERT_TRUE(queue.OnNull(done));
  EXPECT_EQ(done.Rows, 2);
  queue.Push(Sent("SELECT 1; SELECT x"));
  queue.OnResult(Rows(1));
  queue.OnResult(Error("42703"));
  queue.OnResult(Error("XX000"));
  ASSERT_TRUE(queue.OnNull(done));
  EXPECT_EQ(done.SqlState, "42703");
}

TEST(ConnectionState, PreparedNamesMapToTheirTextAndUnknownOnesAreNamed) {
  kqtrace::ConnectionState state;
  state.NotePrepared("P0_1", "SELECT $1");
  state.NotePrepared("", "SELECT 2");
  state.NotePrepared("P0_1", "SELECT $1, $2");  // prepared again under the same name
  EXPECT_EQ(state.PreparedText("P0_1"), "SELECT $1, $2");
  EXPECT_EQ(state.PreparedText(nullptr), "SELECT 2");
  EXPECT_EQ(state.PreparedText("other"), "EXECUTE other /* prepared before tracing */");
}

TEST(ClientName, ProgramAndDatabaseCutToTheDirectorysField) {
  EXPECT_EQ(kqtrace::ClientName("psql", kqtrace::PgDatabaseLabel("app", "/run/postgresql")),
            "psql app@/run/postgresql");
  EXPECT_EQ(kqtrace::ClientName("sqlite3", ""), "sqlite3");
  EXPECT_EQ(kqtrace::PgDatabaseLabel("app", nullptr), "app");
  const std::string longName = kqtrace::ClientName("python3", std::string(100, 'x'));
  EXPECT_EQ(longName.size(), kqtrace::ClientNameMax);
  // Never inside a character: 56 units then a two-byte character that still fits, then one that does not.
  const std::string accented = kqtrace::ClientName(std::string(55, 'a'), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(accented, std::string(55, 'a') + " \xC3\xA9");
}

TEST(ClientName, MalformedBytesCountAsTheReplacementsTheyBecome) {
  // Stray continuation bytes and C0 (never a lead) become one U+FFFD each, so each costs one unit.
  std::u16string units;
  kqtrace::Utf8ToUtf16(kqtrace::ClientName(std::string(30, '\x80'), std::string(40, '\xC0')), units);
  EXPECT_EQ(units.size(), kqtrace::ClientNameMax);
  // A given name is cut between characters too: 56 units, and the emoji that would need two more is left out.
  const std::string given = kqtrace::CutToClientName(std::string(56, 'n') + "\xF0\x9F\x98\x80");
  EXPECT_EQ(given, std::string(56, 'n'));
}

TEST(WithParams, DocumentedFormQuotedNullBinaryAndRedacted) {
  const char* values[] = {"O'Brien", nullptr, "\x01\x02", "a*/b"};
  const int lengths[] = {7, 0, 2, 4};
  const int formats[] = {0, 0, 1, 0};
  EXPECT_EQ(kqtrace::WithParams("SELECT $1, $2, $3, $4", 4, values, lengths, formats, false),
            "SELECT $1, $2, $3, $4 /* $1='O''Brien', $2=NULL, $3=<binary 2 bytes>, $4='a*\\/b' */");
  EXPECT_EQ(kqtrace::WithParams("SELECT $1, $2, $3, $4", 4, values, lengths, formats, true),
            "SELECT $1, $2, $3, $4 /* $1=?, $2=NULL, $3=?, $4=? */");
  EXPECT_EQ(kqtrace::WithParams("SELECT 1", 0, nullptr, nullptr, nullptr, false), "SELECT 1");
}

TEST(Utf8ToUtf16, ConvertsAndReplacesMalformedBytes) {
  std::u16string out;
  kqtrace::Utf8ToUtf16("a\xC3\xA9\xF0\x9F\x98\x80", out);
  EXPECT_EQ(out, u"a\u00E9\U0001F600");
  kqtrace::Utf8ToUtf16("x\xFFy\xC0\xAF", out);  // an invalid byte and an overlong slash
  EXPECT_EQ(out, u"x\uFFFDy\uFFFD\uFFFD");
  // Bytes F5..FF begin no sequence, whatever follows them.
  kqtrace::Utf8ToUtf16("\xF8\x80\x80|\xF5\x90\x80\x80", out);
  EXPECT_EQ(out, u"\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD\uFFFD");
  // Long ASCII runs (taken eight bytes at a time) around characters of every length, and a sequence
  // cut off at the end.
  kqtrace::Utf8ToUtf16(
      "SELECT name FROM t WHERE a = '\xC3\xA9t\xC3\xA9' AND b = '\xE2\x82\xAC' -- \xF0\x9F\x98\x80!\xE2\x82", out);
  EXPECT_EQ(out, u"SELECT name FROM t WHERE a = '\u00E9t\u00E9' AND b = '\u20AC' -- \U0001F600!\uFFFD\uFFFD");
}

}  // namespace

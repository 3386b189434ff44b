// kqmon as a user meets it: the built tools run as processes against drivers of the test helper (or
// kqdemo), each scenario in its own namespace; the tests read what the user would read.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "client_directory.h"
#include "json_value.h"
#include "test_support.h"
#include "tool_process.h"

using kqtest::JsonValue;
using kqtest::ParseJson;
using kqtest::SplitLines;
using kqtest::ToolProcess;

namespace {

std::string WriteLines(const std::string& leaf, const std::vector<std::string>& lines) {
  const std::string path = kqtest::TempPath(leaf);
  std::ofstream out(path, std::ios::binary);
  for (const std::string& line : lines) out << line << "\n";
  return path;
}

// Waits until a monitor has registered in the directory (the watch is up and waiting for a client).
bool MonitorRegistered(int timeoutMs = 30000) {
  kq::TClientDirectory directory(kq::KqDirectoryCapacity);
  return kqtest::WaitUntil([&] { return directory.MonitorID() != 0; }, timeoutMs);
}

bool StdoutReaches(const ToolProcess& tool, std::size_t lines, int timeoutMs = 30000) {
  return kqtest::WaitUntil([&] { return SplitLines(tool.Stdout()).size() >= lines; }, timeoutMs);
}

// Every line of a JSON lines output, parsed; a line that is not JSON fails the test.
std::vector<JsonValue> ParseJsonLines(const std::string& text) {
  std::vector<JsonValue> objects;
  for (const std::string& line : SplitLines(text)) {
    auto value = ParseJson(line);
    EXPECT_TRUE(value && value->Kind == JsonValue::Type::Object) << "not a JSON object: " << line;
    if (value) objects.push_back(std::move(*value));
  }
  return objects;
}

const std::regex IsoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");

std::string Repeat(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

}  // namespace

TEST(Kqmon, WatchPrintsWhatKqdemoTracesWithReferenceNumbers) {
  kqtest::ScopedNamespace ns;
  ToolProcess watch("kqmon", {"watch", "--refno", "--until-detach", "--duration", "120"});
  ASSERT_TRUE(MonitorRegistered());
  ToolProcess demo(
      "kqdemo", {"--id", "4711", "--name", "Orders DB", "--count", "9", "--rate", "0", "--wait", "5", "--no-outcomes"});
  ASSERT_EQ(demo.Wait(60000), 0) << demo.Stderr();
  ASSERT_EQ(watch.Wait(60000), 0) << watch.Stderr();
  EXPECT_NE(demo.Stderr().find("submitted 9 statement(s), 9 traced"), std::string::npos) << demo.Stderr();
  const std::vector<std::string> lines = SplitLines(watch.Stdout());
  ASSERT_EQ(lines.size(), 10u) << watch.Stdout();
  EXPECT_EQ(lines[0], "1       Orders DB  === log started for Orders DB (client 4711) ===");
  EXPECT_EQ(lines[1], "2       Orders DB  SELECT c.id, c.name, c.credit_limit FROM customers c WHERE c.id = 1000");
  EXPECT_EQ(lines[3],
            "4       Orders DB  INSERT INTO orders (customer_id, placed_at, status) VALUES (1002, CURRENT_TIMESTAMP, "
            "'open')");
  EXPECT_EQ(lines[9], "10      Orders DB  COMMIT");
  EXPECT_NE(watch.Stderr().find("10 record(s) read: 9 statement(s) printed, 0 filtered out, 1 log start(s); 0 lost in "
                                "0 gap(s)"),
            std::string::npos)
      << watch.Stderr();
}

TEST(Kqmon, JsonLinesCarryEveryFieldOfEveryRecordAndMarkTheCutOne) {
  kqtest::ScopedNamespace ns;
  const std::string longText = "SELECT '" + Repeat("x", 5000) + "'";
  const std::vector<std::string> statements = {
      "SELECT 'it''s' AS \"quoted\", 'back\\slash' FROM t",
      "SELECT\t1\r\n-- a comment with a control \x01 character",
      "INSERT INTO greetings VALUES ('Gr\xC3\xBC\xC3\x9F"
      "e', '\xE6\x97\xA5\xE6\x9C\xAC', '\xF0\x9F\x98\x80')",
      longText,
      "COMMIT",
  };
  const std::string file = WriteLines("statements.sql", statements);
  ToolProcess watch("kqmon", {"watch", "--format", "json", "--until-detach", "--duration", "120"});
  kqtest::ChildProcess driver({"line-driver", "21", "json \"client\"", file, "1", "200"});
  ASSERT_EQ(driver.Wait(60000), 0);
  ASSERT_EQ(watch.Wait(60000), 0) << watch.Stderr();

  // The newline inside the second statement splits it into two statements of the driver's file; the
  // file reader of the helper sees "SELECT\t1\r" and the comment line.
  std::vector<std::string> expected = {statements[0], "SELECT\t1", "-- a comment with a control \x01 character",
                                       statements[2], longText,    "COMMIT"};
  const std::vector<JsonValue> objects = ParseJsonLines(watch.Stdout());
  ASSERT_EQ(objects.size(), expected.size() + 1) << watch.Stdout();
  EXPECT_EQ(objects[0]["kind"].String, "log_started");
  EXPECT_EQ(objects[0]["kq.log_name"].String, "json \"client\"");
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const JsonValue& object = objects[i];
    EXPECT_TRUE(std::regex_match(object["time"].String, IsoTime)) << object["time"].String;
    EXPECT_EQ(object["kq.client.id"].Number, 21);
    EXPECT_EQ(object["kq.client.name"].String, "json \"client\"");
    EXPECT_EQ(object["kq.ref_no"].Number, static_cast<double>(i + 1));
    if (i == 0) continue;
    EXPECT_EQ(object["kind"].String, "statement");
    const std::string& text = object["db.query.text"].String;
    const bool cut = expected[i - 1] == longText;
    EXPECT_EQ(object["cut"].Kind, JsonValue::Type::Bool);
    EXPECT_EQ(object["cut"].Bool, cut) << i;
    if (cut) {
      // Half of a 16 KB block, less the record head and the NUL: 4085 characters.
      EXPECT_EQ(text.size(), 4085u);
      EXPECT_EQ(longText.compare(0, text.size(), text), 0);
    } else {
      EXPECT_EQ(text, expected[i - 1]);
    }
  }
  EXPECT_EQ(objects[1].Keys, (std::vector<std::string>{"kind", "time", "kq.client.id", "kq.client.name", "kq.ref_no",
                                                       "db.query.text", "cut"}));
}

TEST(Kqmon, TextShowsTheDateWithMillisecondsTheLogStartAndACutMark) {
  kqtest::ScopedNamespace ns;
  const std::string shortText = "SELECT 1";
  const std::string longText = "SELECT a, b, c, d, e, f, g FROM a_table_with_a_long_name WHERE a = 1 AND b = 2";
  const std::string file = WriteLines("statements.sql", {shortText, longText});
  ToolProcess watch("kqmon",
                    {"watch", "--refno", "--time", "--buffer-size", "1", "--until-detach", "--duration", "120"});
  kqtest::ChildProcess driver({"line-driver", "22", "Tiny", file, "1", "200"});
  ASSERT_EQ(driver.Wait(60000), 0);
  ASSERT_EQ(watch.Wait(60000), 0) << watch.Stderr();
  const std::vector<std::string> lines = SplitLines(watch.Stdout());
  ASSERT_EQ(lines.size(), 3u) << watch.Stdout();
  const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";
  EXPECT_TRUE(std::regex_match(lines[0],
                               std::regex("1       " + stamp + "  Tiny  === log started for Tiny \\(client 22\\) ===")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("2       " + stamp + "  Tiny  SELECT 1"))) << lines[1];
  // A 1 KB ring has blocks of 256 bytes; a record may take half of one: 53 characters and the NUL.
  const std::string cutLine = lines[2];
  ASSERT_TRUE(std::regex_match(cutLine, std::regex("3       " + stamp + "  Tiny  (.*) \\[cut\\]"))) << cutLine;
  const std::size_t textAt = 8 + 23 + 2 + 6;  // after the reference number, the time and the client
  const std::string shown = cutLine.substr(textAt, cutLine.size() - textAt - 6);
  EXPECT_EQ(shown, longText.substr(0, 53));
  EXPECT_EQ(watch.Stdout().find('\x1b'), std::string::npos) << "no colour when the output is a file";
}

TEST(Kqmon, ClientByNameGrepAndRedactShowOnlyWhatWasAskedAndCountTheRest) {
  kqtest::ScopedNamespace ns;
  const std::string other = WriteLines("other.sql", {"SELECT secret FROM other_orders WHERE pin = 1234"});
  const std::string mine = WriteLines("mine.sql", {"SELECT * FROM users WHERE name = 'alice'",
                                                   "select id from ORDERS where total > 100 and note = 'x''y'",
                                                   "UPDATE orders_archive SET moved = 1", "DELETE FROM carts"});
  kqtest::ChildProcess first({"line-driver", "31", "first one", other, "1", "60000"});
  kqtest::ChildProcess second({"line-driver", "32", "second one", mine, "1", "500"});
  {
    kq::TClientDirectory directory(kq::KqDirectoryCapacity);
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.Count() == 2; }, 30000));
  }
  ToolProcess watch("kqmon", {"watch", "--client", "second one", "--grep", "orders", "--redact", "--until-detach",
                              "--duration", "120"});
  ASSERT_EQ(second.Wait(60000), 0);
  ASSERT_EQ(watch.Wait(60000), 0) << watch.Stderr();
  EXPECT_EQ(SplitLines(watch.Stdout()),
            (std::vector<std::string>{"second one  === log started for second one (client 32) ===",
                                      "second one  select id from ORDERS where total > ? and note = ?",
                                      "second one  UPDATE orders_archive SET moved = ?"}));
  EXPECT_NE(watch.Stderr().find("5 record(s) read: 2 statement(s) printed, 2 filtered out, 1 log start(s); 0 lost in 0 "
                                "gap(s)"),
            std::string::npos)
      << watch.Stderr();
}

TEST(Kqmon, ASecondWatchRefusesNamingTheFirstWhichWatchesOnUndisturbed) {
  kqtest::ScopedNamespace ns;
  const std::string file = WriteLines("statements.sql", {"SELECT 41"});
  kqtest::ChildProcess watched({"line-driver", "41", "watched", file, "1", "3000"});
  kqtest::ChildProcess bystander({"line-driver", "42", "bystander", file, "1", "0"});
  ToolProcess first("kqmon", {"watch", "--client", "41", "--until-detach", "--duration", "120"});
  ASSERT_TRUE(StdoutReaches(first, 2)) << first.Stderr();

  kqtest::ToolResult second = kqtest::RunTool("kqmon", {"watch", "--client", "42", "--duration", "30"});
  EXPECT_EQ(second.ExitCode, 1);
  EXPECT_NE(second.Stderr.find("monitor " + std::to_string(first.ProcessID()) + " is already watching"),
            std::string::npos)
      << second.Stderr;
  EXPECT_EQ(second.Stdout, "");

  ASSERT_EQ(watched.Wait(60000), 0);
  ASSERT_EQ(first.Wait(60000), 0) << first.Stderr();
  EXPECT_EQ(SplitLines(first.Stdout()),
            (std::vector<std::string>{"watched  === log started for watched (client 41) ===", "watched  SELECT 41"}));
  kqtest::ToolResult list = kqtest::RunTool("kqmon", {"list"});
  EXPECT_EQ(SplitLines(list.Stdout).at(0), "no monitor is registered (kqmon watch starts one)")
      << "both monitors handed the registration back";
}

TEST(Kqmon, ReallocBesideAWatchRefusesAndTheWatchKeepsEveryStatement) {
  kqtest::ScopedNamespace ns;
  ToolProcess watch("kqmon", {"watch", "--refno", "--until-detach", "--duration", "120"});
  kqtest::ChildProcess driver({"driver", "51", "150", "20", "0"});
  ASSERT_TRUE(StdoutReaches(watch, 5)) << watch.Stderr();

  kqtest::ToolResult realloc = kqtest::RunTool("kqmon", {"realloc", "8", "--client", "51"});
  EXPECT_EQ(realloc.ExitCode, 1);
  EXPECT_NE(realloc.Stderr.find("monitor " + std::to_string(watch.ProcessID()) + " is watching"), std::string::npos)
      << realloc.Stderr;
  kqtest::ToolResult list = kqtest::RunTool("kqmon", {"list"});
  EXPECT_NE(list.Stdout.find("driver51"), std::string::npos) << "the client stays listed: " << list.Stdout;

  ASSERT_EQ(driver.Wait(60000), 0);
  ASSERT_EQ(watch.Wait(60000), 0) << "--until-detach returns: " << watch.Stderr();
  const std::vector<std::string> lines = SplitLines(watch.Stdout());
  ASSERT_EQ(lines.size(), 151u);
  for (int i = 0; i < 150; ++i) {
    std::string refNo = std::to_string(i + 2);
    refNo.resize(6, ' ');
    ASSERT_EQ(lines[static_cast<std::size_t>(i) + 1], refNo + "  driver51  stmt " + std::to_string(i));
  }
}

TEST(Kqmon, SignalSaysWhyNobodyCanReceiveAndReachesAWatchedKqdemo) {
  kqtest::ScopedNamespace ns;
  kqtest::ToolResult none = kqtest::RunTool("kqmon", {"signal", "61", "42"});
  EXPECT_EQ(none.ExitCode, 1);
  EXPECT_NE(none.Stderr.find("no client with ID 61 is registered"), std::string::npos) << none.Stderr;

  ToolProcess demo("kqdemo", {"--id", "61", "--count", "60", "--rate", "10", "--wait", "30"});
  {
    kq::TClientDirectory directory(kq::KqDirectoryCapacity);
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.FindClient(61) != -1; }, 30000));
  }
  kqtest::ToolResult unconnected = kqtest::RunTool("kqmon", {"signal", "61", "42"});
  EXPECT_EQ(unconnected.ExitCode, 1);
  EXPECT_NE(unconnected.Stderr.find("client 61 is not connected"), std::string::npos) << unconnected.Stderr;

  ToolProcess watch("kqmon", {"watch", "--client", "61", "--until-detach", "--duration", "120"});
  ASSERT_TRUE(StdoutReaches(watch, 1)) << watch.Stderr();
  kqtest::ToolResult sent = kqtest::RunTool("kqmon", {"signal", "61", "42"});
  EXPECT_EQ(sent.ExitCode, 0) << sent.Stderr;
  ASSERT_TRUE(kqtest::WaitUntil([&] { return demo.Stdout().find("the monitor sent 42") != std::string::npos; }, 30000))
      << demo.Stdout();
  demo.Kill();
}

TEST(Kqmon, ListSaysWhenNoMonitorIsRegisteredAndListsClientsAsJson) {
  kqtest::ScopedNamespace ns;
  kqtest::ToolResult empty = kqtest::RunTool("kqmon", {"list"});
  EXPECT_EQ(empty.ExitCode, 0);
  EXPECT_EQ(SplitLines(empty.Stdout),
            (std::vector<std::string>{"no monitor is registered (kqmon watch starts one)", "no client is registered"}));

  const std::string file = WriteLines("none.sql", {});
  kqtest::ChildProcess driver({"line-driver", "71", "json client", file, "1", "0"});
  kq::TClientDirectory directory(kq::KqDirectoryCapacity);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.FindClient(71) != -1; }, 30000));
  kqtest::ToolResult list = kqtest::RunTool("kqmon", {"list", "--format", "json"});
  EXPECT_EQ(list.ExitCode, 0);
  const std::vector<JsonValue> objects = ParseJsonLines(list.Stdout);
  ASSERT_EQ(objects.size(), 2u) << list.Stdout;
  EXPECT_EQ(objects[0]["kind"].String, "monitor");
  EXPECT_EQ(objects[0]["kq.monitor.id"].Kind, JsonValue::Type::Null);
  EXPECT_EQ(objects[0]["kq.client.count"].Number, 1);
  EXPECT_EQ(objects[1]["kind"].String, "client");
  EXPECT_EQ(objects[1]["kq.client.id"].Number, 71);
  EXPECT_EQ(objects[1]["kq.client.name"].String, "json client");
  EXPECT_EQ(objects[1]["position"].Number, 1);
  driver.Kill();
}

TEST(Kqmon, AWatchedClientThatIsKilledEndsTheWatchAndListsAsDead) {
  kqtest::ScopedNamespace ns;
  kq::TClientDirectory directory(
      kq::KqDirectoryCapacity);  // held, as any other process may, so the table outlives the watch
  ToolProcess watch("kqmon", {"watch", "--until-detach", "--duration", "120"});
  ASSERT_TRUE(MonitorRegistered());
  kqtest::ChildProcess doomed({"driver", "34", "1000000", "5", "-1"});
  ASSERT_TRUE(StdoutReaches(watch, 2)) << watch.Stderr();
  doomed.Kill();
  ASSERT_TRUE(doomed.Wait(10000));
  ASSERT_EQ(watch.Wait(60000), 0) << "--until-detach returns: " << watch.Stderr();
  EXPECT_NE(watch.Stderr().find("kqmon: client 34 (driver34) ended without detaching"), std::string::npos)
      << watch.Stderr();

  kqtest::ToolResult list = kqtest::RunTool("kqmon", {"list"});
  EXPECT_NE(list.Stdout.find("   1           34  dead     driver34"), std::string::npos) << list.Stdout;
  kqtest::ToolResult json = kqtest::RunTool("kqmon", {"list", "--format", "json"});
  const std::vector<JsonValue> objects = ParseJsonLines(json.Stdout);
  ASSERT_EQ(objects.size(), 2u) << json.Stdout;
  EXPECT_TRUE(objects[1]["dead"].Bool);
}

TEST(Kqdemo, ARefusedAttachSaysWhy) {
  kqtest::ScopedNamespace ns;
  kqtest::ChildProcess owner({"driver", "4712", "0", "0", "-1"});
  kq::TClientDirectory directory(kq::KqDirectoryCapacity);
  ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.FindClient(4712) != -1; }, 30000));
  kqtest::ToolResult demo = kqtest::RunTool("kqdemo", {"--id", "4712", "--count", "1", "--wait", "0"});
  EXPECT_EQ(demo.ExitCode, 1);
  EXPECT_NE(demo.Stderr.find("kqdemo: client 4712 could not be attached: Client ID not unique"), std::string::npos)
      << demo.Stderr;
  EXPECT_NE(directory.FindClient(4712), -1) << "the owner's entry stays";
}

TEST(Kqdemo, TheLongestWaitTheCommandLineTakesIsAWaitNotAnOverflow) {
  // The largest --wait is still a wait: the demo gives the monitor its time before it submits.
  kqtest::ScopedNamespace ns;
  kqtest::ToolProcess demo("kqdemo", {"--id", "4713", "--count", "1", "--wait", "2147483647"});
  ASSERT_TRUE(demo.Started());
  const std::optional<int> early = demo.Wait(1500);
  EXPECT_FALSE(early.has_value()) << "ended at once with " << early.value_or(0) << ": " << demo.Stderr();
  EXPECT_NE(demo.Stderr().find("a monitor has 2147483647 s to connect"), std::string::npos) << demo.Stderr();
  demo.Kill();
}

TEST(Kqmon, TopCountsStatementsByFingerprintAndFlagsABurst) {
  kqtest::ScopedNamespace ns;
  const std::string file =
      WriteLines("statements.sql", {"SELECT * FROM t WHERE id = 1", "SELECT *  FROM t WHERE id = 22",
                                    "SELECT * FROM u WHERE name IN ('a', 'b', 'c')"});
  ToolProcess top("kqmon", {"top", "--format", "json", "--until-detach", "--duration", "120", "--burst", "20",
                            "--burst-window", "600000"});
  kqtest::ChildProcess driver({"line-driver", "81", "busy", file, "30", "200"});
  ASSERT_EQ(driver.Wait(60000), 0);
  ASSERT_EQ(top.Wait(60000), 0) << top.Stderr();
  const std::vector<JsonValue> objects = ParseJsonLines(top.Stdout());
  ASSERT_EQ(objects.size(), 3u) << top.Stdout();
  EXPECT_EQ(objects[0]["kind"].String, "fingerprint");
  EXPECT_EQ(objects[0]["kq.fingerprint"].String, "SELECT * FROM t WHERE id = ?");
  EXPECT_EQ(objects[0]["count"].Number, 60);
  EXPECT_NEAR(objects[0]["share"].Number, 0.6667, 0.0001);
  EXPECT_EQ(objects[0]["bursts"].Number, 3) << "60 in the window are three runs of 20";
  EXPECT_TRUE(std::regex_match(objects[0]["first_seen"].String, IsoTime));
  EXPECT_LE(objects[0]["first_seen"].String, objects[0]["last_seen"].String);
  EXPECT_EQ(objects[1]["kq.fingerprint"].String, "SELECT * FROM u WHERE name IN (?+)");
  EXPECT_EQ(objects[1]["count"].Number, 30);
  EXPECT_EQ(objects[1]["bursts"].Number, 1);
  EXPECT_EQ(objects[2]["kind"].String, "top_summary");
  EXPECT_EQ(objects[2]["statements"].Number, 90);
  EXPECT_EQ(objects[2]["fingerprints"].Number, 2);
  EXPECT_EQ(objects[2]["lost"].Number, 0);
}

TEST(Kqmon, OutputFileRotatesBetweenLinesAndKeepsTheNewestFiles) {
  kqtest::ScopedNamespace ns;
  const std::string output = kqtest::TempPath("trace.jsonl");
  ToolProcess watch("kqmon", {"watch", "--format", "json", "--output", output, "--rotate-size", "0.01", "--rotate-keep",
                              "2", "--until-detach", "--duration", "120", "--buffer-size", "1024"});
  kqtest::ChildProcess driver({"driver", "91", "400", "0", "200"});
  ASSERT_EQ(driver.Wait(60000), 0);
  ASSERT_EQ(watch.Wait(60000), 0) << watch.Stderr();
  EXPECT_EQ(watch.Stdout(), "");
  EXPECT_FALSE(std::filesystem::exists(output + ".3")) << "only two old files are kept";
  std::vector<double> refNos;
  for (const char* suffix : {".2", ".1", ""}) {
    const std::string text = kqtest::ReadFile(output + suffix);
    EXPECT_LE(text.size(), 10486u) << suffix;
    ASSERT_FALSE(text.empty()) << suffix;
    EXPECT_EQ(text.back(), '\n') << "files end between lines";
    for (const JsonValue& object : ParseJsonLines(text)) refNos.push_back(object["kq.ref_no"].Number);
  }
  ASSERT_FALSE(refNos.empty());
  EXPECT_EQ(refNos.back(), 401);
  for (std::size_t i = 1; i < refNos.size(); ++i) ASSERT_EQ(refNos[i], refNos[i - 1] + 1);
}

TEST(Kqmon, EveryRecordOfAFloodIsPrintedOrReportedInAGap) {
  kqtest::ScopedNamespace ns;
  ToolProcess watch("kqmon",
                    {"watch", "--format", "json", "--buffer-size", "2", "--until-detach", "--duration", "120"});
  const int count = 30000;
  kqtest::ChildProcess driver({"driver", "95", std::to_string(count), "0", "200"});
  ASSERT_EQ(driver.Wait(120000), 0);
  ASSERT_EQ(watch.Wait(120000), 0) << watch.Stderr();
  double next = 1, printed = 0, missing = 0;
  for (const JsonValue& object : ParseJsonLines(watch.Stdout())) {
    if (object["kind"].String == "gap") {
      ASSERT_EQ(object["kq.gap.from_ref_no"].Number, next);
      next += object["kq.gap.missing"].Number;
      missing += object["kq.gap.missing"].Number;
    } else {
      ASSERT_EQ(object["kq.ref_no"].Number, next);
      ++next;
      ++printed;
    }
  }
  EXPECT_EQ(next, count + 2) << "every reference number was printed or reported missing";
  EXPECT_NE(watch.Stderr().find(std::to_string(static_cast<long long>(printed + 0.5)) + " record(s) read"),
            std::string::npos)
      << watch.Stderr();
  EXPECT_NE(watch.Stderr().find(std::to_string(static_cast<long long>(missing + 0.5)) + " lost in"), std::string::npos)
      << watch.Stderr();
}

TEST(Kqmon, UsageErrorsExitTwoAndEveryCommandExplainsItself) {
  kqtest::ScopedNamespace ns;
  for (const char* command : {"list", "ping", "watch", "top", "signal", "realloc"}) {
    kqtest::ToolResult help = kqtest::RunTool("kqmon", {command, "--help"});
    EXPECT_EQ(help.ExitCode, 0) << command;
    EXPECT_NE(help.Stdout.find(std::string("Usage: kqmon ") + command), std::string::npos) << help.Stdout;
  }
  kqtest::ToolResult version = kqtest::RunTool("kqmon", {"--version"});
  EXPECT_EQ(version.ExitCode, 0);
  EXPECT_EQ(version.Stdout.rfind("kqmon ", 0), 0u) << version.Stdout;
  version = kqtest::RunTool("kqdemo", {"--version"});
  EXPECT_EQ(version.ExitCode, 0);
  EXPECT_EQ(version.Stdout.rfind("kqdemo ", 0), 0u) << version.Stdout;
  const std::vector<std::vector<std::string>> wrong = {{},
                                                       {"frobnicate"},
                                                       {"watch", "--no-such-option"},
                                                       {"watch", "--buffer-size", "0"},
                                                       {"watch", "--format", "xml"},
                                                       {"watch", "--rotate-size", "1"},
                                                       {"signal", "x", "1"},
                                                       {"signal", "1"},
                                                       {"realloc"},
                                                       {"top", "--limit", "0"}};
  for (const auto& args : wrong) {
    kqtest::ToolResult result = kqtest::RunTool("kqmon", args);
    EXPECT_EQ(result.ExitCode, 2) << (args.empty() ? "(none)" : args[0]) << " " << result.Stderr;
    EXPECT_FALSE(result.Stderr.empty());
  }
  EXPECT_EQ(kqtest::RunTool("kqdemo", {"--count", "-1"}).ExitCode, 2);
}

namespace {

// Milliseconds since midnight of an ISO time stamp of ours ("...THH:MM:SS.mmm+hh:mm").
double TimeOfDayMs(const std::string& iso) {
  const std::size_t t = iso.find('T');
  if (t == std::string::npos || iso.size() < t + 13) return -1;
  return ((std::stoi(iso.substr(t + 1, 2)) * 60 + std::stoi(iso.substr(t + 4, 2))) * 60 +
          std::stoi(iso.substr(t + 7, 2))) *
             1000.0 +
         std::stoi(iso.substr(t + 10, 3));
}

// kqdemo's statement file with the outcome each statement reports (a line of its own before it).
std::string OutcomeFile() {
  return WriteLines("outcomes.sql", {
                                        "-- kq-outcome: duration_us=250000 rows=12 status=ok",
                                        "SELECT * FROM orders WHERE customer_id = 7",
                                        "-- kq-outcome: duration_us=1500 status=error sqlstate=23505 code=1062 "
                                        "message=duplicate key \"orders_pkey\" (id)=(7)",
                                        "INSERT INTO orders VALUES (7)",
                                        "SELECT 'no outcome'",
                                        "-- kq-outcome: rows=3",
                                        "UPDATE t SET a = 1",
                                    });
}

// Every JSON object of a watch's output that came from one client.
std::vector<JsonValue> OfClient(const std::vector<JsonValue>& objects, int id) {
  std::vector<JsonValue> out;
  for (const JsonValue& object : objects)
    if (object["kq.client.id"].Number == id) out.push_back(object);
  return out;
}

// The watch's closing account of one client on standard error: {records read, lost, gap lines}.
std::optional<std::array<long long, 3>> AccountOf(const std::string& err, int id, const std::string& name) {
  const std::regex line("kqmon: client " + std::to_string(id) + " \\(" + name +
                        "\\): (\\d+) record\\(s\\) read; (\\d+) lost in (\\d+) gap\\(s\\)");
  std::smatch match;
  if (!std::regex_search(err, match, line)) return std::nullopt;
  return std::array<long long, 3>{std::stoll(match[1]), std::stoll(match[2]), std::stoll(match[3])};
}

bool HasStatementOf(const ToolProcess& watch, int id) {
  const std::string key = "\"kq.client.id\":" + std::to_string(id) + ",";
  for (const std::string& line : SplitLines(watch.Stdout()))
    if (line.find("\"kind\":\"statement\"") != std::string::npos && line.find(key) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(Kqmon, OutcomesFromKqdemoReachEveryJsonFieldWithTheStartBeforeTheEnd) {
  kqtest::ScopedNamespace ns;
  const std::string file = OutcomeFile();
  ToolProcess watch("kqmon", {"watch", "--format", "json", "--until-detach", "--duration", "120"});
  ASSERT_TRUE(MonitorRegistered());
  ToolProcess demo("kqdemo", {"--id", "4720", "--name", "outcomes", "--file", file, "--wait", "5"});
  ASSERT_EQ(demo.Wait(60000), 0) << demo.Stderr();
  ASSERT_EQ(watch.Wait(60000), 0) << watch.Stderr();
  const std::vector<JsonValue> objects = ParseJsonLines(watch.Stdout());
  ASSERT_EQ(objects.size(), 5u) << watch.Stdout();
  const std::vector<std::string> withOutcome = {"kind",
                                                "time",
                                                "kq.client.id",
                                                "kq.client.name",
                                                "kq.ref_no",
                                                "db.query.text",
                                                "cut",
                                                "kq.end_time",
                                                "kq.duration_ms",
                                                "db.response.returned_rows",
                                                "kq.status",
                                                "db.response.status_code",
                                                "kq.error.native_code",
                                                "kq.error.message"};

  const JsonValue& slow = objects[1];
  EXPECT_EQ(slow.Keys, withOutcome);
  EXPECT_EQ(slow["db.query.text"].String, "SELECT * FROM orders WHERE customer_id = 7");
  EXPECT_EQ(slow["kq.duration_ms"].Number, 250.0);
  EXPECT_EQ(slow["db.response.returned_rows"].Number, 12);
  EXPECT_EQ(slow["kq.status"].String, "ok");
  EXPECT_EQ(slow["db.response.status_code"].Kind, JsonValue::Type::Null);
  EXPECT_EQ(slow["kq.error.native_code"].Number, 0);
  EXPECT_EQ(slow["kq.error.message"].String, "");
  ASSERT_TRUE(std::regex_match(slow["kq.end_time"].String, IsoTime)) << slow["kq.end_time"].String;
  // The record's tick is the completion: the shown time is the start, the duration before it.
  EXPECT_NEAR(TimeOfDayMs(slow["kq.end_time"].String) - TimeOfDayMs(slow["time"].String), 250.0, 1.0)
      << slow["time"].String << " " << slow["kq.end_time"].String;

  const JsonValue& failed = objects[2];
  EXPECT_EQ(failed.Keys, withOutcome);
  EXPECT_EQ(failed["kq.duration_ms"].Number, 1.5);
  EXPECT_EQ(failed["db.response.returned_rows"].Kind, JsonValue::Type::Null);
  EXPECT_EQ(failed["kq.status"].String, "error");
  EXPECT_EQ(failed["db.response.status_code"].String, "23505");
  EXPECT_EQ(failed["kq.error.native_code"].Number, 1062);
  EXPECT_EQ(failed["kq.error.message"].String, "duplicate key \"orders_pkey\" (id)=(7)");

  // A statement sent without an outcome keeps the members it always had.
  EXPECT_EQ(objects[3].Keys, (std::vector<std::string>{"kind", "time", "kq.client.id", "kq.client.name", "kq.ref_no",
                                                       "db.query.text", "cut"}));
  EXPECT_EQ(objects[3]["db.query.text"].String, "SELECT 'no outcome'");

  const JsonValue& partial = objects[4];
  EXPECT_EQ(partial["kq.duration_ms"].Kind, JsonValue::Type::Null);
  EXPECT_EQ(partial["db.response.returned_rows"].Number, 3);
  EXPECT_EQ(partial["kq.status"].String, "ok");
  EXPECT_EQ(partial["time"].String, partial["kq.end_time"].String) << "no duration: start and end are one";
}

TEST(Kqmon, TextShowsDurationRowsAndAFailedWordAndMinDurationKeepsTheSlowOnes) {
  kqtest::ScopedNamespace ns;
  const std::string file = OutcomeFile();
  ToolProcess watch("kqmon", {"watch", "--until-detach", "--duration", "120", "--color", "never"});
  ASSERT_TRUE(MonitorRegistered());
  ToolProcess demo("kqdemo", {"--id", "4721", "--file", file, "--wait", "5"});
  ASSERT_EQ(demo.Wait(60000), 0) << demo.Stderr();
  ASSERT_EQ(watch.Wait(60000), 0) << watch.Stderr();
  const std::vector<std::string> lines = SplitLines(watch.Stdout());
  ASSERT_EQ(lines.size(), 5u) << watch.Stdout();
  // The client column (kqdemo's default name), then the outcome's.
  EXPECT_EQ(lines[1], "kqdemo     250.000 ms       12 rows  ok      SELECT * FROM orders WHERE customer_id = 7");
  EXPECT_EQ(lines[2],
            "kqdemo       1.500 ms        - rows  FAILED  INSERT INTO orders VALUES (7)  -- SQLSTATE 23505 code 1062 : "
            "duplicate key \"orders_pkey\" (id)=(7)");
  EXPECT_EQ(lines[3], "kqdemo  SELECT 'no outcome'");
  EXPECT_EQ(lines[4], "kqdemo           - ms        3 rows  ok      UPDATE t SET a = 1");

  // The slow-statement log: only what ran at least 2 ms; the rest is counted as filtered.
  kqtest::ScopedNamespace again;
  ToolProcess slow("kqmon",
                   {"watch", "--until-detach", "--duration", "120", "--color", "always", "--min-duration", "2"});
  ASSERT_TRUE(MonitorRegistered());
  ToolProcess demo2("kqdemo", {"--id", "4722", "--file", file, "--wait", "5"});
  ASSERT_EQ(demo2.Wait(60000), 0) << demo2.Stderr();
  ASSERT_EQ(slow.Wait(60000), 0) << slow.Stderr();
  const std::vector<std::string> kept = SplitLines(slow.Stdout());
  ASSERT_EQ(kept.size(), 2u) << slow.Stdout();
  EXPECT_NE(kept[1].find("250.000 ms"), std::string::npos) << kept[1];
  EXPECT_NE(slow.Stderr().find("1 statement(s) printed, 3 filtered out"), std::string::npos) << slow.Stderr();
}

TEST(Kqmon, TopIsAStatementStatisticsViewSortedByTotalTime) {
  kqtest::ScopedNamespace ns;
  std::vector<std::string> lines;
  // Ten quick point reads (1 ms each, one row) and two slow reports (100 and 300 ms), one failing.
  for (int i = 0; i < 10; ++i) {
    lines.push_back("-- kq-outcome: duration_us=1000 rows=1");
    lines.push_back("SELECT * FROM t WHERE id = " + std::to_string(i));
  }
  lines.push_back("-- kq-outcome: duration_us=100000 rows=40");
  lines.push_back("SELECT region, SUM(total) FROM orders WHERE year = 2025 GROUP BY region");
  lines.push_back("-- kq-outcome: duration_us=300000 status=error sqlstate=57014 code=3024 message=timeout");
  lines.push_back("SELECT region, SUM(total) FROM orders WHERE year = 2026 GROUP BY region");
  const std::string file = WriteLines("top.sql", lines);
  ToolProcess top("kqmon", {"top", "--format", "json", "--until-detach", "--duration", "120"});
  ASSERT_TRUE(MonitorRegistered());
  ToolProcess demo("kqdemo", {"--id", "4723", "--file", file, "--wait", "5"});
  ASSERT_EQ(demo.Wait(60000), 0) << demo.Stderr();
  ASSERT_EQ(top.Wait(60000), 0) << top.Stderr();
  const std::vector<JsonValue> objects = ParseJsonLines(top.Stdout());
  ASSERT_EQ(objects.size(), 3u) << top.Stdout();
  // The report runs twice as few times but takes most of the time: it comes first.
  const JsonValue& report = objects[0];
  EXPECT_EQ(report["kq.fingerprint"].String, "SELECT region, SUM(total) FROM orders WHERE year = ? GROUP BY region");
  EXPECT_EQ(report["count"].Number, 2);
  EXPECT_EQ(report["kq.timed_calls"].Number, 2);
  EXPECT_EQ(report["kq.duration.total_ms"].Number, 400);
  EXPECT_EQ(report["kq.duration.mean_ms"].Number, 200);
  EXPECT_EQ(report["kq.duration.max_ms"].Number, 300);
  // Read from buckets a tenth apart: at least the exact 300 ms, at most a tenth above.
  EXPECT_GE(report["kq.duration.p95_ms"].Number, 300);
  EXPECT_LE(report["kq.duration.p95_ms"].Number, 330);
  EXPECT_EQ(report["db.response.returned_rows"].Number, 40);
  EXPECT_EQ(report["kq.errors"].Number, 1);
  const JsonValue& point = objects[1];
  EXPECT_EQ(point["kq.fingerprint"].String, "SELECT * FROM t WHERE id = ?");
  EXPECT_EQ(point["count"].Number, 10);
  EXPECT_EQ(point["kq.duration.total_ms"].Number, 10);
  EXPECT_EQ(point["kq.duration.mean_ms"].Number, 1);
  EXPECT_EQ(point["kq.duration.max_ms"].Number, 1);
  EXPECT_GE(point["kq.duration.p95_ms"].Number, 1);
  EXPECT_LE(point["kq.duration.p95_ms"].Number, 1.1);
  EXPECT_EQ(point["db.response.returned_rows"].Number, 10);
  EXPECT_EQ(point["kq.errors"].Number, 0);
  EXPECT_EQ(objects[2]["statements"].Number, 12);
}

TEST(Kqdemo, TheWorkloadSendsRealisticOutcomesAndNowAndThenAnError) {
  kqtest::ScopedNamespace ns;
  // A ring that holds the whole run: every statement is read, none lost in a gap.
  ToolProcess watch("kqmon",
                    {"watch", "--format", "json", "--until-detach", "--duration", "120", "--buffer-size", "1024"});
  ASSERT_TRUE(MonitorRegistered());
  ToolProcess demo("kqdemo", {"--id", "4724", "--count", "300", "--rate", "2000", "--wait", "5"});
  ASSERT_EQ(demo.Wait(60000), 0) << demo.Stderr();
  ASSERT_EQ(watch.Wait(60000), 0) << watch.Stderr();
  const std::vector<JsonValue> objects = ParseJsonLines(watch.Stdout());
  ASSERT_EQ(objects.size(), 301u) << watch.Stderr();
  int errors = 0;
  double longest = 0;
  for (std::size_t i = 1; i < objects.size(); ++i) {
    const JsonValue& object = objects[i];
    ASSERT_EQ(object["kq.duration_ms"].Kind, JsonValue::Type::Number) << i;
    EXPECT_GT(object["kq.duration_ms"].Number, 0);
    longest = std::max(longest, object["kq.duration_ms"].Number);
    if (object["kq.status"].String == "error") {
      ++errors;
      EXPECT_EQ(object["db.response.status_code"].String.size(), 5u);
      EXPECT_NE(object["kq.error.native_code"].Number, 0);
      EXPECT_FALSE(object["kq.error.message"].String.empty());
    } else {
      EXPECT_EQ(object["kq.status"].String, "ok");
      EXPECT_GE(object["db.response.returned_rows"].Number, 0);
    }
  }
  EXPECT_GT(errors, 0);
  EXPECT_LT(errors, 30) << "now and then, not often";
  EXPECT_GT(longest, 20.0) << "a long tail";
}

// Backlogs of several thousand records per client, read at once from rings that hold them all: the
// watch hands them on in batches of its own size, and every record comes out once, in order, with
// its own client's label.
TEST(Kqmon, LargeBacklogsOfSeveralClientsComeOutWholeInOrderAndLabelled) {
  kqtest::ScopedNamespace ns;
  ToolProcess watch("kqmon",
                    {"watch", "--format", "json", "--buffer-size", "2048", "--until-detach", "--duration", "120"});
  ASSERT_TRUE(MonitorRegistered());
  const int count = 5000;
  std::vector<std::unique_ptr<kqtest::ChildProcess>> drivers;
  for (const char* id : {"61", "62", "63"})
    drivers.push_back(std::make_unique<kqtest::ChildProcess>(
        std::vector<std::string>{"driver", id, std::to_string(count), "0", "2000"}));
  for (auto& driver : drivers) ASSERT_EQ(driver->Wait(120000), 0);
  ASSERT_EQ(watch.Wait(120000), 0) << watch.Stderr();
  const std::vector<JsonValue> objects = ParseJsonLines(watch.Stdout());
  for (int id : {61, 62, 63}) {
    SCOPED_TRACE(id);
    const std::vector<JsonValue> mine = OfClient(objects, id);
    ASSERT_EQ(mine.size(), static_cast<std::size_t>(count + 1)) << "the log start and every statement";
    for (std::size_t i = 0; i < mine.size(); ++i) {
      ASSERT_EQ(mine[i]["kq.ref_no"].Number, static_cast<double>(i + 1));
      ASSERT_EQ(mine[i]["kq.client.name"].String, "driver" + std::to_string(id));
      if (i > 0) {
        ASSERT_EQ(mine[i]["db.query.text"].String, "stmt " + std::to_string(i - 1));
      }
    }
  }
}

TEST(Kqmon, OneWatchShowsEveryClientLabelledWithJoinsLeavingsAndExactAccountsPerClient) {
  kqtest::ScopedNamespace ns;
  ToolProcess watch("kqmon", {"watch", "--format", "json", "--until-detach", "--duration", "300"});
  ASSERT_TRUE(MonitorRegistered());
  ToolProcess alpha("kqdemo", {"--id", "201", "--name", "alpha", "--count", "40", "--rate", "20", "--wait", "30"});
  ToolProcess beta("kqdemo", {"--id", "202", "--name", "beta", "--count", "40", "--rate", "20", "--wait", "30"});
  // Knows only the shared objects: attached through the shared buffer beside the clients of ours.
  const std::string rawResult = kqtest::TempPath("raw.txt");
  kqtest::ChildProcess raw({"raw-client", "205", "30", "20", rawResult});
  // Runs until it is killed, which keeps the watch (--until-detach) going while the others come and go.
  ToolProcess doomed("kqdemo",
                     {"--id", "204", "--name", "doomed", "--count", "1000000", "--rate", "20", "--wait", "30"});
  ASSERT_TRUE(kqtest::WaitUntil([&] { return HasStatementOf(watch, 201) && HasStatementOf(watch, 202); }, 60000))
      << watch.Stderr();
  // Joins while the watch runs.
  ToolProcess gamma("kqdemo", {"--id", "203", "--name", "gamma", "--count", "10", "--rate", "20", "--wait", "30"});
  ASSERT_EQ(alpha.Wait(120000), 0) << alpha.Stderr();
  ASSERT_EQ(beta.Wait(120000), 0) << beta.Stderr();
  ASSERT_EQ(gamma.Wait(120000), 0) << gamma.Stderr();
  ASSERT_EQ(raw.Wait(120000), 0);
  EXPECT_EQ(kqtest::ReadFile(rawResult), "traced 30\n");
  ASSERT_TRUE(kqtest::WaitUntil([&] { return HasStatementOf(watch, 203) && HasStatementOf(watch, 204); }, 60000))
      << watch.Stderr();
  doomed.Kill();
  ASSERT_EQ(watch.Wait(120000), 0) << "the last client's leaving ends --until-detach: " << watch.Stderr();

  const std::string err = watch.Stderr();
  for (const char* said :
       {"kqmon: watching client 201 (alpha)", "kqmon: watching client 202 (beta)", "kqmon: watching client 203 (gamma)",
        "kqmon: watching client 204 (doomed)", "kqmon: client 201 (alpha) detached",
        "kqmon: client 202 (beta) detached", "kqmon: client 203 (gamma) detached",
        "kqmon: client 204 (doomed) ended without detaching",
        "kqmon: watching client 205 (raw205) through the shared buffer", "kqmon: client 205 (raw205) detached"})
    EXPECT_NE(err.find(said), std::string::npos) << said << " missing from:\n" << err;
  EXPECT_LT(err.find("watching client 201"), err.find("watching client 203")) << err;
  EXPECT_EQ(err.find("client 204 (doomed) detached"), std::string::npos) << err;

  const std::vector<JsonValue> objects = ParseJsonLines(watch.Stdout());
  const std::map<int, std::string> names{
      {201, "alpha"}, {202, "beta"}, {203, "gamma"}, {204, "doomed"}, {205, "raw205"}};
  for (const JsonValue& object : objects) {
    const auto name = names.find(static_cast<int>(object["kq.client.id"].Number));
    ASSERT_NE(name, names.end()) << "a record of no client: " << object["kq.client.id"].Number;
    EXPECT_EQ(object["kq.client.name"].String, name->second);
  }
  const std::map<int, long long> traced{
      {201, 41}, {202, 41}, {203, 11}, {205, 31}};  // the statements and the log start
  for (const auto& [id, name] : names) {
    const std::vector<JsonValue> mine = OfClient(objects, id);
    long long read = 0, lost = 0, gaps = 0;
    for (const JsonValue& object : mine) {
      if (object["kind"].String == "gap") {
        lost += static_cast<long long>(object["kq.gap.missing"].Number);
        ++gaps;
      } else {
        ++read;
      }
    }
    const auto account = AccountOf(err, id, name);
    ASSERT_TRUE(account) << "no account of client " << id << " in:\n" << err;
    EXPECT_EQ((*account)[0], read) << name;
    EXPECT_EQ((*account)[1], lost) << name;
    EXPECT_EQ((*account)[2], gaps) << name;
    if (const auto count = traced.find(id); count != traced.end())
      EXPECT_EQ(read + lost, count->second) << name << ": every traced record is read or counted in a gap";
    else
      EXPECT_GE(read, 2) << name;
  }
}

TEST(Kqmon, ClientOptionsNarrowTheWatchAndTextNamesTheClientOrItsIDWhereNamesRepeat) {
  kqtest::ScopedNamespace ns;
  ToolProcess watch("kqmon", {"watch", "--client", "211", "--client", "twin", "--until-detach", "--duration", "300"});
  ASSERT_TRUE(MonitorRegistered());
  ToolProcess first("kqdemo", {"--id", "211", "--name", "twin", "--count", "30", "--rate", "20", "--wait", "30"});
  ToolProcess second("kqdemo", {"--id", "212", "--name", "twin", "--count", "30", "--rate", "20", "--wait", "30"});
  ToolProcess other("kqdemo", {"--id", "213", "--name", "other", "--count", "30", "--rate", "20", "--wait", "30"});
  ASSERT_EQ(first.Wait(120000), 0) << first.Stderr();
  ASSERT_EQ(second.Wait(120000), 0) << second.Stderr();
  ASSERT_EQ(other.Wait(120000), 0) << other.Stderr();
  ASSERT_EQ(watch.Wait(120000), 0) << watch.Stderr();
  const std::string out = watch.Stdout();
  // Once both have come, the shared name no longer tells them apart and the column shows their IDs
  // (the first to come may show its name until the second does); the unchosen client shows nowhere.
  EXPECT_EQ(out.find("other"), std::string::npos) << out;
  EXPECT_EQ(watch.Stderr().find("client 213"), std::string::npos) << watch.Stderr();
  std::size_t statements = 0, byID[2] = {0, 0};
  for (const std::string& line : SplitLines(out)) {
    const bool first = line.rfind("211  ", 0) == 0, second = line.rfind("212  ", 0) == 0;
    ASSERT_TRUE(first || second || line.rfind("twin  ", 0) == 0) << line;
    byID[0] += first;
    byID[1] += second;
    if (line.find("===") == std::string::npos) ++statements;
  }
  EXPECT_GT(byID[0], 0u) << out;
  EXPECT_GT(byID[1], 0u) << out;
  EXPECT_EQ(statements, 60u) << out;
}

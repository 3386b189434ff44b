// What kqmon says when it is given something wrong, and what it shows of hostile statement text: the
// built kqmon run as a user runs it, its standard error and exit code read as the user reads them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "client_directory.h"
#include "json_value.h"
#include "test_support.h"
#include "tool_process.h"

using kqtest::RunTool;
using kqtest::SplitLines;
using kqtest::ToolProcess;

namespace {

// A run of digits no one reads: what a range check printing a double's limits in full shows.
bool HasLongNumber(const std::string& text) { return std::regex_search(text, std::regex("[0-9]{12}")); }

// Sets an environment variable for the scope (kqmon inherits it) and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    kqtest::SetEnvironment(name, value);
  }
  ~ScopedEnv() { kqtest::SetEnvironment(FName, FOld); }

 private:
  const char* FName;
  std::optional<std::string> FOld;
};

}  // namespace

TEST(KqmonMessages, NumbersOutOfRangeSayTheRangeReadably) {
  kqtest::ScopedNamespace ns;
  const std::string output = kqtest::TempPath("out.log");
  const std::vector<std::vector<std::string>> runs = {
      {"watch", "--duration", "-1"},
      {"top", "--duration", "-5"},
      {"serve", "--duration", "-0.5"},
      {"watch", "--output", output, "--rotate-size", "0"},
      {"watch", "--output", output, "--rotate-size", "-3"},
      {"watch", "--duration", "1e400"},
  };
  for (const auto& args : runs) {
    const kqtest::ToolResult result = RunTool("kqmon", args, 30000);
    SCOPED_TRACE(args[1] + " " + args.back());
    EXPECT_EQ(result.ExitCode, 2);
    EXPECT_FALSE(HasLongNumber(result.Stderr)) << result.Stderr;
    EXPECT_EQ(result.Stderr.find("0.000000"), std::string::npos) << result.Stderr;
    EXPECT_NE(result.Stderr.find(args[args.size() - 2]), std::string::npos) << "names the option: " << result.Stderr;
    EXPECT_TRUE(result.Stderr.find("out of range") != std::string::npos ||
                result.Stderr.find("is not a number") != std::string::npos)
        << result.Stderr;
    EXPECT_NE(result.Stderr.find("for example"), std::string::npos) << "says what to give: " << result.Stderr;
  }
}

TEST(KqmonMessages, AnUnknownCommandIsNamedWithTheCommandsThatExist) {
  const kqtest::ToolResult result = RunTool("kqmon", {"frobnicate"}, 30000);
  EXPECT_EQ(result.ExitCode, 2);
  EXPECT_NE(result.Stderr.find("\"frobnicate\" is not a command"), std::string::npos) << result.Stderr;
  EXPECT_NE(result.Stderr.find("list, ping, watch, top, serve, signal, realloc"), std::string::npos) << result.Stderr;
  EXPECT_EQ(result.Stderr.find("A subcommand is required"), std::string::npos) << result.Stderr;
  EXPECT_EQ(RunTool("kqmon", {"--version"}, 30000).ExitCode, 0) << "options before a command still work";
}

TEST(KqmonMessages, ANamespaceWithASeparatorSaysWhatToUseInstead) {
  for (const std::string bad : {"team/a", "team\\a"}) {
    ScopedEnv env("KQ_NAMESPACE", bad);
    const kqtest::ToolResult result = RunTool("kqmon", {"list"}, 30000);
    EXPECT_EQ(result.ExitCode, 1) << bad;
    EXPECT_NE(result.Stderr.find("KQ_NAMESPACE must not contain"), std::string::npos) << result.Stderr;
    EXPECT_EQ(result.Stderr.find("[22]"), std::string::npos) << result.Stderr;
  }
}

TEST(KqmonMessages, ASaveFileInAMissingFolderIsRefusedBeforeTheWatchStarts) {
  kqtest::ScopedNamespace ns;
  const std::string missing = kqtest::TempPath("no such folder") + "/last.sql";
  const std::int64_t started = kqtest::SteadyMs();
  const kqtest::ToolResult result = RunTool("kqmon", {"watch", "--save", missing, "--duration", "5"}, 30000);
  EXPECT_EQ(result.ExitCode, 2) << result.Stderr;
  EXPECT_LT(kqtest::SteadyMs() - started, 4000) << "refused at once, not when the watch ended";
  EXPECT_NE(result.Stderr.find("does not exist; create it first"), std::string::npos) << result.Stderr;
  const kqtest::ToolResult folder = RunTool("kqmon", {"top", "--save", kqtest::TempPath(""), "--duration", "5"}, 30000);
  EXPECT_EQ(folder.ExitCode, 2);
  EXPECT_NE(folder.Stderr.find("is a folder"), std::string::npos) << folder.Stderr;
}

TEST(KqmonMessages, ListShowsARunningClientAsAliveWithoutAPing) {
  kqtest::ScopedNamespace ns;
  const std::string file = kqtest::TempPath("none.sql");
  std::ofstream(file, std::ios::binary).flush();
  kqtest::ChildProcess driver({"line-driver", "73", "running", file, "1", "0"});
  {
    kq::TClientDirectory directory(kq::KqDirectoryCapacity);
    ASSERT_TRUE(kqtest::WaitUntil([&] { return directory.FindClient(73) != -1; }, 30000));
  }
  const kqtest::ToolResult list = RunTool("kqmon", {"list"}, 30000);
  EXPECT_NE(list.Stdout.find("   1           73  yes      running"), std::string::npos) << list.Stdout;
  const kqtest::ToolResult json = RunTool("kqmon", {"list", "--format", "json"}, 30000);
  const std::vector<std::string> lines = SplitLines(json.Stdout);
  ASSERT_EQ(lines.size(), 2u) << json.Stdout;
  auto client = kqtest::ParseJson(lines[1]);
  ASSERT_TRUE(client);
  EXPECT_TRUE((*client)["alive"].Bool);
  EXPECT_EQ((*client)["liveness"].String, "yes");
  driver.Kill();
}

TEST(KqmonMessages, AWatchShowsControlCharactersOfAStatementEscaped) {
  kqtest::ScopedNamespace ns;
  const std::string file = kqtest::TempPath("hostile.sql");
  std::ofstream(file, std::ios::binary) << "SELECT '\x1b[2J\x1b]0;pwned\x07' AS \xE2\x80\xAEtxt\n";
  kqtest::ChildProcess driver({"line-driver", "74", "hostile", file, "1", "300"});
  ToolProcess watch("kqmon", {"watch", "--until-detach", "--duration", "120", "--color", "always"});
  ASSERT_EQ(driver.Wait(60000), 0);
  ASSERT_EQ(watch.Wait(60000), 0) << watch.Stderr();
  const std::vector<std::string> lines = SplitLines(watch.Stdout());
  ASSERT_EQ(lines.size(), 2u) << watch.Stdout();
  // Colour sequences of kqmon's own surround the line; the statement's own must show as text.
  std::string shown = std::regex_replace(lines[1], std::regex("\x1b\\[[0-9;]*m"), "");
  EXPECT_EQ(shown, "hostile  SELECT '\\e[2J\\e]0;pwned\\x07' AS \\u202Etxt");
  EXPECT_EQ(shown.find('\x07'), std::string::npos);
}

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace kqtest {

// One of the built tools (kqmon, kqdemo) run as a user would run it, with its standard output and
// error going to files of the test's temporary folder and its standard input from a file or nothing.
// A tool still running when the object goes is killed, so a hang cannot outlive its test.
class ToolProcess {
 public:
  ToolProcess(const std::string& tool, const std::vector<std::string>& args, const std::string& stdinPath = "");
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  bool Started() const { return FChild.Started(); }
  std::string StartError() const { return FChild.StartError(); }
  std::int32_t ProcessID() const { return FChild.ProcessID(); }
  // The exit code once the tool has ended, or nothing if it is still running after timeoutMs.
  std::optional<int> Wait(int timeoutMs) { return FChild.Wait(timeoutMs); }
  void Kill() { FChild.Kill(); }

  // What it wrote so far.
  std::string Stdout() const;
  std::string Stderr() const;
  const std::string& StdoutPath() const { return FStdoutPath; }

  // The tool's path in the build (beside the test executable's folder, in tools/).
  static std::string PathOf(const std::string& tool) { return ToolPath(tool); }

 private:
  std::string FStdoutPath;
  std::string FStderrPath;
  ChildProcess FChild;
};

// Runs a tool to its end; {exit code (-1: still running after timeoutMs), stdout, stderr}.
struct ToolResult {
  int ExitCode;
  std::string Stdout;
  std::string Stderr;
};
ToolResult RunTool(const std::string& tool, const std::vector<std::string>& args, int timeoutMs = 60000);

// A fresh path in the test's temporary folder for one output stream of one tool run.
std::string ToolOutputPath(const std::string& tool, const char* stream);

// The file's bytes ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// Text split into lines at "\n", a trailing "\r" dropped from each; no empty last line.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace kqtest

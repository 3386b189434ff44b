#include "tool_process.h"

#include <atomic>
#include <fstream>
#include <sstream>

#include "test_support.h"

namespace kqtest {

namespace {
// Each tool of a test gets files of its own.
std::atomic<int> NextRun{0};
}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

ToolProcess::ToolProcess(const std::string& tool, const std::vector<std::string>& args, const std::string& stdinPath)
    : FStdoutPath(ToolOutputPath(tool, "out")),
      FStderrPath(ToolOutputPath(tool, "err")),
      FChild(PathOf(tool), args, {stdinPath, FStdoutPath, FStderrPath}) {}

std::string ToolProcess::Stdout() const { return ReadFile(FStdoutPath); }
std::string ToolProcess::Stderr() const { return ReadFile(FStderrPath); }

ToolResult RunTool(const std::string& tool, const std::vector<std::string>& args, int timeoutMs) {
  ToolProcess process(tool, args);
  auto code = process.Wait(timeoutMs);
  // A tool that never ran has no words of its own: the failure then says why it did not start.
  if (!process.Started()) return {-1, "", "(" + tool + " did not start: " + process.StartError() + ")"};
  return {code ? *code : -1, process.Stdout(), process.Stderr()};
}

std::string ToolOutputPath(const std::string& tool, const char* stream) {
  return TempPath(tool + "-" + std::to_string(NextRun.fetch_add(1)) + "." + stream);
}

}  // namespace kqtest

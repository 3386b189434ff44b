#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "test_support.h"
#include "tool_process.h"

extern char** environ;

namespace kqtest {

std::string ToolProcess::PathOf(const std::string& tool) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return tool;
  self[n] = 0;
  return (std::filesystem::path(self).parent_path().parent_path() / "tools" / tool).string();
}

ToolProcess::ToolProcess(const std::string& tool, const std::vector<std::string>& args, const std::string& stdinPath)
    : FStdoutPath(ToolOutputPath(tool, "out")), FStderrPath(ToolOutputPath(tool, "err")) {
  std::string path = PathOf(tool);
  std::vector<std::string> copy = args;
  std::vector<char*> argv{path.data()};
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, FStdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, FStderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    FHandle = static_cast<std::uintptr_t>(pid);
    FProcessID = static_cast<std::int32_t>(pid);
  }
  posix_spawn_file_actions_destroy(&actions);
}

ToolProcess::~ToolProcess() {
  if (FHandle && !FExitCode) {
    Kill();
    Wait(10000);
  }
}

std::optional<int> ToolProcess::Wait(int timeoutMs) {
  if (FExitCode || !FHandle) return FExitCode;
  auto deadline = SteadyMs() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(static_cast<pid_t>(FHandle), &status, WNOHANG);
    if (r == static_cast<pid_t>(FHandle)) {
      FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return FExitCode;
    }
    if (SteadyMs() > deadline) return std::nullopt;
    SleepForMs(5);
  }
}

void ToolProcess::Kill() {
  if (FHandle && !FExitCode) kill(static_cast<pid_t>(FHandle), SIGKILL);
}

}  // namespace kqtest

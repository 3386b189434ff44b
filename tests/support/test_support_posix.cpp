#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "test_support.h"

extern char** environ;

namespace kqtest {

namespace {

std::string HelperPath() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "kq_test_helper";
  self[n] = 0;
  return (std::filesystem::path(self).parent_path() / "kq_test_helper").string();
}

}  // namespace

ScopedNamespace::ScopedNamespace() : FName("t" + std::to_string(getpid()) + "-" + CurrentTestName()) {
  setenv("KQ_NAMESPACE", FName.c_str(), 1);
}

ScopedNamespace::~ScopedNamespace() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::temp_directory_path() / ("kqtest-" + FName), ignored);
  // Objects still held elsewhere keep their files; an empty directory goes.
  std::filesystem::remove("/dev/shm/kq-" + std::to_string(getuid()) + "-" + FName, ignored);
  unsetenv("KQ_NAMESPACE");
}

ChildProcess::ChildProcess(const std::vector<std::string>& args) {
  std::string path = HelperPath();
  std::vector<char*> argv;
  argv.push_back(path.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) == 0)
    FHandle = static_cast<std::uintptr_t>(pid);
}

ChildProcess::~ChildProcess() {
  if (FHandle && !FExitCode) {
    Kill();
    Wait(10000);
  }
}

std::optional<int> ChildProcess::Wait(int timeoutMs) {
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
    SleepForMs(2);
  }
}

void ChildProcess::Kill() {
  if (FHandle && !FExitCode) kill(static_cast<pid_t>(FHandle), SIGKILL);
}

}  // namespace kqtest

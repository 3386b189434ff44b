#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "posix_handles.h"
#include "test_support.h"

extern char** environ;

namespace kqtest {

namespace {

std::filesystem::path ExecutableFolder() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  self[n] = 0;
  return std::filesystem::path(self).parent_path();
}

std::string HelperPath() {
  std::filesystem::path folder = ExecutableFolder();
  return folder.empty() ? "kq_test_helper" : (folder / "kq_test_helper").string();
}

// A file for one of a child's streams, or /dev/null for none.
kq::UniqueFd StreamFile(const std::string& path, bool output) {
  const char* name = path.empty() ? "/dev/null" : path.c_str();
  return kq::UniqueFd(output ? open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                             : open(name, O_RDONLY | O_CLOEXEC));
}

}  // namespace

struct ChildProcess::Impl {
  pid_t Pid = 0;
  std::string StartError;

  void Spawn(const std::string& path, const std::vector<std::string>& args, const ChildStreams* streams) {
    std::vector<char*> argv;
    std::string program = path;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    kq::UniqueFd input, output, errors;
    if (streams) {
      input = StreamFile(streams->InputPath, false);
      output = StreamFile(streams->OutputPath, true);
      errors = StreamFile(streams->ErrorPath, true);
      // dup2 clears close-on-exec on the copies, so only these three reach the child.
      posix_spawn_file_actions_adddup2(&actions, input.Get(), 0);
      posix_spawn_file_actions_adddup2(&actions, output.Get(), 1);
      posix_spawn_file_actions_adddup2(&actions, errors.Get(), 2);
    }
    pid_t pid = 0;
    if (const int error = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ); error == 0)
      Pid = pid;
    else
      StartError = std::strerror(error);
    posix_spawn_file_actions_destroy(&actions);
  }
};

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

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  if (value)
    setenv(name.c_str(), value->c_str(), 1);
  else
    unsetenv(name.c_str());
}

ChildProcess::ChildProcess(const std::vector<std::string>& args) : FImpl(std::make_unique<Impl>()) {
  FImpl->Spawn(HelperPath(), args, nullptr);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const ChildStreams& streams)
    : FImpl(std::make_unique<Impl>()) {
  FImpl->Spawn(program, args, &streams);
}

ChildProcess::~ChildProcess() {
  if (FImpl->Pid && !FExitCode) {
    Kill();
    static_cast<void>(Wait(10000));
  }
}

bool ChildProcess::Started() const { return FImpl->Pid != 0; }

std::string ChildProcess::StartError() const { return FImpl->StartError; }

std::int32_t ChildProcess::ProcessID() const { return static_cast<std::int32_t>(FImpl->Pid); }

std::optional<int> ChildProcess::Wait(int timeoutMs) {
  if (FExitCode || !FImpl->Pid) return FExitCode;
  auto deadline = SteadyMs() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(FImpl->Pid, &status, WNOHANG);
    if (r == FImpl->Pid) {
      FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return FExitCode;
    }
    if (SteadyMs() > deadline) return std::nullopt;
    SleepForMs(2);
  }
}

ScopedFileSizeLimit::ScopedFileSizeLimit(std::int64_t bytes) {
  rlimit saved{};
  if (getrlimit(RLIMIT_FSIZE, &saved) != 0) return;
  FSaved[0] = static_cast<std::int64_t>(saved.rlim_cur);
  FSaved[1] = static_cast<std::int64_t>(saved.rlim_max);
  // A write past the limit then fails with EFBIG instead of ending the process.
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{static_cast<rlim_t>(bytes), saved.rlim_max};
  FActive = setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
  if (!FActive) return;
  rlimit saved{static_cast<rlim_t>(FSaved[0]), static_cast<rlim_t>(FSaved[1])};
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_DFL);
}

ProcessCounters ReadProcessCounters() {
  ProcessCounters counters;
  std::error_code ec;
  counters.Descriptors = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++counters.Descriptors;
  // The iterator's own descriptor is counted too, the same in every reading.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) counters.Threads = std::stoll(line.substr(8));
    if (line.rfind("VmRSS:", 0) == 0) counters.ResidentKB = std::stoll(line.substr(6));
  }
  return counters;
}

void ChildProcess::Kill() {
  if (FImpl->Pid && !FExitCode) kill(FImpl->Pid, SIGKILL);
}

std::string ToolPath(const std::string& name) { return (ExecutableFolder().parent_path() / "tools" / name).string(); }

std::optional<int> EventSleepers(const std::string& name) {
  const char* ns = std::getenv("KQ_NAMESPACE");
  const std::string path =
      "/dev/shm/kq-" + std::to_string(getuid()) + (ns && *ns ? "-" + std::string(ns) : "") + "/" + name + ".event";
  kq::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  // The event's state after its 8-byte tag: Manual, State, then the waiter count.
  constexpr off_t WaitersOffset = 16;
  std::uint32_t waiters = 0;
  if (!file || pread(file.Get(), &waiters, sizeof waiters, WaitersOffset) != sizeof waiters) return -1;
  return static_cast<int>(waiters);
}

}  // namespace kqtest

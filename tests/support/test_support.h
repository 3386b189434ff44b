#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ipc_buffer.h"
#include "kq_error.h"

namespace kqtest {

// The library error that `create` raised, or nothing when it raised none.
template <class Fn>
std::optional<kq::EKqError> CreationError(Fn create) {
  try {
    create();
  } catch (const kq::EKqError& e) {
    return e;
  }
  return std::nullopt;
}

// The buffer's section header, read and damaged straight through its documented layout, as another
// process would.
inline kq::PBufferData RawHeader(const kq::TIPCBuffer& buffer) {
  return static_cast<kq::PBufferData>(buffer.SharedMem().Buffer());
}

// The text a flooding writer gives its record with reference number `refNo`: the number repeated a
// number of times that varies with it, so that a line torn between two records cannot pass for one.
inline std::u16string FloodText(std::int32_t refNo) {
  const std::string unit = std::to_string(refNo) + ":";
  std::string text;
  for (std::int32_t i = 0; i <= refNo % 29; ++i) text += unit;
  return std::u16string(text.begin(), text.end());
}

// "Suite_Name" of the running test, fit for object and file names.
std::string CurrentTestName();

// Puts the running test into a KQ_NAMESPACE of its own (from the test's name and this process's id),
// so that tests run in parallel and never meet a real monitor's objects. Child processes inherit it.
class ScopedNamespace {
 public:
  ScopedNamespace();
  ~ScopedNamespace();
  const std::string& Name() const { return FName; }

 private:
  std::string FName;
};

// Sets an environment variable of this process (and so of the children it starts); nothing unsets it.
void SetEnvironment(const std::string& name, const std::optional<std::string>& value);

// Where a child's standard streams go: input from a file, output and errors into files; each to
// nothing when its path is empty.
struct ChildStreams {
  std::string InputPath;
  std::string OutputPath;
  std::string ErrorPath;
};

// A child process: the test suite's kq_test_helper executable started with a role and arguments, or
// any program (a tool of the build) with its streams redirected. A child that is still running when
// the object goes is killed, so a hang cannot outlive its test.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& args);
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const ChildStreams& streams);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The exit code once the child has ended, or nothing if it is still running after timeoutMs.
  std::optional<int> Wait(int timeoutMs);
  void Kill();
  bool Started() const;
  // Why the child did not start ("" when it did).
  std::string StartError() const;
  std::int32_t ProcessID() const;

 private:
  struct Impl;  // per platform: the process, its handle in the handle template
  std::unique_ptr<Impl> FImpl;
  std::optional<int> FExitCode;
};

// A program of the build's tools folder ("kqmon", "kqdemo"), beside which the library also lies.
std::string ToolPath(const std::string& name);

// Threads asleep in a wait on the named event of this namespace, where the platform can tell: the
// POSIX event counts them in its file (each counted waiter has already taken note of the signals so
// far, so a later signal reaches it), -1 when its file cannot be read. Windows shows no such count:
// nothing.
std::optional<int> EventSleepers(const std::string& name);

// Runs a helper to its end and returns its exit code (-1 when it did not end within timeoutMs).
int RunHelper(const std::vector<std::string>& args, int timeoutMs = 30000);

void SleepForMs(int ms);

// Polls `condition` until it holds or timeoutMs passes; true when it held.
template <class Condition>
bool WaitUntil(Condition condition, int timeoutMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    SleepForMs(5);
  }
  return true;
}

// Milliseconds of a steady clock, for measuring waits in tests (with generous bounds only).
std::int64_t SteadyMs();

// Caps the size of every file this process writes, so that writes past it fail (where the platform
// has such a limit; Active() tells).
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(std::int64_t bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;
  bool Active() const { return FActive; }

 private:
  bool FActive = false;
  std::int64_t FSaved[2] = {0, 0};
};

// What a process holds, for leak checks: open descriptors (handles on Windows), threads and resident
// memory in KB; -1 where the platform does not tell.
struct ProcessCounters {
  std::int64_t Descriptors = -1;
  std::int64_t Threads = -1;
  std::int64_t ResidentKB = -1;
};
ProcessCounters ReadProcessCounters();

// A file path in a private temporary folder of this test, removed with the namespace.
std::string TempPath(const std::string& leaf);

}  // namespace kqtest

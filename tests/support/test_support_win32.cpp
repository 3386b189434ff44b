#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <filesystem>

#include "test_support.h"
#include "win32_handles.h"

namespace kqtest {

namespace {

std::filesystem::path ExecutableFolder() {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(std::wstring(self, n)).parent_path();
}

// Arguments are UTF-8. The C runtime's parser reads backslashes literally except before a quote,
// where each pair is one backslash: so a run before a quote (or before the closing quote: a
// folder's trailing separator) is doubled, and a quote gets one more.
std::wstring Quote(const std::string& arg) {
  std::wstring w = std::filesystem::path(std::u8string(arg.begin(), arg.end())).wstring();
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : w) {
    if (c == L'\\') {
      ++backslashes;
    } else {
      if (c == L'"') out.append(backslashes + 1, L'\\');
      backslashes = 0;
    }
    out += c;
  }
  out.append(backslashes, L'\\');
  return out + L"\"";
}

// An inheritable handle on a file for one of a child's streams (output truncated; others may read it
// meanwhile), or on NUL for none.
kq::UniqueWinFile StreamFile(const std::string& path, bool output) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const std::wstring name = path.empty() ? L"NUL" : std::filesystem::path(path).wstring();
  return kq::UniqueWinFile(CreateFileW(name.c_str(), output ? GENERIC_WRITE : GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                       output ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

struct ChildProcess::Impl {
  kq::UniqueWinHandle Process;
  DWORD ID = 0;
  std::string StartError;

  void Spawn(const std::wstring& path, const std::vector<std::string>& args, const ChildStreams* streams) {
    std::wstring cmd = L"\"" + path + L"\"";
    for (const auto& a : args) cmd += L" " + Quote(a);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    kq::UniqueWinFile input, output, errors;
    if (streams) {
      input = StreamFile(streams->InputPath, false);
      output = StreamFile(streams->OutputPath, true);
      errors = StreamFile(streams->ErrorPath, true);
      si.dwFlags = STARTF_USESTDHANDLES;
      si.hStdInput = input.Get();
      si.hStdOutput = output.Get();
      si.hStdError = errors.Get();
    }
    // A loaded Wine server has refused a process now and then; the test is about the child, so it is
    // tried a few times before the test sees a child that never started (and why, in StartError).
    for (int attempt = 0; attempt < 3; ++attempt) {
      PROCESS_INFORMATION pi{};
      if (CreateProcessW(path.c_str(), cmd.data(), nullptr, nullptr, streams ? TRUE : FALSE, 0, nullptr, nullptr, &si,
                         &pi)) {
        kq::UniqueWinHandle thread(pi.hThread);
        Process.Reset(pi.hProcess);
        ID = pi.dwProcessId;
        return;
      }
      StartError = "CreateProcess failed with error " + std::to_string(GetLastError());
      Sleep(200);
    }
  }
};

ScopedNamespace::ScopedNamespace() : FName("t" + std::to_string(GetCurrentProcessId()) + "-" + CurrentTestName()) {
  _putenv_s("KQ_NAMESPACE", FName.c_str());
}

ScopedNamespace::~ScopedNamespace() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::temp_directory_path() / ("kqtest-" + FName), ignored);
  _putenv_s("KQ_NAMESPACE", "");
}

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  // An empty value removes the variable on Windows.
  _putenv_s(name.c_str(), value ? value->c_str() : "");
}

ChildProcess::ChildProcess(const std::vector<std::string>& args) : FImpl(std::make_unique<Impl>()) {
  FImpl->Spawn((ExecutableFolder() / L"kq_test_helper.exe").wstring(), args, nullptr);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const ChildStreams& streams)
    : FImpl(std::make_unique<Impl>()) {
  FImpl->Spawn(std::filesystem::path(program).wstring(), args, &streams);
}

ChildProcess::~ChildProcess() {
  if (FImpl->Process && !FExitCode) {
    Kill();
    static_cast<void>(Wait(10000));
  }
}

bool ChildProcess::Started() const { return FImpl->Process.Valid(); }

std::string ChildProcess::StartError() const { return FImpl->StartError; }

std::int32_t ChildProcess::ProcessID() const { return static_cast<std::int32_t>(FImpl->ID); }

std::optional<int> ChildProcess::Wait(int timeoutMs) {
  if (FExitCode || !FImpl->Process) return FExitCode;
  if (WaitForSingleObject(FImpl->Process.Get(), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(FImpl->Process.Get(), &code);
  FExitCode = static_cast<int>(code);
  return FExitCode;
}

void ChildProcess::Kill() {
  if (FImpl->Process && !FExitCode) TerminateProcess(FImpl->Process.Get(), 137);
}

std::string ToolPath(const std::string& name) {
  return (ExecutableFolder().parent_path() / L"tools" / (name + ".exe")).string();
}

std::optional<int> EventSleepers(const std::string&) { return std::nullopt; }

ProcessCounters ReadProcessCounters() {
  ProcessCounters counters;
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles)) counters.Descriptors = handles;
  kq::UniqueWinFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (snapshot) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    counters.Threads = 0;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
      if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++counters.Threads;
  }
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
    counters.ResidentKB = static_cast<std::int64_t>(memory.WorkingSetSize / 1024);
  return counters;
}

// Windows has no per-process file size limit.
ScopedFileSizeLimit::ScopedFileSizeLimit(std::int64_t) {}
ScopedFileSizeLimit::~ScopedFileSizeLimit() = default;

}  // namespace kqtest

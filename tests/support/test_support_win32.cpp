#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>

#include "test_support.h"

namespace kqtest {

namespace {

std::wstring HelperPath() {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::filesystem::path p(std::wstring(self, n));
  return (p.parent_path() / L"kq_test_helper.exe").wstring();
}

std::wstring Quote(const std::string& arg) {
  std::wstring w(arg.begin(), arg.end());
  std::wstring out = L"\"";
  for (wchar_t c : w) {
    if (c == L'"') out += L'\\';
    out += c;
  }
  return out + L"\"";
}

}  // namespace

ScopedNamespace::ScopedNamespace() : FName("t" + std::to_string(GetCurrentProcessId()) + "-" + CurrentTestName()) {
  _putenv_s("KQ_NAMESPACE", FName.c_str());
}

ScopedNamespace::~ScopedNamespace() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::temp_directory_path() / ("kqtest-" + FName), ignored);
  _putenv_s("KQ_NAMESPACE", "");
}

ChildProcess::ChildProcess(const std::vector<std::string>& args) {
  std::wstring path = HelperPath();
  std::wstring cmd = L"\"" + path + L"\"";
  for (const auto& a : args) cmd += L" " + Quote(a);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(path.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    FHandle = reinterpret_cast<std::uintptr_t>(pi.hProcess);
  }
}

ChildProcess::~ChildProcess() {
  if (FHandle) {
    if (!FExitCode) {
      Kill();
      Wait(10000);
    }
    CloseHandle(reinterpret_cast<HANDLE>(FHandle));
  }
}

std::optional<int> ChildProcess::Wait(int timeoutMs) {
  if (FExitCode || !FHandle) return FExitCode;
  if (WaitForSingleObject(reinterpret_cast<HANDLE>(FHandle), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(reinterpret_cast<HANDLE>(FHandle), &code);
  FExitCode = static_cast<int>(code);
  return FExitCode;
}

void ChildProcess::Kill() {
  if (FHandle && !FExitCode) TerminateProcess(reinterpret_cast<HANDLE>(FHandle), 137);
}

}  // namespace kqtest

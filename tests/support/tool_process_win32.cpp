#include <windows.h>

#include <filesystem>

#include "test_support.h"
#include "tool_process.h"

namespace kqtest {

namespace {

std::wstring Quote(const std::string& arg) {
  std::wstring w = std::filesystem::path(std::u8string(arg.begin(), arg.end())).wstring();
  std::wstring out = L"\"";
  for (wchar_t c : w) {
    if (c == L'"') out += L'\\';
    out += c;
  }
  return out + L"\"";
}

HANDLE OpenInheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const std::wstring wide = std::filesystem::path(path).wstring();
  return CreateFileW(wide.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string ToolProcess::PathOf(const std::string& tool) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::filesystem::path p(std::wstring(self, n));
  return (p.parent_path().parent_path() / "tools" / (tool + ".exe")).string();
}

ToolProcess::ToolProcess(const std::string& tool, const std::vector<std::string>& args, const std::string& stdinPath)
    : FStdoutPath(ToolOutputPath(tool, "out")), FStderrPath(ToolOutputPath(tool, "err")) {
  const std::wstring path = std::filesystem::path(PathOf(tool)).wstring();
  std::wstring cmd = L"\"" + path + L"\"";
  for (const auto& a : args) cmd += L" " + Quote(a);
  HANDLE in = stdinPath.empty() ? OpenInheritable("NUL", false) : OpenInheritable(stdinPath, false);
  HANDLE out = OpenInheritable(FStdoutPath, true);
  HANDLE err = OpenInheritable(FStderrPath, true);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(path.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    FHandle = reinterpret_cast<std::uintptr_t>(pi.hProcess);
    FProcessID = static_cast<std::int32_t>(pi.dwProcessId);
  }
  for (HANDLE h : {in, out, err})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

ToolProcess::~ToolProcess() {
  if (FHandle) {
    if (!FExitCode) {
      Kill();
      Wait(10000);
    }
    CloseHandle(reinterpret_cast<HANDLE>(FHandle));
  }
}

std::optional<int> ToolProcess::Wait(int timeoutMs) {
  if (FExitCode || !FHandle) return FExitCode;
  if (WaitForSingleObject(reinterpret_cast<HANDLE>(FHandle), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(reinterpret_cast<HANDLE>(FHandle), &code);
  FExitCode = static_cast<int>(code);
  return FExitCode;
}

void ToolProcess::Kill() {
  if (FHandle && !FExitCode) TerminateProcess(reinterpret_cast<HANDLE>(FHandle), 137);
}

}  // namespace kqtest

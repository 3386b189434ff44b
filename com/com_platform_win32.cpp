#include "com_platform.h"
#include "win32_handles.h"
// After <windows.h>, which it needs.
#include <oleauto.h>

#include <string>

namespace kq {

namespace {

// The C runtime's splitting: blanks separate, quotes group, and backslashes escape only quotes
// (2n backslashes and a quote are n backslashes and a grouping quote; 2n+1 are n and a literal quote).
std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> args;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i >= line.size()) break;
    std::u16string arg;
    bool quoted = false;
    for (; i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t')); ++i) {
      std::size_t slashes = 0;
      while (i < line.size() && line[i] == u'\\') ++slashes, ++i;
      if (i < line.size() && line[i] == u'"') {
        arg.append(slashes / 2, u'\\');
        if (slashes % 2) {
          arg += u'"';
        } else {
          quoted = !quoted;
        }
      } else {
        arg.append(slashes, u'\\');
        if (i >= line.size()) break;
        if (!quoted && (line[i] == u' ' || line[i] == u'\t')) break;
        arg += line[i];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::u16string FromWide(const wchar_t* text) { return std::u16string(reinterpret_cast<const char16_t*>(text)); }

}  // namespace

std::vector<std::u16string> HostArguments() {
  std::vector<std::u16string> args = SplitCommandLine(FromWide(GetCommandLineW()));
  if (!args.empty()) args.erase(args.begin());
  return args;
}

std::u16string ModuleFileName() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ModuleFileName), &module);
  wchar_t path[262];
  DWORD n = GetModuleFileNameW(module, path, 262);
  if (n == 0 || n >= 262) return FromWide(n ? path : L"");
  std::wstring result(path);
  wchar_t longPath[MAX_PATH * 4];
  n = GetLongPathNameW(path, longPath, MAX_PATH * 4);
  if (n > 0 && n < MAX_PATH * 4) result = longPath;
  if (result.find(L' ') != std::wstring::npos) {
    wchar_t shortPath[MAX_PATH * 4];
    n = GetShortPathNameW(result.c_str(), shortPath, MAX_PATH * 4);
    if (n > 0 && n < MAX_PATH * 4) result = shortPath;
  }
  return FromWide(result.c_str());
}

void ShowErrorBox(std::u16string_view text, std::u16string_view caption) noexcept {
  try {
    const std::u16string t(text), c(caption);
    MessageBoxW(nullptr, AsWide(t), AsWide(c), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  } catch (...) {
  }
}

HRESULT LockObjectExternal(IUnknown* object, bool lock) noexcept {
  return CoLockObjectExternal(object, lock ? TRUE : FALSE, TRUE);
}

void DisconnectObject(IUnknown* object) noexcept { CoDisconnectObject(object, 0); }

void SetComErrorInfo(std::u16string_view description, REFIID iid) noexcept {
  try {
    std::u16string text(description);
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return;
    create->SetGUID(iid);
    create->SetDescription(const_cast<LPOLESTR>(AsWide(text)));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  } catch (...) {
  }
}

void ClearComErrorInfo() noexcept { SetErrorInfo(0, nullptr); }

}  // namespace kq

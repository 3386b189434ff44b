#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include "com_platform.h"
#include "text.h"

namespace kq {

std::vector<std::u16string> HostArguments() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::u16string> args;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(Utf8ToUtf16(std::string_view(all).substr(start, end - start)));
    start = end + 1;
  }
  if (!args.empty()) args.erase(args.begin());
  return args;
}

std::u16string ModuleFileName() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&ModuleFileName), &info) || !info.dli_fname) return u"";
  char resolved[PATH_MAX];
  // There is no short form here: a path with a space is written as it is.
  return Utf8ToUtf16(realpath(info.dli_fname, resolved) ? resolved : info.dli_fname);
}

void ShowErrorBox(std::u16string_view text, std::u16string_view caption) noexcept {
  try {
    std::fprintf(stderr, "%s: %s\n", Utf16ToUtf8(caption).c_str(), Utf16ToUtf8(text).c_str());
  } catch (...) {
  }
}

HRESULT LockObjectExternal(IUnknown*, bool) noexcept { return S_OK; }

void DisconnectObject(IUnknown*) noexcept {}

namespace {

// What COM's per-thread error object holds on Windows; there is no COM runtime to keep it here.
thread_local std::optional<std::u16string> ThreadErrorInfo;

}  // namespace

void SetComErrorInfo(std::u16string_view description, REFIID) noexcept {
  try {
    ThreadErrorInfo = std::u16string(description);
  } catch (...) {
    ThreadErrorInfo.reset();
  }
}

void ClearComErrorInfo() noexcept { ThreadErrorInfo.reset(); }

}  // namespace kq

// Takes the calling thread's error description, as GetErrorInfo takes COM's error object.
STDAPI KqGetErrorDescription(WCHAR* buffer, ULONG units) {
  if (!kq::ThreadErrorInfo) return S_FALSE;
  if (buffer && units > 0) {
    const std::u16string& text = *kq::ThreadErrorInfo;
    const std::size_t n = kq::CutAtCodeUnit(text, units - 1);
    std::memcpy(buffer, text.data(), n * sizeof(WCHAR));
    buffer[n] = 0;
  }
  kq::ThreadErrorInfo.reset();
  return S_OK;
}

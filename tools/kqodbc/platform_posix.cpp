#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "odbc_headers.h"
#include "platform.h"
#include "real_driver.h"
#include "text.h"

namespace kqodbc {

void* LoadLibraryForGood(const std::string& path, std::string& error) {
  // RTLD_DEEPBIND: the driver's own calls of its SQL* functions must reach its own, never this
  // proxy's exports of the same names.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtimes refuse RTLD_DEEPBIND; their builds test the proxy over our fake driver,
  // whose functions are called through their own handles only.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#else
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
#endif
  if (!library) {
    const char* reason = dlerror();
    error = reason ? reason : "unknown reason";
  }
  return library;
}

void* LibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

std::string ThisModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ThisModulePath), &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

std::string ManagerDriverFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&SQLGetPrivateProfileString), &info) == 0 || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash) + "/odbc";
}

std::u16string NarrowToUtf16(const char* text, std::size_t length) {
  return kq::Utf8ToUtf16(std::string_view(text, length));
}

std::string Utf16ToNarrow(std::u16string_view text) { return kq::Utf16ToUtf8(text); }

std::int32_t CurrentProcessID() { return static_cast<std::int32_t>(getpid()); }

std::string ProgramName() { return program_invocation_short_name ? program_invocation_short_name : "odbc"; }

}  // namespace kqodbc

#include "real_driver.h"

#include <map>
#include <memory>
#include <mutex>

#include "odbc_headers.h"

namespace kqodbc {

namespace {

const char* const FunctionNames[FunctionCount] = {
#define KQODBC_NAME(name) #name,
#define KQODBC_NAME_W(name) #name, #name "W",
    KQODBC_PLAIN_FUNCTIONS(KQODBC_NAME) KQODBC_TEXT_FUNCTIONS(KQODBC_NAME_W)
#undef KQODBC_NAME
#undef KQODBC_NAME_W
};

bool LooksLikePath(const std::string& text) {
  return text.find_first_of("/\\") != std::string::npos || text.ends_with(".so") || text.ends_with(".dll") ||
         text.ends_with(".DLL");
}

// A registered driver's library, from the managers' driver list (odbcinst.ini or the registry).
std::string RegisteredDriverPath(const std::string& name) {
  char path[1024] = "";
  SQLGetPrivateProfileString(name.c_str(), "Driver", "", path, sizeof path, "ODBCINST.INI");
  return path;
}

}  // namespace

RealDriver* LoadRealDriver(const std::string& nameOrPath, std::string& error) {
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<RealDriver>> loaded;
  if (nameOrPath.empty()) {
    error = "no KqDriver attribute names the driver to trace";
    return nullptr;
  }
  std::string path = nameOrPath;
  if (!LooksLikePath(nameOrPath)) {
    path = RegisteredDriverPath(nameOrPath);
    if (path.empty()) {
      error = "KqDriver names \"" + nameOrPath + "\", which is no registered driver";
      return nullptr;
    }
  }
  std::lock_guard guard(lock);
  if (auto found = loaded.find(path); found != loaded.end()) return found->second.get();
  void* library = LoadLibraryForGood(path, error);
  // The manager resolves a bare file name in its own driver folder; so do we.
  if (!library && path.find_first_of("/\\") == std::string::npos && !ManagerDriverFolder().empty()) {
    std::string ignored;
    library = LoadLibraryForGood(ManagerDriverFolder() + "/" + path, ignored);
  }
  if (!library) {
    error = "the driver \"" + nameOrPath + "\" (" + path + ") could not be loaded: " + error;
    return nullptr;
  }
  if (path == ThisModulePath()) {
    error = "KqDriver names the tracing proxy itself, not the driver to trace";
    return nullptr;
  }
  auto driver = std::make_unique<RealDriver>();
  driver->Path = path;
  for (int slot = 0; slot < FunctionCount; ++slot)
    driver->Functions[slot] = LibrarySymbol(library, FunctionNames[slot]);
  if (!driver->Functions[F_SQLAllocHandle] || !driver->Functions[F_SQLFreeHandle] ||
      (!driver->Functions[F_SQLDriverConnect] && !driver->Functions[F_SQLDriverConnectW] &&
       !driver->Functions[F_SQLConnect] && !driver->Functions[F_SQLConnectW])) {
    error = "\"" + path + "\" is no ODBC 3 driver (it lacks SQLAllocHandle, SQLFreeHandle or a connect function)";
    return nullptr;
  }
  driver->Wide = driver->Functions[F_SQLDriverConnectW] || driver->Functions[F_SQLConnectW];
  return loaded.emplace(path, std::move(driver)).first->second.get();
}

}  // namespace kqodbc

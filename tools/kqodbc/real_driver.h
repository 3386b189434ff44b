#pragma once

#include <string>

#include "odbc_functions.h"

namespace kqodbc {

// Slots of the real driver's entry points: F_SQLExecDirect, F_SQLExecDirectW, ...
enum FunctionSlot : int {
#define KQODBC_SLOT(name) F_##name,
#define KQODBC_SLOT_W(name) F_##name, F_##name##W,
  KQODBC_PLAIN_FUNCTIONS(KQODBC_SLOT) KQODBC_TEXT_FUNCTIONS(KQODBC_SLOT_W)
#undef KQODBC_SLOT
#undef KQODBC_SLOT_W
      FunctionCount
};

// A driver library loaded for the rest of the process: drivers are not written to be unloaded while
// the manager may still hold handles of theirs, and the manager itself keeps them loaded too.
struct RealDriver {
  std::string Path;
  void* Functions[FunctionCount] = {};
  bool Wide = false;  // it takes connections in the wide form, so the manager would talk wide to it
};

// The driver that KqDriver names (a registered driver's name or a library path): the loaded library,
// or null with the reason in `error`. Thread-safe; each library is loaded once.
RealDriver* LoadRealDriver(const std::string& nameOrPath, std::string& error);

// Platform parts: load a library for good, look a symbol up, this module's own file.
void* LoadLibraryForGood(const std::string& path, std::string& error);
void* LibrarySymbol(void* library, const char* name);
std::string ThisModulePath();
// The folder where the manager's own relative driver paths are resolved ("" when unknown).
std::string ManagerDriverFolder();

}  // namespace kqodbc

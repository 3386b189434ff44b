#include <windows.h>

#include <atomic>

#include "tool_support.h"

namespace kqtool {

namespace {
// Set from the console control handler: the one piece of global state a console tool needs.
std::atomic<bool> Interrupted{false};
BOOL WINAPI OnControl(DWORD) {
  Interrupted = true;
  return TRUE;
}
}  // namespace

void InstallInterruptHandler() { SetConsoleCtrlHandler(OnControl, TRUE); }

bool InterruptRequested() { return Interrupted; }

std::int32_t ProcessID() { return static_cast<std::int32_t>(GetCurrentProcessId()); }

}  // namespace kqtool

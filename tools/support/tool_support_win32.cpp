#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

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

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

void PrepareConsole() {
  SetConsoleOutputCP(CP_UTF8);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode))
    SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

std::int32_t ProcessID() { return static_cast<std::int32_t>(GetCurrentProcessId()); }

}  // namespace kqtool

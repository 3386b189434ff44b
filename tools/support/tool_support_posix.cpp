#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "tool_support.h"

namespace kqtool {

namespace {
// Set from a signal handler: the one piece of global state a console tool needs.
volatile sig_atomic_t Interrupted = 0;
void OnSignal(int) { Interrupted = 1; }
}  // namespace

void InstallInterruptHandler() {
  // A closed pipe shows as a failed write, which ends the loop cleanly (the monitor detaches).
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return Interrupted != 0; }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void PrepareConsole() {}

std::int32_t ProcessID() { return static_cast<std::int32_t>(getpid()); }

}  // namespace kqtool

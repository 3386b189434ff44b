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
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return Interrupted != 0; }

std::int32_t ProcessID() { return static_cast<std::int32_t>(getpid()); }

}  // namespace kqtool

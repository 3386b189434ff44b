// kqtrace: runs a program with its libpq and SQLite statements traced as a kq client. It sets the
// environment that puts libkqtrace.so into the program (LD_PRELOAD, and LD_AUDIT for programs that
// look libpq up themselves) and execs the program, which keeps the process ID, the standard streams
// and the exit status; the environment also reaches the programs it execs in turn.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tool_version.h"

namespace {

constexpr const char* Usage =
    "Usage: kqtrace [--name NAME] [--params] [--redact] [--no-audit] [--log FILE] -- COMMAND [ARGS...]\n"
    "\n"
    "Runs COMMAND with its libpq (PostgreSQL) and SQLite statements traced: kqmon lists the process as\n"
    "a client named after the program and its database (\"psql app@/run/postgresql\") and shows each\n"
    "statement as it completes. Nothing changes for the program: same output, results and exit status.\n"
    "\n"
    "Options:\n"
    "  --name NAME   the client's name in kqmon instead of the derived one\n"
    "  --params      show bound values after the statement: TEXT /* $1='abc', $2=NULL */\n"
    "                (SQLite writes them into the text in its own way)\n"
    "  --redact      with --params: every bound value shows as ?\n"
    "  --no-audit    preload only, without glibc's audit interface (misses programs that look libpq\n"
    "                up with dlsym, such as psycopg 3)\n"
    "  --log FILE    kqtrace's own diagnostics go to FILE (never to the program's output)\n"
    "  -h, --help    this text;  --version  the version\n"
    "\n"
    "While a monitor is registered, a new client's first statement waits up to 1.5 s for the monitor to\n"
    "attach it, and the exit waits up to 0.1 s plus the detach for the monitor to read the rest.\n"
    "Services: put the same environment in the unit, for example\n"
    "  Environment=\"LD_PRELOAD=/usr/lib/libkqtrace.so\"\n"
    "  Environment=\"LD_AUDIT=/usr/lib/libkqaudit.so\" \"KQTRACE_NAME=orders-api\"\n";

std::string Folder(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool Exists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

std::string SelfPath() {
  std::vector<char> buffer(4096);
  ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length)) : std::string();
}

// Beside the program in the build tree, in the library folder when installed.
std::string FindLibrary(const std::string& file) {
  const std::string bin = Folder(SelfPath());
  for (const std::string& candidate : {bin + "/" + file, bin + "/" KQ_BIN_TO_LIB "/" + file})
    if (Exists(candidate)) return candidate;
  return {};
}

// Prepends value to a list variable of the loader, keeping what the caller had there.
void Prepend(const char* variable, const std::string& value, char separator) {
  const char* old = std::getenv(variable);
  std::string joined = value;
  if (old && *old) {
    joined += separator;
    joined += old;
  }
  setenv(variable, joined.c_str(), 1);
}

int UsageError(const char* message) {
  std::fprintf(stderr, "kqtrace: %s\n(kqtrace --help shows the usage)\n", message);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name, log;
  bool params = false, redact = false, audit = true;
  int first = 1;
  for (; first < argc; ++first) {
    std::string_view arg = argv[first];
    if (arg == "--") {
      ++first;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("kqtrace %s\n", KQ_TOOL_VERSION);
      return 0;
    }
    if (arg == "--params") {
      params = true;
    } else if (arg == "--redact") {
      redact = true;
    } else if (arg == "--no-audit") {
      audit = false;
    } else if (arg == "--name" || arg == "--log") {
      if (first + 1 >= argc) return UsageError("--name and --log take a value");
      (arg == "--name" ? name : log) = argv[++first];
    } else if (arg.starts_with("-")) {
      std::string message = "unknown option " + std::string(arg);
      return UsageError(message.c_str());
    } else {
      break;  // the command, without "--"
    }
  }
  if (first >= argc) return UsageError("no command to run");
  if (redact && !params) return UsageError("--redact applies to --params");

  const std::string tracer = FindLibrary("libkqtrace.so");
  if (tracer.empty()) {
    std::fprintf(stderr, "kqtrace: libkqtrace.so not found beside %s or in its library folder\n", SelfPath().c_str());
    return 1;
  }
  Prepend("LD_PRELOAD", tracer, ' ');
  if (audit) {
    const std::string auditor = FindLibrary("libkqaudit.so");
    if (!auditor.empty()) Prepend("LD_AUDIT", auditor, ':');
  }
  if (!name.empty()) setenv("KQTRACE_NAME", name.c_str(), 1);
  if (params) setenv("KQTRACE_PARAMS", "1", 1);
  if (redact) setenv("KQTRACE_REDACT", "1", 1);
  if (!log.empty()) setenv("KQTRACE_LOG", log.c_str(), 1);

  execvp(argv[first], argv + first);
  const int error = errno;
  std::fprintf(stderr, "kqtrace: cannot run %s: %s\n", argv[first], std::strerror(error));
  return error == ENOENT ? 127 : 126;
}

// kqmon: the command-line monitor. Lists the traced clients, attaches to one and prints its statements
// live, and drives the other requests of the channel (ping, data signal, buffer reallocation).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kq_error.h"
#include "monitor.h"
#include "platform.h"
#include "text.h"
#include "time_text.h"
#include "tool_support.h"

namespace {

using kq::Monitor;
using kq::MonitorNews;
using kq::TraceLine;

constexpr const char* Usage =
    "usage: kqmon COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  list                       show the registered monitor, the buffer size and the traced clients\n"
    "  watch [OPTIONS]            attach to a client and print its statements live until Ctrl+C\n"
    "      --client ID            the client to watch (default: the first listed, else the next to start)\n"
    "      --refno                show reference numbers\n"
    "      --time                 show time stamps\n"
    "      --buffer-size KB       trace buffer size in KB (default 64)\n"
    "      --spool FILE           let the client append evicted statements to FILE\n"
    "      --save FILE            save the buffer's statements to FILE when leaving\n"
    "      --duration SECONDS     leave after this many seconds\n"
    "      --until-detach         leave when the watched client detaches\n"
    "  ping                       ask the waiting clients to mark themselves alive, then list\n"
    "  signal ID VALUE            send VALUE to the connected client ID (its driver's callback)\n"
    "  realloc KB [--client ID]   attach, resize the client's trace buffer to KB, detach\n"
    "\n"
    "Exit codes: 0 success, 1 failure, 2 usage error.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kqmon: %s\n(try kqmon --help)\n", message.c_str());
  return 2;
}

void Status(const std::string& message) {
  std::fprintf(stderr, "kqmon: %s\n", message.c_str());
  std::fflush(stderr);
}

struct LineFormat {
  bool RefNo = false;
  bool Time = false;
  std::u16string TimeSeparator = kq::LocaleTimeSeparator();
};

// The views' line: the reference number padded to six places, the time of day, the text.
std::u16string FormatLine(const TraceLine& line, const LineFormat& format) {
  std::u16string text;
  if (format.RefNo) {
    text = kq::Utf8ToUtf16(std::to_string(line.RefNo));
    if (text.size() < 6) text.append(6 - text.size(), u' ');
    text.append(u"  ");
  }
  if (format.Time) text.append(kq::TimeText(line.Time, format.TimeSeparator)).append(u"  ");
  return text.append(line.Text);
}

void PrintLines(const std::vector<TraceLine>& lines, const LineFormat& format) {
  for (const TraceLine& line : lines) {
    if (line.Gap) {
      kqtool::PrintLine(kq::Utf8ToUtf16("--- gap: " + std::to_string(line.Missing) + " statement(s) from ref " +
                                        std::to_string(line.RefNo) + " evicted before they were read ---"));
    } else {
      kqtool::PrintLine(FormatLine(line, format));
    }
  }
}

void ListClients(kq::TClientDirectory& directory) {
  std::printf("monitor ID: %d\nbuffer size: %d bytes\nclients: %d\n", directory.MonitorID(), directory.IPCBufSize(),
              directory.Count());
  std::printf("%4s  %11s  %-5s  %s\n", "pos", "ID", "alive", "name");
  for (std::int32_t i = 1; i <= directory.Count(); ++i) {
    try {
      kq::TClientDirEntry entry = directory.GetClientRec(i);
      std::u16string name = kq::ReadFixedText(entry.Name, 58);
      std::printf("%4d  %11d  %-5s  %s\n", i, entry.ID, entry.Alive ? "yes" : "no", kq::Utf16ToUtf8(name).c_str());
    } catch (const kq::EKqError&) {
      break;  // the table shrank while we read it
    }
  }
  std::fflush(stdout);
}

struct WatchOptions {
  std::optional<std::int32_t> Client;
  bool RefNo = false;
  bool Time = false;
  std::int32_t BufferKB = 64;
  std::string Spool;
  std::string Save;
  std::optional<std::int32_t> Duration;
  bool UntilDetach = false;
};

// The client to attach to: the one asked for, or the first listed, once it is in the directory.
std::optional<std::int32_t> PickClient(Monitor& monitor, const WatchOptions& options) {
  kq::TClientDirectory& directory = monitor.Directory();
  if (options.Client) {
    if (directory.FindClient(*options.Client) != -1) return options.Client;
  } else if (directory.Count() > 0) {
    try {
      return directory.GetClientRec(1).ID;
    } catch (const kq::EKqError&) {
    }
  }
  return std::nullopt;
}

int Watch(const WatchOptions& options) {
  kqtool::InstallInterruptHandler();
  Monitor monitor(kqtool::ProcessID());
  monitor.SetBufferSize(options.BufferKB * 1024);
  monitor.SetViewSettings(options.RefNo, options.Time, kq::Utf8ToUtf16(options.Spool));
  LineFormat format{options.RefNo, options.Time};
  auto start = std::chrono::steady_clock::now();
  auto expired = [&] {
    return options.Duration &&
           std::chrono::steady_clock::now() - start > std::chrono::seconds(static_cast<long long>(*options.Duration));
  };
  bool announcedWait = false;
  bool detached = false;
  while (!kqtool::InterruptRequested() && !expired()) {
    if (!monitor.Attached()) {
      if (detached && options.UntilDetach) break;
      std::optional<std::int32_t> client = PickClient(monitor, options);
      if (!client) {
        if (!announcedWait) Status("waiting for a client to start");
        announcedWait = true;
        monitor.Poll(200);
        continue;
      }
      if (!monitor.Attach(*client)) {
        Status("client " + std::to_string(*client) + " did not attach; retrying");
        kq::SleepMs(500);
        continue;
      }
      announcedWait = false;
      Status("watching client " + std::to_string(*client) + " (" +
             kq::Utf16ToUtf8(monitor.Directory().GetClientName(*client)) + "), buffer " +
             std::to_string(options.BufferKB) + " KB");
    }
    kq::MonitorMessage message = monitor.Poll(200);
    PrintLines(monitor.ReadNew(), format);
    if (message.News == MonitorNews::ClientDetached && !monitor.Attached()) {
      Status("client " + std::to_string(message.ClientID) + " detached");
      detached = true;
    }
  }
  PrintLines(monitor.ReadNew(), format);
  if (!options.Save.empty() && monitor.Buffer()) {
    monitor.Buffer()->SaveToFile(kq::Utf8ToUtf16(options.Save));
    Status("saved to " + options.Save);
  }
  if (monitor.Attached()) {
    PrintLines(monitor.Detach(), format);
    Status("detached");
  }
  return 0;
}

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no command given");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(Usage, stdout);
    return 0;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  auto needInt = [&](std::size_t& i, const char* what) -> std::optional<std::int32_t> {
    if (i + 1 >= args.size()) return std::nullopt;
    auto value = kqtool::ParseInt(args[++i]);
    if (!value) std::fprintf(stderr, "kqmon: %s needs a whole number\n", what);
    return value;
  };

  if (command == "list" || command == "ping") {
    if (!args.empty()) return UsageError("unexpected argument " + args[0]);
    kq::TClientDirectory directory(16);
    if (command == "ping") {
      Monitor monitor(kqtool::ProcessID());
      // A waiting client answers at once, but one in its 200 ms pause after a foreign signal misses
      // a ping (the event is reset right after it): a second ping after the pause reaches it.
      monitor.Ping();
      kq::SleepMs(250);
      monitor.Ping(false);
      kq::SleepMs(250);
      ListClients(monitor.Directory());
      return 0;
    }
    ListClients(directory);
    return 0;
  }
  if (command == "watch") {
    WatchOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a == "--client") {
        if (!(options.Client = needInt(i, "--client"))) return UsageError("--client ID");
      } else if (a == "--refno") {
        options.RefNo = true;
      } else if (a == "--time") {
        options.Time = true;
      } else if (a == "--buffer-size") {
        auto kb = needInt(i, "--buffer-size");
        if (!kb || *kb < 1 || *kb > 1024 * 1024) return UsageError("--buffer-size KB (1 to 1048576)");
        options.BufferKB = *kb;
      } else if (a == "--spool" && i + 1 < args.size()) {
        options.Spool = args[++i];
      } else if (a == "--save" && i + 1 < args.size()) {
        options.Save = args[++i];
      } else if (a == "--duration") {
        if (!(options.Duration = needInt(i, "--duration"))) return UsageError("--duration SECONDS");
      } else if (a == "--until-detach") {
        options.UntilDetach = true;
      } else {
        return UsageError("unknown option " + a);
      }
    }
    return Watch(options);
  }
  if (command == "signal") {
    if (args.size() != 2) return UsageError("signal needs ID and VALUE");
    auto id = kqtool::ParseInt(args[0]);
    auto value = kqtool::ParseInt(args[1]);
    if (!id || !value) return UsageError("ID and VALUE must be whole numbers");
    kq::TIPCEvent clientEvent(kq::KqClientEventName, false);
    clientEvent.SignalData(kq::evMonitorSignal, *id, *value);
    return 0;
  }
  if (command == "realloc") {
    if (args.empty()) return UsageError("realloc needs KB");
    auto kb = kqtool::ParseInt(args[0]);
    if (!kb || *kb < 1 || *kb > 1024 * 1024) return UsageError("KB must be 1 to 1048576");
    WatchOptions options;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--client") {
        if (!(options.Client = needInt(i, "--client"))) return UsageError("--client ID");
      } else {
        return UsageError("unknown option " + args[i]);
      }
    }
    Monitor monitor(kqtool::ProcessID());
    monitor.SetBufferSize(monitor.Directory().IPCBufSize() > 0 ? monitor.Directory().IPCBufSize() : 64 * 1024);
    auto client = PickClient(monitor, options);
    if (!client) {
      std::fprintf(stderr, "kqmon: no such client\n");
      return 1;
    }
    if (!monitor.Attach(*client)) {
      std::fprintf(stderr, "kqmon: client %d did not attach\n", *client);
      return 1;
    }
    bool done = monitor.Reallocate(*kb * 1024);
    monitor.Detach();
    if (!done) {
      std::fprintf(stderr, "kqmon: client %d did not complete the reallocation\n", *client);
      return 1;
    }
    std::printf("client %d: trace buffer now %d KB\n", *client, *kb);
    return 0;
  }
  return UsageError("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const kq::EKqError& e) {
    std::fprintf(stderr, "kqmon: %s\n", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kqmon: %s\n", e.what());
  }
  return 1;
}

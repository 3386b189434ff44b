// list, ping, signal and realloc: the short-lived commands. Each registers as a monitor only for its own
// moment and hands the registration back; none disturbs a running watch.
#include <cstdio>

#include "client_liveness.h"
#include "commands.h"
#include "json_writer.h"
#include "kq_error.h"
#include "monitor.h"
#include "output_buffer.h"
#include "platform.h"
#include "terminal_text.h"
#include "text.h"
#include "tool_support.h"

namespace kqtool {

namespace {

void PrintDirectory(kq::Monitor& monitor, const std::string& format) {
  kq::TClientDirectory& directory = monitor.Directory();
  const std::optional<std::int32_t> other = monitor.LiveOtherMonitor();
  OutputBuffer out;
  if (format == "json") {
    JsonWriter json(out);
    json.BeginObject();
    json.Member("kind", "monitor");
    if (other)
      json.Member("kq.monitor.id", *other);
    else
      json.NullMember("kq.monitor.id");
    json.Member("kq.buffer.size", directory.IPCBufSize());
    json.Member("kq.client.count", directory.Count());
    json.EndObject();
  } else if (other) {
    out.Append("monitor ID: ");
    out.AppendInt(*other);
    out.Append("\nbuffer size: ");
    out.AppendInt(directory.IPCBufSize());
    out.Append(" bytes\n");
  } else {
    out.Append("no monitor is registered (kqmon watch starts one)\n");
  }
  if (format != "json") {
    if (directory.Count() == 0) {
      out.Append("no client is registered\n");
    } else {
      out.Append("clients: ");
      out.AppendInt(directory.Count());
      out.Append("\n pos           ID  alive    name\n");
    }
  }
  for (std::int32_t i = 1; i <= directory.Count(); ++i) {
    kq::TClientDirEntry entry;
    try {
      entry = directory.GetClientRec(i);
    } catch (const kq::EKqError&) {
      break;  // the table shrank while we read it
    }
    const std::u16string name = kq::ReadFixedText(entry.Name, 58);
    if (format == "json") {
      JsonWriter json(out);
      json.BeginObject();
      json.Member("kind", "client");
      json.Member("position", i);
      json.Member("kq.client.id", entry.ID);
      json.Member("kq.client.name", std::u16string_view(name));
      const ListedLiveness liveness = ListedLivenessOf(directory, entry);
      json.Member("alive", liveness == ListedLiveness::Alive);
      json.Member("dead", liveness == ListedLiveness::Dead);
      json.Member("liveness", ListedLivenessText(liveness));
      json.EndObject();
    } else {
      char line[64];
      const int n = std::snprintf(line, sizeof line, "%4d  %11d  %-7s  ", i, entry.ID,
                                  ListedLivenessText(ListedLivenessOf(directory, entry)));
      out.Append(std::string_view(line, static_cast<std::size_t>(n)));
      AppendTerminalSafe(name, out);
      out.Append('\n');
    }
  }
  std::fwrite(out.View().data(), 1, out.Size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int RunList(const ListOptions& options) {
  kq::Monitor monitor(ProcessID());
  PrintDirectory(monitor, options.Format);
  return 0;
}

int RunPing(const ListOptions& options) {
  kq::Monitor monitor(ProcessID());
  // A waiting client answers at once, but one in its 200 ms pause after a foreign signal misses a ping
  // (the event is reset right after it): a second ping after the pause reaches it.
  monitor.Ping();
  kq::SleepMs(250);
  monitor.Ping(false);
  kq::SleepMs(250);
  PrintDirectory(monitor, options.Format);
  return 0;
}

int RunSignal(std::int32_t clientID, std::int32_t value) {
  kq::Monitor monitor(ProcessID());
  if (monitor.Directory().FindClient(clientID) == -1) {
    Status("no client with ID " + std::to_string(clientID) + " is registered (kqmon list shows them)");
    return 1;
  }
  const std::optional<std::int32_t> other = monitor.LiveOtherMonitor();
  if (!other) {
    // Only the connected client listens for values, and a client is connected only to a monitor.
    Status("client " + std::to_string(clientID) +
           " is not connected: no monitor is watching it, so nothing would receive the value (start kqmon watch "
           "--client " +
           std::to_string(clientID) + " first)");
    return 1;
  }
  monitor.SendSignal(clientID, value);
  std::printf("sent %d to client %d (connected through monitor %d)\n", value, clientID, *other);
  return 0;
}

int RunRealloc(std::int32_t kilobytes, const std::string& client) {
  kq::Monitor monitor(ProcessID());
  if (auto other = monitor.LiveOtherMonitor()) {
    // Reallocating means attaching, which would pull the one trace buffer from under that watch.
    Status("monitor " + std::to_string(*other) +
           " is watching, and a reallocation now would break its watch; restart that watch with --buffer-size " +
           std::to_string(kilobytes) + " instead");
    return 1;
  }
  monitor.SetBufferSize(monitor.Directory().IPCBufSize() > 0 ? monitor.Directory().IPCBufSize() : 64 * 1024);
  std::optional<std::int32_t> id;
  if (!client.empty()) {
    id = ClientWatcher::FindClient(monitor.Directory(), client);
  } else if (monitor.Directory().Count() > 0) {
    id = monitor.Directory().GetClientRec(1).ID;
  }
  if (!id) {
    Status(client.empty() ? "no client is registered" : "no client " + client + " is registered");
    return 1;
  }
  if (!monitor.Attach(*id)) {
    Status("client " + std::to_string(*id) + " did not attach");
    return 1;
  }
  const bool done = monitor.Reallocate(kilobytes * 1024);
  monitor.Detach();
  if (!done) {
    Status("client " + std::to_string(*id) + " did not complete the reallocation");
    return 1;
  }
  std::printf("client %d: trace buffer now %d KB\n", *id, kilobytes);
  return 0;
}

}  // namespace kqtool

// list, ping, signal and realloc: the short-lived commands. Each registers as a monitor only for its own
// moment and hands the registration back; none disturbs a running watch.
#include <cstdio>

#include "client_list.h"
#include "commands.h"
#include "ipc_event.h"
#include "monitor.h"
#include "output_buffer.h"
#include "platform.h"
#include "private_channel.h"
#include "tool_support.h"

namespace kqtool {

namespace {

void PrintClients(const kq::Monitor& monitor, const std::string& format) {
  const kq::ClientSnapshot snapshot = monitor.Clients(false);
  OutputBuffer out;
  if (format == "json")
    AppendClientsJson(snapshot, out);
  else
    AppendClientsText(snapshot, out);
  std::fwrite(out.View().data(), 1, out.Size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int RunList(const ListOptions& options) {
  kq::Monitor monitor(ProcessID());
  PrintClients(monitor, options.Format);
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
  PrintClients(monitor, options.Format);
  return 0;
}

int RunSignal(std::int32_t clientID, std::int32_t value) {
  kq::Monitor monitor(ProcessID());
  if (!monitor.Clients(false).FindID(clientID)) {
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
  // A client on a ring of its own listens on its own event, not on the shared one: the value goes
  // there, and the watch's other clients see nothing of it.
  kq::ChannelTable channels;
  if (channels.OfferedBy() == *other) {
    for (std::int32_t slot = 0; slot < kq::KqChannelSlots; ++slot) {
      const kq::ChannelSlot entry = channels.Slot(slot);
      if (entry.ClientID != clientID || entry.State != kq::ChannelSlotState::Published) continue;
      kq::TIPCEvent event(kq::PrivateClientEventName(clientID), false);
      event.SignalData(kq::evMonitorSignal, clientID, value);
      std::printf("sent %d to client %d (on its own channel, watched by monitor %d)\n", value, clientID, *other);
      return 0;
    }
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
  const kq::ClientSnapshot snapshot = monitor.Clients(false);
  monitor.SetBufferSize(snapshot.BufferSize > 0 ? snapshot.BufferSize : 64 * 1024);
  std::optional<std::int32_t> id;
  if (!client.empty()) {
    id = FindClient(snapshot, client);
  } else if (!snapshot.Clients.empty()) {
    id = snapshot.Clients.front().ID;
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

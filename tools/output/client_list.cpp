#include "client_list.h"

#include <cstdio>

#include "json_writer.h"
#include "terminal_text.h"
#include "text.h"
#include "tool_support.h"

namespace kqtool {

void AppendClientsJson(const kq::ClientSnapshot& snapshot, OutputBuffer& out) {
  {
    JsonWriter json(out);
    json.BeginObject();
    json.Member("kind", "monitor");
    if (snapshot.MonitorID)
      json.Member("kq.monitor.id", *snapshot.MonitorID);
    else
      json.NullMember("kq.monitor.id");
    json.Member("kq.buffer.size", snapshot.BufferSize);
    json.Member("kq.client.count", static_cast<std::int64_t>(snapshot.Clients.size()));
    json.EndObject();
  }
  for (const kq::ClientState& client : snapshot.Clients) {
    JsonWriter json(out);
    json.BeginObject();
    json.Member("kind", "client");
    json.Member("position", client.Position);
    json.Member("kq.client.id", client.ID);
    json.Member("kq.client.name", std::u16string_view(client.Name));
    json.Member("alive", !client.Dead && (client.Live() || client.Owned));
    json.Member("dead", client.Dead);
    json.Member("liveness", client.LivenessText());
    json.EndObject();
  }
}

void AppendClientsText(const kq::ClientSnapshot& snapshot, OutputBuffer& out) {
  if (snapshot.MonitorID) {
    out.Append("monitor ID: ");
    out.AppendInt(*snapshot.MonitorID);
    out.Append("\nbuffer size: ");
    out.AppendInt(snapshot.BufferSize);
    out.Append(" bytes\n");
  } else {
    out.Append("no monitor is registered (kqmon watch starts one)\n");
  }
  if (snapshot.Clients.empty()) {
    out.Append("no client is registered\n");
    return;
  }
  out.Append("clients: ");
  out.AppendInt(static_cast<std::int64_t>(snapshot.Clients.size()));
  out.Append("\n pos           ID  alive    name\n");
  for (const kq::ClientState& client : snapshot.Clients) {
    // "dead" for an entry whose process ended without removing it; it stays until a client registers.
    char line[64];
    const int n =
        std::snprintf(line, sizeof line, "%4d  %11d  %-7s  ", client.Position, client.ID, client.LivenessText());
    out.Append(std::string_view(line, static_cast<std::size_t>(n)));
    AppendTerminalSafe(client.Name, out);
    out.Append('\n');
  }
}

std::optional<std::int32_t> FindClient(const kq::ClientSnapshot& snapshot, const std::string& client) {
  if (auto id = ParseInt(client); id && snapshot.FindID(*id)) return id;
  if (const kq::ClientState* named = snapshot.FindName(kq::Utf8ToUtf16(client))) return named->ID;
  return std::nullopt;
}

}  // namespace kqtool

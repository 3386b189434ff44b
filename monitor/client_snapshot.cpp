#include "kq_error.h"
#include "monitor.h"
#include "text.h"

namespace kq {

const ClientState* ClientSnapshot::FindID(std::int32_t id) const noexcept {
  for (const ClientState& client : Clients)
    if (client.ID == id) return &client;
  return nullptr;
}

const ClientState* ClientSnapshot::FindName(std::u16string_view name) const noexcept {
  for (const ClientState& client : Clients)
    if (client.Name == name) return &client;
  return nullptr;
}

ClientSnapshot Monitor::Clients(bool watching) const {
  ClientSnapshot snapshot;
  snapshot.MonitorID = LiveOtherMonitor();
  if (!snapshot.MonitorID && watching) snapshot.MonitorID = FID;
  snapshot.BufferSize = FDirectory->IPCBufSize();
  const std::int32_t count = FDirectory->Count();
  snapshot.Clients.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
  for (std::int32_t i = 1; i <= count; ++i) {
    TClientDirEntry entry;
    try {
      entry = FDirectory->GetClientRec(i);
    } catch (const EKqError&) {
      break;  // clients left while we read: the snapshot ends where the table now ends
    }
    ClientState& client = snapshot.Clients.emplace_back();
    client.Position = i;
    client.ID = entry.ID;
    client.Name = ReadFixedText(entry.Name, 58);
    client.Marked = entry.Alive != 0;
    client.Dead = FDirectory->ClientDead(entry.ID);
    client.Attached = FAttachedID && *FAttachedID == entry.ID;
    client.Owned = !client.Dead && FDirectory->ClientOwned(entry.ID);
  }
  return snapshot;
}

}  // namespace kq

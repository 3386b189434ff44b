#include "client_directory.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <optional>

#include "kq_error.h"
#include "kqconsts.h"
#include "platform.h"
#include "text.h"

namespace kq {

namespace {

constexpr std::size_t MonitorIDOffset = 0;
constexpr std::size_t VersionOffset = 8;
constexpr std::size_t ClientCountOffset = 16;
constexpr std::size_t IPCBufSizeOffset = 24;

// Every opener asks for this size; the table's last 32 bytes lie past it, inside the mapped page.
std::int64_t RequestedSize(std::int64_t maxClients) {
  return maxClients * static_cast<std::int64_t>(TClientDirectory::EntrySize) + 32;
}

std::int64_t TableEnd(std::int64_t maxClients) {
  return static_cast<std::int64_t>(TClientDirectory::HeaderSize) +
         maxClients * static_cast<std::int64_t>(TClientDirectory::EntrySize);
}

[[noreturn]] void RaiseBadCapacity() {
  RaiseCreateError(SKqSharedMemError, KqClientDirectoryName, InvalidParameterCode());
}

std::int32_t CheckedMaxClients(std::int32_t maxClients) {
  if (maxClients < 0 || RequestedSize(maxClients) > INT32_MAX) RaiseBadCapacity();
  return maxClients;
}

std::int32_t LoadWord(std::int32_t* word) noexcept {
  return std::atomic_ref<std::int32_t>(*word).load(std::memory_order_relaxed);
}

void StoreWord(std::int32_t* word, std::int32_t value) noexcept {
  std::atomic_ref<std::int32_t>(*word).store(value, std::memory_order_relaxed);
}

}  // namespace

TClientDirectory::TClientDirectory(std::int32_t maxClients)
    : FMaxClients(CheckedMaxClients(maxClients)),
      FMutex(KqDirectoryMutexName),
      FPingEvent(KqConnectEventName, true),
      FSharedMem(KqClientDirectoryName, static_cast<std::int32_t>(RequestedSize(maxClients))) {
  // A capacity whose table would run past the page-rounded mapping cannot be served safely.
  if (TableEnd(maxClients) > static_cast<std::int64_t>(FSharedMem.MappedSize())) RaiseBadCapacity();
  auto* view = static_cast<std::byte*>(FSharedMem.Buffer());
  FMonitorID = reinterpret_cast<std::int32_t*>(view + MonitorIDOffset);
  FVersion = reinterpret_cast<std::int32_t*>(view + VersionOffset);
  FClientCount = reinterpret_cast<std::int32_t*>(view + ClientCountOffset);
  FIPCBufSize = reinterpret_cast<std::int32_t*>(view + IPCBufSizeOffset);
  FDirBuffer = view + HeaderSize;
  FFitEntries = static_cast<std::int32_t>((FSharedMem.MappedSize() - HeaderSize) / EntrySize);
  if (FSharedMem.Created()) StoreWord(FVersion, 1);
  RetireDeadMonitor();
  // Objects whose holders all died go with the next opener of the directory: liveness objects with no
  // record of theirs left to purge (killed between making the object and recording it, or after their
  // record went), and a killed pair's buffer and events, whose names nobody may open again.
  THandledObject::SweepAbandoned();
}

void TClientDirectory::RetireDeadMonitor() noexcept {
  // A dead monitor of ours counts as none: its registration is withdrawn by the next opener, so that
  // a monitor without a liveness object that later writes the same ID is taken for the live one it is.
  if (FLiveness.RecordedMonitor() == 0 || !FMutex.Get(RetireTimeOut)) return;
  MutexHold hold(FMutex);
  const std::int32_t recorded = FLiveness.RecordedMonitor();
  const std::optional<LivenessHolder> holder = FLiveness.MonitorHolder(recorded);
  if (!holder || !DirectoryLiveness::MonitorGone(recorded, *holder)) return;
  if (MonitorID() == recorded) SetMonitorID(0);
  FLiveness.SetMonitor(0, {});
}

// Members go in reverse: section, ping event, mutex. No entry is removed here.
TClientDirectory::~TClientDirectory() = default;

std::int32_t TClientDirectory::ClampedCount() const noexcept {
  std::int32_t count = LoadWord(FClientCount);
  // Pairs with the release fence of the writer that published the count.
  std::atomic_thread_fence(std::memory_order_acquire);
  return std::clamp(count, 0, FFitEntries);
}

std::byte* TClientDirectory::EntryAt(std::int32_t position) const noexcept {
  return FDirBuffer + static_cast<std::size_t>(position - 1) * EntrySize;
}

std::int32_t TClientDirectory::EntryID(std::int32_t position) const noexcept {
  std::int32_t id;
  std::memcpy(&id, EntryAt(position) + offsetof(TClientDirEntry, ID), sizeof id);
  return id;
}

std::int32_t TClientDirectory::FindIn(std::int32_t clientID, std::int32_t count) const noexcept {
  for (std::int32_t position = 1; position <= count; ++position)
    if (EntryID(position) == clientID) return position;
  return -1;
}

std::int32_t TClientDirectory::FindClient(std::int32_t clientID) const { return FindIn(clientID, ClampedCount()); }

std::int32_t TClientDirectory::Count() const { return ClampedCount(); }
std::int32_t TClientDirectory::MonitorID() const { return LoadWord(FMonitorID); }
void TClientDirectory::SetMonitorID(std::int32_t value) { StoreWord(FMonitorID, value); }
std::int32_t TClientDirectory::IPCBufSize() const { return LoadWord(FIPCBufSize); }
void TClientDirectory::SetIPCBufSize(std::int32_t value) { StoreWord(FIPCBufSize, value); }
std::int32_t TClientDirectory::Version() const { return LoadWord(FVersion); }

void TClientDirectory::WriteEntry(std::int32_t slot, std::int32_t clientID, std::u16string_view name) noexcept {
  std::byte* entry = EntryAt(slot);
  std::memcpy(entry + offsetof(TClientDirEntry, ID), &clientID, sizeof clientID);
  name = name.substr(0, std::min(name.find(u'\0'), name.size()));
  name = name.substr(0, CutAtCodeUnit(name, NameUnits));
  // Alive and whatever lies behind the new NUL keep the slot's old bytes.
  std::byte* units = entry + offsetof(TClientDirEntry, Name);
  if (!name.empty()) std::memcpy(units, name.data(), name.size() * sizeof(char16_t));
  const char16_t nul = 0;
  std::memcpy(units + name.size() * sizeof(char16_t), &nul, sizeof nul);
}

AddClientResult TClientDirectory::AddClient(std::int32_t clientID, std::u16string_view name,
                                            std::unique_ptr<LivenessObject>* liveness) {
  // Checked under the mutex only: a full table or a taken ID may hold dead owners' entries, which go
  // first, and another process may have added meanwhile.
  auto refusal = [&](std::int32_t count) -> std::optional<AddClientStatus> {
    if (count >= FMaxClients) return AddClientStatus::Full;
    if (FindIn(clientID, count) != -1) return AddClientStatus::NotUnique;
    return std::nullopt;
  };
  if (!FMutex.Get(MutexTimeOut)) return {AddClientStatus::Busy, 0};
  MutexHold hold(FMutex);
  PurgeDeadClients();
  const std::int32_t count = ClampedCount();
  if (auto refused = refusal(count)) return {*refused, 0};
  LivenessHolder holder;
  if (liveness) {
    // Without one the entry is listed like another implementation's client: never purged.
    try {
      *liveness = DirectoryLiveness::MakeClientObject(clientID, holder);
    } catch (const EKqError&) {
      liveness->reset();
    }
  }
  WriteEntry(count + 1, clientID, name);
  if (liveness && *liveness)
    FLiveness.NoteClient(clientID, EntryAt(count + 1) + offsetof(TClientDirEntry, Name), holder);
  // The entry must be complete before the count makes it visible to readers.
  std::atomic_thread_fence(std::memory_order_release);
  StoreWord(FClientCount, count + 1);
  return {AddClientStatus::Added, count + 1};
}

bool TClientDirectory::RemoveClient(std::int32_t clientID) {
  if (ClampedCount() == 0) return false;
  // A scan racing another process's removal can miss an entry that is there, so only the lookup made
  // under the mutex decides.
  if (!FMutex.Get(MutexTimeOut)) return false;
  MutexHold hold(FMutex);
  const std::int32_t count = ClampedCount();
  const std::int32_t position = FindIn(clientID, count);
  if (position == -1) return false;
  FLiveness.ForgetClient(clientID);
  RemoveAt(position, count);
  return true;
}

void TClientDirectory::RemoveAt(std::int32_t position, std::int32_t count) noexcept {
  if (position < count)
    std::memmove(EntryAt(position), EntryAt(position + 1), static_cast<std::size_t>(count - position) * EntrySize);
  std::atomic_thread_fence(std::memory_order_release);
  StoreWord(FClientCount, count - 1);
}

void TClientDirectory::PurgeDeadClients() {
  std::int32_t count = ClampedCount();
  // From the end, so that a removal moves none of the entries still to be looked at.
  for (std::int32_t position = count; position >= 1; --position) {
    const std::int32_t id = EntryID(position);
    // Probing an abandoned object removes it, so the entry's liveness object goes with the entry.
    const std::optional<LivenessHolder> holder = FLiveness.ClientHolder(id, EntryName(position));
    if (holder && DirectoryLiveness::ClientGone(id, *holder)) {
      FLiveness.ForgetClient(id);
      RemoveAt(position, count--);
    }
  }
  // A monitor may drop entries itself; their records must not outlive them, or a later entry of
  // another implementation under the same ID and name would be taken for ours.
  FLiveness.ForgetUnlisted([&](std::int32_t id, std::u16string_view name) {
    const std::int32_t position = FindIn(id, count);
    return position != -1 && EntryName(position) == name;
  });
}

std::int32_t TClientDirectory::Last() const {
  std::int32_t count = ClampedCount();
  return count == 0 ? 0 : EntryID(count);
}

TClientDirEntry TClientDirectory::GetClientRec(std::int32_t index) const {
  if (index < 1 || index > ClampedCount()) throw EKqError(std::u16string(LoadKqString(SKqInvalidIndex)));
  TClientDirEntry entry;
  std::memcpy(&entry, EntryAt(index), EntrySize);
  return entry;
}

std::u16string TClientDirectory::EntryName(std::int32_t position) const {
  return ReadFixedText(EntryAt(position) + offsetof(TClientDirEntry, Name),
                       sizeof(TClientDirEntry::Name) / sizeof(char16_t));
}

std::u16string TClientDirectory::GetClientName(std::int32_t clientID) const {
  std::int32_t position = FindClient(clientID);
  if (position == -1) return {};
  return EntryName(position);
}

void TClientDirectory::SetAlive(std::int32_t clientID, std::uint8_t value) {
  std::int32_t position = FindClient(clientID);
  if (position == -1) return;
  auto* alive = reinterpret_cast<std::uint8_t*>(EntryAt(position) + offsetof(TClientDirEntry, Alive));
  std::atomic_ref<std::uint8_t>(*alive).store(value, std::memory_order_relaxed);
}

void TClientDirectory::MarkAlive(std::int32_t clientID) { SetAlive(clientID, 1); }
void TClientDirectory::ClearAlive(std::int32_t clientID) { SetAlive(clientID, 0); }

std::optional<LivenessHolder> TClientDirectory::ClientHolder(std::int32_t clientID) const {
  const std::int32_t position = FindClient(clientID);
  if (position == -1) return std::nullopt;
  return FLiveness.ClientHolder(clientID, EntryName(position));
}

bool TClientDirectory::ClientOwned(std::int32_t clientID) const { return ClientHolder(clientID).has_value(); }

bool TClientDirectory::ClientDead(std::int32_t clientID) const {
  const std::optional<LivenessHolder> holder = ClientHolder(clientID);
  return holder && DirectoryLiveness::ClientGone(clientID, *holder);
}

bool TClientDirectory::MonitorDead(std::int32_t monitorID) const {
  const std::optional<LivenessHolder> holder = FLiveness.MonitorHolder(monitorID);
  return holder && DirectoryLiveness::MonitorGone(monitorID, *holder);
}

bool TClientDirectory::MonitorRunning() const {
  const std::int32_t id = MonitorID();
  return id != 0 && !MonitorDead(id);
}

bool TClientDirectory::MonitorOurs(std::int32_t monitorID) const {
  if (monitorID == 0 || MonitorID() != monitorID) return false;
  // Pairs with the registration's order: the record is written before the ID.
  std::atomic_thread_fence(std::memory_order_acquire);
  return FLiveness.RecordedMonitor() == monitorID && !MonitorDead(monitorID);
}

bool MonitorRegistration::PreviousLives() const noexcept {
  return Previous != 0 && !(PreviousHolder && DirectoryLiveness::MonitorGone(Previous, *PreviousHolder));
}

MonitorRegistration TClientDirectory::RegisterMonitor(std::int32_t monitorID) {
  // Without the mutex two monitors starting at once may both believe they displaced the other; the
  // registration goes ahead, as it did before there were liveness records.
  std::optional<MutexHold> hold;
  if (FMutex.Get(MutexTimeOut)) hold.emplace(FMutex);
  MonitorRegistration registration;
  const std::int32_t previous = MonitorID();
  // A dead predecessor is taken over for good; the own ID is one this monitor's earlier life left.
  if (previous != 0 && previous != monitorID && !MonitorDead(previous)) {
    registration.Previous = previous;
    registration.PreviousHolder = FLiveness.MonitorHolder(previous);
  }
  LivenessHolder holder;
  registration.Liveness = DirectoryLiveness::MakeMonitorObject(monitorID, holder);
  if (registration.Liveness) registration.Liveness->Own();
  // Without an object of its own this monitor is recorded as none of ours: never taken for dead.
  // Recorded before it is registered, so that whoever sees the registration sees whether it is ours.
  FLiveness.SetMonitor(registration.Liveness ? monitorID : 0, holder);
  std::atomic_thread_fence(std::memory_order_release);
  SetMonitorID(monitorID);
  return registration;
}

void TClientDirectory::UnregisterMonitor(std::int32_t monitorID, MonitorRegistration& registration) noexcept {
  std::optional<MutexHold> hold;
  if (FMutex.Get(MutexTimeOut)) hold.emplace(FMutex);
  // A monitor that registered after this one keeps its registration.
  if (MonitorID() == monitorID) {
    const bool handBack = registration.PreviousLives();
    SetMonitorID(handBack ? registration.Previous : 0);
    if (handBack && registration.PreviousHolder)
      FLiveness.SetMonitor(registration.Previous, *registration.PreviousHolder);
    else
      FLiveness.SetMonitor(0, {});
  }
  if (registration.Liveness) registration.Liveness->Disown();
  registration.Liveness.reset();
}

}  // namespace kq

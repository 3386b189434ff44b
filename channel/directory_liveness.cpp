#include "directory_liveness.h"

#include <atomic>
#include <cstring>

#include "platform.h"
#include "text.h"

namespace kq {

namespace {

constexpr std::size_t VersionOffset = 0;
constexpr std::size_t MonitorOffset = 4;
constexpr std::size_t MonitorProcessOffset = 8;
constexpr std::size_t MonitorSerialOffset = 12;
constexpr std::size_t AwakeMonitorOffset = 16;
constexpr std::size_t NameUnits = sizeof(LivenessRecord::Name) / sizeof(char16_t);
// A maker that keeps meeting names somebody holds gives up and goes without a liveness object.
constexpr int MakeAttempts = 16;

std::u16string Decimal(std::int64_t value) { return Utf8ToUtf16(std::to_string(value)); }

std::u16string ObjectName(std::u16string_view kind, std::int32_t id, LivenessHolder holder) {
  return u"Kq" + std::u16string(kind) + u"." + Decimal(id) + u"." + Decimal(holder.Process) + u"." +
         Decimal(holder.Serial) + u".Live";
}

// Starts at the tick count, so that a process that reuses a dead one's ID is unlikely to meet the
// names that one left.
std::uint32_t NextSerial() noexcept {
  static std::atomic<std::uint32_t> serial{TickCount()};
  return serial.fetch_add(1, std::memory_order_relaxed);
}

std::unique_ptr<LivenessObject> MakeObject(std::u16string_view kind, std::int32_t id, LivenessHolder& holder) {
  for (int attempt = 0; attempt < MakeAttempts; ++attempt) {
    holder = {LivenessObject::ProcessTag(), NextSerial()};
    auto object = std::make_unique<LivenessObject>(ObjectName(kind, id, holder));
    // Somebody holds this name already: sharing it would make their death invisible, or ours.
    if (object->Fresh()) return object;
  }
  return nullptr;
}

bool Gone(const std::u16string& name) noexcept {
  try {
    return LivenessObject::Probe(name) != LivenessState::Held;
  } catch (...) {
    return false;
  }
}

std::atomic_ref<std::int32_t> Word(std::byte* at) noexcept {
  return std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(at));
}

}  // namespace

DirectoryLiveness::DirectoryLiveness() : FSharedMem(KqDirectoryLivenessName, SectionSize) {
  if (FSharedMem.Created()) Word(At(VersionOffset)).store(LayoutVersion, std::memory_order_relaxed);
  // Another build of ours with another layout: its records are not read, and ours are not written.
  FUsable = Word(At(VersionOffset)).load(std::memory_order_relaxed) == LayoutVersion;
}

std::u16string DirectoryLiveness::ClientObjectName(std::int32_t clientID, LivenessHolder holder) {
  return ObjectName(u"Client", clientID, holder);
}

std::u16string DirectoryLiveness::MonitorObjectName(std::int32_t monitorID, LivenessHolder holder) {
  return ObjectName(u"Monitor", monitorID, holder);
}

std::unique_ptr<LivenessObject> DirectoryLiveness::MakeClientObject(std::int32_t clientID, LivenessHolder& holder) {
  return MakeObject(u"Client", clientID, holder);
}

std::unique_ptr<LivenessObject> DirectoryLiveness::MakeMonitorObject(std::int32_t monitorID, LivenessHolder& holder) {
  return MakeObject(u"Monitor", monitorID, holder);
}

bool DirectoryLiveness::ClientGone(std::int32_t clientID, LivenessHolder holder) noexcept {
  try {
    return Gone(ClientObjectName(clientID, holder));
  } catch (...) {
    return false;
  }
}

bool DirectoryLiveness::MonitorGone(std::int32_t monitorID, LivenessHolder holder) noexcept {
  try {
    return Gone(MonitorObjectName(monitorID, holder));
  } catch (...) {
    return false;
  }
}

bool DirectoryLiveness::ClientGone(std::int32_t clientID) noexcept {
  try {
    const DirectoryLiveness liveness;
    if (!liveness.FUsable) return false;
    for (std::int32_t i = 0; i < RecordCount; ++i)
      if (liveness.Used(i) && liveness.RecordID(i) == clientID) return ClientGone(clientID, liveness.RecordHolder(i));
    return false;
  } catch (...) {
    return false;
  }
}

bool DirectoryLiveness::MonitorGone(std::int32_t monitorID) noexcept {
  try {
    const DirectoryLiveness liveness;
    const std::optional<LivenessHolder> holder = liveness.MonitorHolder(monitorID);
    return holder && MonitorGone(monitorID, *holder);
  } catch (...) {
    return false;
  }
}

std::byte* DirectoryLiveness::At(std::size_t offset) const noexcept {
  return static_cast<std::byte*>(FSharedMem.Buffer()) + offset;
}

std::byte* DirectoryLiveness::RecordAt(std::int32_t index) const noexcept {
  return At(HeaderSize + static_cast<std::size_t>(index) * sizeof(LivenessRecord));
}

bool DirectoryLiveness::Used(std::int32_t index) const noexcept {
  const bool result = Word(RecordAt(index) + offsetof(LivenessRecord, Used)).load(std::memory_order_relaxed) == 1;
  // Pairs with the release fence of the writer that filled the record before marking it used.
  std::atomic_thread_fence(std::memory_order_acquire);
  return result;
}

void DirectoryLiveness::SetUsed(std::int32_t index, bool used) noexcept {
  std::atomic_thread_fence(std::memory_order_release);
  Word(RecordAt(index) + offsetof(LivenessRecord, Used)).store(used ? 1 : 0, std::memory_order_relaxed);
}

std::int32_t DirectoryLiveness::RecordID(std::int32_t index) const noexcept {
  std::int32_t id;
  std::memcpy(&id, RecordAt(index) + offsetof(LivenessRecord, ID), sizeof id);
  return id;
}

std::u16string DirectoryLiveness::RecordName(std::int32_t index) const {
  return ReadFixedText(RecordAt(index) + offsetof(LivenessRecord, Name), NameUnits);
}

LivenessHolder DirectoryLiveness::RecordHolder(std::int32_t index) const noexcept {
  LivenessHolder holder;
  std::memcpy(&holder.Process, RecordAt(index) + offsetof(LivenessRecord, HolderProcess), sizeof holder.Process);
  std::memcpy(&holder.Serial, RecordAt(index) + offsetof(LivenessRecord, HolderSerial), sizeof holder.Serial);
  return holder;
}

std::optional<LivenessHolder> DirectoryLiveness::ClientHolder(std::int32_t clientID, std::u16string_view name) const {
  if (!FUsable) return std::nullopt;
  for (std::int32_t i = 0; i < RecordCount; ++i)
    if (Used(i) && RecordID(i) == clientID && RecordName(i) == name) return RecordHolder(i);
  return std::nullopt;
}

std::int32_t DirectoryLiveness::RecordedMonitor() const noexcept {
  if (!FUsable) return 0;
  return Word(At(MonitorOffset)).load(std::memory_order_relaxed);
}

std::int32_t* DirectoryLiveness::MonitorAwakeWord() const noexcept {
  return FUsable ? reinterpret_cast<std::int32_t*>(At(AwakeMonitorOffset)) : nullptr;
}

std::optional<LivenessHolder> DirectoryLiveness::MonitorHolder(std::int32_t monitorID) const noexcept {
  if (!FUsable || monitorID == 0 || Word(At(MonitorOffset)).load(std::memory_order_relaxed) != monitorID)
    return std::nullopt;
  // The writer clears the ID while it changes the holder: a holder read between two equal IDs is
  // the one recorded with that ID.
  std::atomic_thread_fence(std::memory_order_acquire);
  LivenessHolder holder{static_cast<std::uint32_t>(Word(At(MonitorProcessOffset)).load(std::memory_order_relaxed)),
                        static_cast<std::uint32_t>(Word(At(MonitorSerialOffset)).load(std::memory_order_relaxed))};
  std::atomic_thread_fence(std::memory_order_acquire);
  if (Word(At(MonitorOffset)).load(std::memory_order_relaxed) != monitorID) return std::nullopt;
  return holder;
}

void DirectoryLiveness::NoteClient(std::int32_t clientID, const void* name, LivenessHolder holder) noexcept {
  if (!FUsable) return;
  ForgetClient(clientID);
  for (std::int32_t i = 0; i < RecordCount; ++i) {
    if (Used(i)) continue;
    std::memcpy(RecordAt(i) + offsetof(LivenessRecord, ID), &clientID, sizeof clientID);
    std::memcpy(RecordAt(i) + offsetof(LivenessRecord, Name), name, sizeof(LivenessRecord::Name));
    std::memcpy(RecordAt(i) + offsetof(LivenessRecord, HolderProcess), &holder.Process, sizeof holder.Process);
    std::memcpy(RecordAt(i) + offsetof(LivenessRecord, HolderSerial), &holder.Serial, sizeof holder.Serial);
    SetUsed(i, true);
    return;
  }
  // Every record taken: this entry is simply never purged, like another implementation's.
}

void DirectoryLiveness::ForgetClient(std::int32_t clientID) noexcept {
  if (!FUsable) return;
  for (std::int32_t i = 0; i < RecordCount; ++i)
    if (Used(i) && RecordID(i) == clientID) SetUsed(i, false);
}

void DirectoryLiveness::ForgetUnlisted(const std::function<bool(std::int32_t, std::u16string_view)>& listed) {
  if (!FUsable) return;
  for (std::int32_t i = 0; i < RecordCount; ++i)
    if (Used(i) && !listed(RecordID(i), RecordName(i))) SetUsed(i, false);
}

void DirectoryLiveness::SetMonitor(std::int32_t monitorID, LivenessHolder holder) noexcept {
  if (!FUsable) return;
  Word(At(MonitorOffset)).store(0, std::memory_order_relaxed);
  if (monitorID == 0) return;
  std::atomic_thread_fence(std::memory_order_release);
  Word(At(MonitorProcessOffset)).store(static_cast<std::int32_t>(holder.Process), std::memory_order_relaxed);
  Word(At(MonitorSerialOffset)).store(static_cast<std::int32_t>(holder.Serial), std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  Word(At(MonitorOffset)).store(monitorID, std::memory_order_relaxed);
}

}  // namespace kq

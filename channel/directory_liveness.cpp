#include "directory_liveness.h"

#include <atomic>
#include <cstring>

#include "liveness_object.h"
#include "text.h"

namespace kq {

namespace {

constexpr std::size_t VersionOffset = 0;
constexpr std::size_t MonitorOffset = 4;
constexpr std::size_t NameUnits = sizeof(LivenessRecord::Name) / sizeof(char16_t);

std::u16string ObjectName(std::u16string_view kind, std::int32_t id) {
  return u"Kq" + std::u16string(kind) + u"." + Utf8ToUtf16(std::to_string(id)) + u".Live";
}

}  // namespace

DirectoryLiveness::DirectoryLiveness() : FSharedMem(KqDirectoryLivenessName, SectionSize) {
  auto* view = static_cast<std::byte*>(FSharedMem.Buffer());
  FMonitorID = reinterpret_cast<std::int32_t*>(view + MonitorOffset);
  if (FSharedMem.Created())
    std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(view + VersionOffset))
        .store(1, std::memory_order_relaxed);
}

std::u16string DirectoryLiveness::ClientObjectName(std::int32_t clientID) { return ObjectName(u"Client", clientID); }

std::u16string DirectoryLiveness::MonitorObjectName(std::int32_t monitorID) {
  return ObjectName(u"Monitor", monitorID);
}

bool DirectoryLiveness::ClientGone(std::int32_t clientID) noexcept {
  try {
    return LivenessObject::Probe(ClientObjectName(clientID)) != LivenessState::Held;
  } catch (...) {
    return false;
  }
}

bool DirectoryLiveness::MonitorGone(std::int32_t monitorID) noexcept {
  try {
    return LivenessObject::Probe(MonitorObjectName(monitorID)) != LivenessState::Held;
  } catch (...) {
    return false;
  }
}

std::byte* DirectoryLiveness::RecordAt(std::int32_t index) const noexcept {
  return static_cast<std::byte*>(FSharedMem.Buffer()) + HeaderSize +
         static_cast<std::size_t>(index) * sizeof(LivenessRecord);
}

bool DirectoryLiveness::Used(std::int32_t index) const noexcept {
  auto* used = reinterpret_cast<std::int32_t*>(RecordAt(index) + offsetof(LivenessRecord, Used));
  const bool result = std::atomic_ref<std::int32_t>(*used).load(std::memory_order_relaxed) == 1;
  // Pairs with the release fence of the writer that filled the record before marking it used.
  std::atomic_thread_fence(std::memory_order_acquire);
  return result;
}

void DirectoryLiveness::SetUsed(std::int32_t index, bool used) noexcept {
  std::atomic_thread_fence(std::memory_order_release);
  auto* word = reinterpret_cast<std::int32_t*>(RecordAt(index) + offsetof(LivenessRecord, Used));
  std::atomic_ref<std::int32_t>(*word).store(used ? 1 : 0, std::memory_order_relaxed);
}

std::int32_t DirectoryLiveness::RecordID(std::int32_t index) const noexcept {
  std::int32_t id;
  std::memcpy(&id, RecordAt(index) + offsetof(LivenessRecord, ID), sizeof id);
  return id;
}

std::u16string DirectoryLiveness::RecordName(std::int32_t index) const {
  return ReadFixedText(RecordAt(index) + offsetof(LivenessRecord, Name), NameUnits);
}

bool DirectoryLiveness::ClientOwned(std::int32_t clientID, std::u16string_view name) const {
  for (std::int32_t i = 0; i < RecordCount; ++i)
    if (Used(i) && RecordID(i) == clientID && RecordName(i) == name) return true;
  return false;
}

bool DirectoryLiveness::MonitorOwned(std::int32_t monitorID) const noexcept {
  return monitorID != 0 && std::atomic_ref<std::int32_t>(*FMonitorID).load(std::memory_order_relaxed) == monitorID;
}

void DirectoryLiveness::NoteClient(std::int32_t clientID, const void* name) noexcept {
  ForgetClient(clientID);
  for (std::int32_t i = 0; i < RecordCount; ++i) {
    if (Used(i)) continue;
    std::memcpy(RecordAt(i) + offsetof(LivenessRecord, ID), &clientID, sizeof clientID);
    std::memcpy(RecordAt(i) + offsetof(LivenessRecord, Name), name, sizeof(LivenessRecord::Name));
    SetUsed(i, true);
    return;
  }
  // Every record taken: this entry is simply never purged, like another implementation's.
}

void DirectoryLiveness::ForgetClient(std::int32_t clientID) noexcept {
  for (std::int32_t i = 0; i < RecordCount; ++i)
    if (Used(i) && RecordID(i) == clientID) SetUsed(i, false);
}

void DirectoryLiveness::ForgetUnlisted(const std::function<bool(std::int32_t, std::u16string_view)>& listed) {
  for (std::int32_t i = 0; i < RecordCount; ++i)
    if (Used(i) && !listed(RecordID(i), RecordName(i))) SetUsed(i, false);
}

void DirectoryLiveness::SetMonitor(std::int32_t monitorID) noexcept {
  std::atomic_ref<std::int32_t>(*FMonitorID).store(monitorID, std::memory_order_relaxed);
}

}  // namespace kq

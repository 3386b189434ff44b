#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "shared_mem.h"

namespace kq {

inline constexpr std::u16string_view KqDirectoryLivenessName = u"KqDirectoryLiveness";

// One directory entry whose owner holds a liveness object. The name is kept as the entry has it, so
// that an entry which another implementation's client added later under the same ID is not taken
// for ours. Unaligned in the section, so only ever copied with memcpy.
#pragma pack(push, 1)
struct LivenessRecord {
  std::int32_t Used;  // 1 while the record is valid
  std::int32_t ID;
  char16_t Name[58];
};
#pragma pack(pop)
static_assert(sizeof(LivenessRecord) == 124);

// Which owners of directory entries, and which registered monitor, hold a liveness object named from
// their ID: the section "KqDirectoryLiveness" beside the directory, which every directory object of
// ours opens with it (so it lives as long as any of ours holds the directory) and writes only under
// "KqDirectoryMutex". An entry or a monitor without a record (another implementation's, or one added
// while every record was taken) is never taken for dead. Layout: Version (offset 0), the monitor
// holding a liveness object (4, 0 = none), 8 reserved bytes, then RecordCount records.
class DirectoryLiveness {
 public:
  static constexpr std::int32_t RecordCount = 32;
  static constexpr std::size_t HeaderSize = 16;
  static constexpr std::int32_t SectionSize =
      static_cast<std::int32_t>(HeaderSize + RecordCount * sizeof(LivenessRecord));

  DirectoryLiveness();

  static std::u16string ClientObjectName(std::int32_t clientID);
  static std::u16string MonitorObjectName(std::int32_t monitorID);
  // The holder's object is gone or abandoned: it ended (true also when it never made one).
  static bool ClientGone(std::int32_t clientID) noexcept;
  static bool MonitorGone(std::int32_t monitorID) noexcept;

  // Whether the entry of that ID and name, or that monitor, holds a liveness object. Without a lock.
  bool ClientOwned(std::int32_t clientID, std::u16string_view name) const;
  bool MonitorOwned(std::int32_t monitorID) const noexcept;

  // Writers; the caller holds the directory mutex. `name` is the entry's Name field (58 units).
  void NoteClient(std::int32_t clientID, const void* name) noexcept;
  void ForgetClient(std::int32_t clientID) noexcept;
  // Drops the records whose entry is no longer listed.
  void ForgetUnlisted(const std::function<bool(std::int32_t, std::u16string_view)>& listed);
  void SetMonitor(std::int32_t monitorID) noexcept;

  const TSharedMem& SharedMem() const noexcept { return FSharedMem; }

 private:
  std::byte* RecordAt(std::int32_t index) const noexcept;
  bool Used(std::int32_t index) const noexcept;
  std::int32_t RecordID(std::int32_t index) const noexcept;
  std::u16string RecordName(std::int32_t index) const;
  void SetUsed(std::int32_t index, bool used) noexcept;

  TSharedMem FSharedMem;
  std::int32_t* FMonitorID = nullptr;
};

}  // namespace kq

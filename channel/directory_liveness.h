#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "liveness_object.h"
#include "shared_mem.h"

namespace kq {

inline constexpr std::u16string_view KqDirectoryLivenessName = u"KqDirectoryLiveness";

// Liveness naming and records.
//
// Every endpoint and every registered monitor of ours holds a liveness object of its own, whose name
// identifies the holder, not only the ID it registered under:
//
//   KqClient.<ID>.<Process>.<Serial>.Live      KqMonitor.<ID>.<Process>.<Serial>.Live
//
// <ID> is the client or monitor ID (decimal, signed), <Process> the holder's process ID and <Serial>
// a per-process counter that starts at the tick count of the process's first liveness object (both
// decimal, unsigned 32-bit); a maker that does not get a fresh object under a name takes the next
// serial. (POSIX: files "<name>.live" in the namespace's folder; Windows: named mutexes.) The pair
// (Process, Serial) is the holder, recorded in "KqDirectoryLiveness" next to the entry or monitor it
// belongs to. "The holder of this entry (monitor) is dead" is then proven on exactly that object: it
// is gone or abandoned. An entry or monitor without a matching record (another implementation's, one
// added while every record was taken, or a monitor ID written over a stale record) is never dead.
//
// Section "KqDirectoryLiveness" (one page), written only under "KqDirectoryMutex":
//   offset 0   Version          2 (a section of another version is ignored: nothing is ever dead)
//   offset 4   MonitorID        the registered monitor of ours, 0 = none
//   offset 8   MonitorProcess   its holder
//   offset 12  MonitorSerial
//   offset 16  AwakeMonitor     the registered monitor of ours while it is awake and reads every ring
//                               again before it sleeps; 0 while it may sleep. Written by that monitor
//                               alone, without the mutex (see MonitorAwakeWord).
//   offset 20  12 reserved bytes (zero), for capabilities of the monitor
//   offset 32  RecordCount records of 132 bytes (LivenessRecord)
struct LivenessHolder {
  std::uint32_t Process = 0;
  std::uint32_t Serial = 0;
  friend bool operator==(const LivenessHolder&, const LivenessHolder&) = default;
};

// One directory entry whose owner holds a liveness object. The name is kept as the entry has it, so
// that an entry which another implementation's client added later under the same ID is not taken
// for ours. Unaligned in the section, so only ever copied with memcpy.
#pragma pack(push, 1)
struct LivenessRecord {
  std::int32_t Used;  // 1 while the record is valid
  std::int32_t ID;
  char16_t Name[58];
  std::uint32_t HolderProcess;
  std::uint32_t HolderSerial;
};
#pragma pack(pop)
static_assert(sizeof(LivenessRecord) == 132);
static_assert(offsetof(LivenessRecord, HolderProcess) == 124);

// This process's view of "KqDirectoryLiveness", which every directory object of ours opens with the
// directory (so it lives as long as any of ours holds the directory).
class DirectoryLiveness {
 public:
  static constexpr std::int32_t LayoutVersion = 2;
  static constexpr std::int32_t RecordCount = 30;
  static constexpr std::size_t HeaderSize = 32;
  static constexpr std::int32_t SectionSize =
      static_cast<std::int32_t>(HeaderSize + RecordCount * sizeof(LivenessRecord));
  static_assert(SectionSize <= 4096);

  DirectoryLiveness();

  static std::u16string ClientObjectName(std::int32_t clientID, LivenessHolder holder);
  static std::u16string MonitorObjectName(std::int32_t monitorID, LivenessHolder holder);
  // Makes a liveness object under a name nobody else holds; `holder` says which. Raises 35601 when
  // it cannot be made; null when every name tried was somebody's.
  static std::unique_ptr<LivenessObject> MakeClientObject(std::int32_t clientID, LivenessHolder& holder);
  static std::unique_ptr<LivenessObject> MakeMonitorObject(std::int32_t monitorID, LivenessHolder& holder);
  // That holder's object is gone or abandoned: it ended.
  static bool ClientGone(std::int32_t clientID, LivenessHolder holder) noexcept;
  // The same for the client recorded under that ID now, whatever its name; false when none is.
  static bool ClientGone(std::int32_t clientID) noexcept;
  static bool MonitorGone(std::int32_t monitorID, LivenessHolder holder) noexcept;
  // The same for the monitor recorded under that ID now; false when none of ours is recorded so.
  static bool MonitorGone(std::int32_t monitorID) noexcept;

  // The holder recorded for the entry of that ID and name, or for that monitor. Without a lock.
  std::optional<LivenessHolder> ClientHolder(std::int32_t clientID, std::u16string_view name) const;
  std::optional<LivenessHolder> MonitorHolder(std::int32_t monitorID) const noexcept;
  // The registered monitor of ours as recorded (0 = none).
  std::int32_t RecordedMonitor() const noexcept;
  // The AwakeMonitor word, null when the section has another layout. A client of ours that is
  // connected to that monitor may leave out its signal while the word holds the monitor's ID: the
  // client publishes its record, then a full barrier, then reads the word; the monitor clears the
  // word, then a full barrier, then looks at every ring once more before it sleeps. One of the two
  // sees the other's write, so a record whose signal was left out is read before the monitor sleeps.
  std::int32_t* MonitorAwakeWord() const noexcept;

  // Writers; the caller holds the directory mutex. `name` is the entry's Name field (58 units).
  void NoteClient(std::int32_t clientID, const void* name, LivenessHolder holder) noexcept;
  void ForgetClient(std::int32_t clientID) noexcept;
  // Drops the records whose entry is no longer listed.
  void ForgetUnlisted(const std::function<bool(std::int32_t, std::u16string_view)>& listed);
  // monitorID 0 clears the monitor record.
  void SetMonitor(std::int32_t monitorID, LivenessHolder holder) noexcept;

  const TSharedMem& SharedMem() const noexcept { return FSharedMem; }

 private:
  std::byte* At(std::size_t offset) const noexcept;
  std::byte* RecordAt(std::int32_t index) const noexcept;
  bool Used(std::int32_t index) const noexcept;
  std::int32_t RecordID(std::int32_t index) const noexcept;
  std::u16string RecordName(std::int32_t index) const;
  LivenessHolder RecordHolder(std::int32_t index) const noexcept;
  void SetUsed(std::int32_t index, bool used) noexcept;

  TSharedMem FSharedMem;
  bool FUsable = false;  // the section has our layout
};

}  // namespace kq

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "directory_liveness.h"
#include "ipc_event.h"
#include "liveness_object.h"
#include "mutex.h"
#include "shared_mem.h"

namespace kq {

inline constexpr std::u16string_view KqDirectoryMutexName = u"KqDirectoryMutex";
inline constexpr std::u16string_view KqClientDirectoryName = u"KqClientDirectory";
// Entries every endpoint and monitor opens the directory with: one table size for every peer.
inline constexpr std::int32_t KqDirectoryCapacity = 16;

// One entry of the shared table; unaligned inside the section, so it is only ever copied with memcpy.
#pragma pack(push, 1)
struct TClientDirEntry {
  std::int32_t ID;
  std::uint8_t Alive;
  char16_t Name[58];
};
#pragma pack(pop)
static_assert(sizeof(TClientDirEntry) == 121);
static_assert(offsetof(TClientDirEntry, ID) == 0);
static_assert(offsetof(TClientDirEntry, Alive) == 4);
static_assert(offsetof(TClientDirEntry, Name) == 5);

// What AddClient did. Only Added changes the table.
enum class AddClientStatus {
  Added,
  Full,       // MaxClients entries are listed
  NotUnique,  // the ID is listed already
  Busy,       // the directory mutex was not had within MutexTimeOut
};

struct [[nodiscard]] AddClientResult {
  AddClientStatus Status;
  std::int32_t Count;  // the new count (the entry's 1-based position) when added, else 0
};

// What a monitor's registration displaced: the monitor to hand the registration back to when it leaves.
struct MonitorRegistration {
  std::int32_t Previous = 0;  // a live monitor that was registered before, 0 for none
  // Its liveness object's holder when it has one, so that its death can be seen.
  std::optional<LivenessHolder> PreviousHolder;
  std::unique_ptr<LivenessObject> Liveness;

  // Whether the monitor to hand back to is still there, as far as anyone can tell.
  bool PreviousLives() const noexcept;
};

// This process's handle on the machine-wide table of traced clients in "KqClientDirectory", which every
// client process and the monitor map and write at once. Additions and removals serialise on
// "KqDirectoryMutex" and repeat their checks while holding it; reads take no lock and may see another
// process's change half done. Every count read from the section is clamped to this process's mapping.
// Beside it, the liveness records (directory_liveness.h) tell which entries' owners are provably dead.
class TClientDirectory {
 public:
  static constexpr std::size_t HeaderSize = 64;
  static constexpr std::size_t EntrySize = sizeof(TClientDirEntry);
  static constexpr std::int32_t MutexTimeOut = 2000;
  // How long an opener waits for the mutex to withdraw a dead monitor's registration.
  static constexpr std::int32_t RetireTimeOut = 200;
  static constexpr std::size_t NameUnits = 57;  // plus the NUL

  // Opens or creates the mutex, the ping event and the section, in this order. A capacity whose table
  // does not fit the page-rounded section raises 35599 with the invalid-parameter code.
  explicit TClientDirectory(std::int32_t maxClients);
  ~TClientDirectory();
  TClientDirectory(const TClientDirectory&) = delete;
  TClientDirectory& operator=(const TClientDirectory&) = delete;

  // Appends the entry, or reports why not; raises nothing. Entries of provably dead owners go first.
  // The caller decides what a refusal means (the endpoint raises 35592 for Full and 35593 for
  // NotUnique). With `liveness`, the caller becomes the entry's owner: its liveness object is made
  // under the mutex and recorded (when it cannot be made, the entry is listed without one).
  [[nodiscard]] AddClientResult AddClient(std::int32_t clientID, std::u16string_view name,
                                          std::unique_ptr<LivenessObject>* liveness = nullptr);
  // False when the ID is not there or the mutex was not had within 2 s.
  [[nodiscard]] bool RemoveClient(std::int32_t clientID);
  std::int32_t Last() const;
  // 1-based; raises 35603 outside 1 to Count.
  TClientDirEntry GetClientRec(std::int32_t index) const;
  std::u16string GetClientName(std::int32_t clientID) const;
  std::int32_t Count() const;
  std::int32_t MonitorID() const;
  void SetMonitorID(std::int32_t value);
  std::int32_t IPCBufSize() const;
  void SetIPCBufSize(std::int32_t value);
  std::int32_t Version() const;
  std::int32_t MaxClients() const { return FMaxClients; }
  // 1-based position of the ID, or -1.
  [[nodiscard]] std::int32_t FindClient(std::int32_t clientID) const;
  void MarkAlive(std::int32_t clientID);
  void ClearAlive(std::int32_t clientID);
  const TSharedMem& SharedMem() const noexcept { return FSharedMem; }

  // The listed entry's owner held a liveness object that is now gone or abandoned.
  bool ClientDead(std::int32_t clientID) const;
  // The listed entry's owner holds a liveness object (so that its death would show).
  bool ClientOwned(std::int32_t clientID) const;
  // The holder of the listed entry's liveness object, as recorded.
  std::optional<LivenessHolder> ClientHolder(std::int32_t clientID) const;
  bool MonitorDead(std::int32_t monitorID) const;
  // The liveness holder recorded for that monitor while it is the registered one.
  std::optional<LivenessHolder> MonitorHolder(std::int32_t monitorID) const noexcept {
    return FLiveness.MonitorHolder(monitorID);
  }
  // MonitorID is set and its monitor is not provably dead.
  bool MonitorRunning() const;
  // Registers monitorID as the running monitor, holding a liveness object owned by the calling
  // thread, and takes over from a dead predecessor. Unregister hands back only to one that lives.
  MonitorRegistration RegisterMonitor(std::int32_t monitorID);
  void UnregisterMonitor(std::int32_t monitorID, MonitorRegistration& registration) noexcept;

 private:
  std::int32_t ClampedCount() const noexcept;
  std::byte* EntryAt(std::int32_t position) const noexcept;  // 1-based
  std::int32_t EntryID(std::int32_t position) const noexcept;
  [[nodiscard]] std::int32_t FindIn(std::int32_t clientID, std::int32_t count) const noexcept;
  void SetAlive(std::int32_t clientID, std::uint8_t value);
  void WriteEntry(std::int32_t slot, std::int32_t clientID, std::u16string_view name) noexcept;
  std::u16string EntryName(std::int32_t position) const;
  void RemoveAt(std::int32_t position, std::int32_t count) noexcept;  // under the mutex
  void PurgeDeadClients();                                            // under the mutex
  void RetireDeadMonitor() noexcept;

  std::int32_t* FMonitorID = nullptr;
  std::int32_t* FClientCount = nullptr;
  std::int32_t* FIPCBufSize = nullptr;
  std::int32_t* FVersion = nullptr;
  std::int32_t FMaxClients;
  TMutex FMutex;
  TIPCEvent FPingEvent;  // held open only; the endpoint does the waiting on this event
  TSharedMem FSharedMem;
  std::byte* FDirBuffer = nullptr;
  std::int32_t FFitEntries = 0;  // entries that lie inside our mapping
  DirectoryLiveness FLiveness;
};

}  // namespace kq

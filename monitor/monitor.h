#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "buffer_reader.h"
#include "client_directory.h"
#include "ipc_buffer.h"
#include "ipc_event.h"
#include "text_file.h"

namespace kq {

// ClientEnded: the attached client's process died without detaching (its liveness object is gone).
enum class MonitorNews { None, Signalled, ClientStarted, ClientStopped, ClientDetached, ClientAttached, ClientEnded };

struct MonitorMessage {
  MonitorNews News = MonitorNews::None;
  std::int32_t ClientID = 0;
};

// Spooling that was asked for and is off: the path was refused by this monitor when it was set, or
// turned into something a client refuses (a link, not a regular file, another user's file) while the
// client spooled, as this monitor's own look at the path found.
struct SpoolStop {
  std::u16string Path;
  FileRefusal Reason = FileRefusal::None;  // as the path looks now
  bool ByClient = false;                   // found while a client had the path
};

// One directory entry as a monitor sees it at one moment.
struct ClientState {
  std::int32_t Position = 0;  // 1-based, in the directory's order
  std::int32_t ID = 0;
  std::u16string Name;
  bool Marked = false;    // its Alive mark is set: it answered the last ping
  bool Dead = false;      // its process provably ended without removing the entry
  bool Attached = false;  // the monitor that took the snapshot watches it
  bool Owned = false;     // a process of ours still holds the entry's liveness object
  // Alive as far as this monitor can tell: not provably dead, and it answered the last ping or is the
  // client this monitor watches (a connected client does not answer pings).
  bool Live() const noexcept { return !Dead && (Marked || Attached); }
  // What a listing can say without watching: dead, alive (the liveness object is held, it answered the
  // last ping, or it is watched), or unknown (another implementation's client that no ping reached).
  const char* LivenessText() const noexcept {
    return Dead ? "dead" : (Marked || Attached || Owned) ? "yes" : "unknown";
  }
};

// The client directory at one moment: what every listing of the clients shows.
struct ClientSnapshot {
  // The monitor that watches: another live one, or the one that took the snapshot when it watches.
  std::optional<std::int32_t> MonitorID;
  std::int32_t BufferSize = 0;
  std::vector<ClientState> Clients;

  const ClientState* FindID(std::int32_t id) const noexcept;
  const ClientState* FindName(std::u16string_view name) const noexcept;
};

// The monitor's half of every handshake, over the same named objects as the clients: registers its
// ID in the directory while it lives (with a liveness object, taking over from a dead predecessor and
// handing back only to a live one), attaches to one client at a time, reads that client's records
// in reference-number order and reports every run it missed.
class Monitor {
 public:
  // The longest Poll watches the ring before it sleeps. Records that stream faster than this keep the
  // monitor awake and the client free of wake-up calls. At lower rates a watch ends unrewarded and
  // would cost this much processor time per statement, so each such watch halves the next one, down
  // to none; records found waiting bring it back. On Windows a missed watch costs the client a system
  // call (tens of microseconds under Wine) for its next statement, so the watch is longer there.
#ifdef _WIN32
  static constexpr std::int32_t MaxWatchUs = 400;
#else
  static constexpr std::int32_t MaxWatchUs = 20;
#endif

  explicit Monitor(std::int32_t monitorID);
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  TClientDirectory& Directory() noexcept { return *FDirectory; }
  // Every listed client with its live state. `watching`: this monitor is the one that watches (a
  // long-lived watch), not a short-lived command that registered for its moment.
  ClientSnapshot Clients(bool watching) const;
  void SetBufferSize(std::int32_t bytes) noexcept { FBufferSize = bytes; }
  // A spool path that names a link, a device or another user's file is not handed to clients;
  // TakeSpoolStop tells why.
  void SetViewSettings(bool useRefNo, bool useTime, std::u16string spoolFile);
  // Once for each time spooling stopped (see SpoolStop); noticed when records are read.
  std::optional<SpoolStop> TakeSpoolStop();
  // Looks at the spool path now and then (a client refuses a bad one at each reclaim without a word)
  // and stops spooling when it became a link, not a regular file or another user's.
  void CheckSpool();
  // The spool path clients are given: empty once spooling stopped.
  std::u16string ActiveSpoolFile() const { return FSpoolStopped ? std::u16string() : FSpoolFile; }

  // Opens the trace buffer with this monitor's settings, asks the client to attach and waits for its
  // answer. True when the client attached with a working buffer.
  bool Attach(std::int32_t clientID, std::int32_t timeOutMs = 5000);
  // Asks the attached client to detach and waits (bounded) for its answer; unread records are read.
  std::vector<TraceLine> Detach(std::int32_t timeOutMs = 2000);
  // The reallocation handshake with the attached client; false when it did not complete.
  bool Reallocate(std::int32_t bytes, std::int32_t timeOutMs = 5000);
  // Clears every Alive mark (unless told not to), pings the unconnected clients, and resets the
  // connect event at once.
  void Ping(bool clearAlive = true);
  // An integer for a connected client's callback.
  void SendSignal(std::int32_t clientID, std::int32_t value) noexcept;
  // The ID of another monitor that is registered and not provably dead (one that registered after
  // this one, or the one it displaced), which owns the one trace buffer: while it lives, this monitor
  // must not attach or reallocate.
  std::optional<std::int32_t> LiveOtherMonitor() const;

  // Waits up to timeOutMs for a client's signal and answers what needs an answer (a leaving client's
  // detach); reports an attached client that died as ClientEnded and is no longer attached to it.
  // Records are not read here: call ReadNew after every wake, signalled or not. Returns at
  // once (Signalled) while records are unread; otherwise it watches for new ones for a few
  // microseconds, then sleeps on the event, so that a client's signal makes a system call only while
  // the monitor sleeps.
  MonitorMessage Poll(std::int32_t timeOutMs);
  // Records newer than the last one read, oldest first, with gaps where records were evicted unread.
  std::vector<TraceLine> ReadNew();
  // The same without allocating per record: the texts stay valid until the next read or detach.
  const std::vector<TraceLineView>& ReadNewViews();

  // The awake announcement (directory_liveness.h, AwakeMonitor): clients of ours connected to this
  // monitor leave their signals out while it is awake. AnnounceAsleep clears it and puts a full
  // barrier after, so that the caller's last look at every ring it reads comes after; only then may
  // it sleep. Poll does both around its own sleep; a caller that reads more rings looks at them too.
  void AnnounceAwake() noexcept;
  void AnnounceAsleep() noexcept;

  bool Attached() const noexcept { return FAttachedID.has_value(); }
  std::int32_t AttachedID() const noexcept { return FAttachedID.value_or(0); }
  TIPCBuffer* Buffer() noexcept { return FBuffer.get(); }
  std::int32_t ID() const noexcept { return FID; }

 private:
  // Waits for `kind` from `clientID` on the monitor event, passing over other clients' signals.
  bool AwaitClient(std::int32_t clientID, TEventKind kind, std::int32_t timeOutMs, std::int32_t* data = nullptr);
  void OpenBuffer();
  // The trace buffer at this monitor's size, waiting (bounded) for an old section of another size to go.
  std::unique_ptr<TIPCBuffer> OpenOwnSizeBuffer();
  void CloseBuffer() noexcept;
  // The attached client's process is provably gone: it is let go, its records stay readable.
  bool AttachedClientEnded();
  // Watches the ring briefly for records published after the last read; true when one came.
  bool WatchForRecords() noexcept;

  std::int32_t FID;
  std::int32_t FBufferSize = 64 * 1024;
  bool FUseRefNo = false;
  bool FUseTime = false;
  std::u16string FSpoolFile;
  bool FSpoolStopped = false;  // until the next SetViewSettings, no buffer gets the path
  std::optional<SpoolStop> FSpoolStop;
  std::int64_t FNextSpoolCheck = 0;  // steady milliseconds
  std::unique_ptr<TClientDirectory> FDirectory;
  std::unique_ptr<TIPCEvent> FMonitorEvent;
  std::unique_ptr<TIPCEvent> FClientEvent;
  std::unique_ptr<TIPCEvent> FConnectEvent;
  std::unique_ptr<TIPCBuffer> FBuffer;
  std::unique_ptr<BufferReader> FReader;
  MonitorRegistration FRegistration;
  std::int32_t* FAwakeWord = nullptr;  // null unless registered as a monitor of ours
  std::optional<std::int32_t> FAttachedID;
  std::optional<LivenessHolder> FAttachedHolder;  // the attached client's liveness object, if it has one
  std::optional<std::int32_t> FEarlyDetach;       // a client that left before its attach was confirmed
  std::int32_t FLastRefNo = 0;
  std::vector<TraceLineView> FViews;
  bool FReadStalled = false;   // the last read got nowhere although records were waiting
  std::int32_t FWatchUs = 20;  // the next watch's length
};

}  // namespace kq

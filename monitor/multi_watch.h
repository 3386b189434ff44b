#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "buffer_reader.h"
#include "ipc_buffer.h"
#include "ipc_event.h"
#include "monitor.h"
#include "private_channel.h"

namespace kq {

// What happened to a watched client since the last TakeNews.
enum class WatchNewsKind {
  Joined,    // a client of ours published its private ring and is read from now on
  Attached,  // a client that knows only the shared objects attached through "KqBuffer"
  Detached,  // left on its own or was detached; its last records were read first
  Ended,     // its process died without leaving; what its ring still held was read
};

struct WatchNews {
  WatchNewsKind Kind = WatchNewsKind::Joined;
  std::int32_t ClientID = 0;
  bool Private = false;
};

// Accounting of one client: every record its ring took is either read or counted missing in a gap.
struct WatchedClient {
  std::int32_t ID = 0;
  bool Private = false;       // its own ring; false: the shared "KqBuffer"
  std::int64_t Records = 0;   // read, the first line included
  std::int64_t Missing = 0;   // records evicted before they were read
  std::int64_t GapRuns = 0;   // the gap lines they came in
  std::int32_t RingSize = 0;  // the ring's record area
};

// The monitor of many clients at once. It registers like Monitor (which it holds for the shared
// objects) and then offers private channels in "KqChannels": every client of ours gives itself a
// ring and events of its own, which this watch joins as they are published, reads side by side and
// lets go when the client leaves or dies. Beside them it attaches at most one client that knows only
// the shared objects, through "KqBuffer" and the shared events, as the single-client monitor does.
// All calls from one thread.
class MultiWatch {
 public:
  // ringSize: the record area each client of ours gives its ring.
  explicit MultiWatch(std::int32_t monitorID, std::int32_t ringSize = 512 * 1024);
  ~MultiWatch();
  MultiWatch(const MultiWatch&) = delete;
  MultiWatch& operator=(const MultiWatch&) = delete;

  // The single-client monitor used for the shared objects (directory, one client through "KqBuffer").
  Monitor& Shared() noexcept { return FShared; }
  TClientDirectory& Directory() noexcept { return FShared.Directory(); }
  // Whether a client that knows only the shared objects is attached when one is listed (default on).
  void SetAttachShared(bool value) noexcept { FAttachShared = value; }
  void SetViewSettings(bool useRefNo, bool useTime);

  // Joins newly published clients, lets go of leaving and dead ones, attaches a shared-objects
  // client when none is, and sleeps up to timeOutMs unless records are waiting. Call ReadNew after.
  void Poll(std::int32_t timeOutMs);
  // Hands every record read since the last call to `fn`, client by client, oldest first per client
  // (gap lines included). Texts are valid only during the call.
  void ReadNew(const std::function<void(std::int32_t clientID, const TraceLineView&)>& fn);
  std::vector<WatchNews> TakeNews();

  // The clients read from now, with their accounting; and of one client (also after it left).
  std::vector<WatchedClient> Clients() const;
  std::optional<WatchedClient> Accounting(std::int32_t clientID) const;

  // Requests to one client, which disturb no other. False when it is not watched or did not answer.
  bool SendSignal(std::int32_t clientID, std::int32_t value) noexcept;
  bool Reallocate(std::int32_t clientID, std::int32_t bytes, std::int32_t timeOutMs = 5000);
  bool Detach(std::int32_t clientID, std::int32_t timeOutMs = 2000);
  // Pings every client: those on private channels on their own events, the others on the connect
  // event (which also invites clients of ours that have no channel yet).
  void Ping();

 private:
  struct Channel {
    std::int32_t ID = 0;
    std::int32_t Slot = -1;
    std::int32_t Generation = 0;
    std::unique_ptr<TIPCBuffer> Ring;
    std::unique_ptr<BufferReader> Reader;
    std::unique_ptr<TIPCEvent> ToClient;
    std::unique_ptr<TIPCEvent> FromClient;
    std::int32_t LastRefNo = 0;
    std::optional<LivenessHolder> Holder;  // the client's liveness object, as recorded when it joined
    bool Closing = false;                  // left or died: the next ReadNew reads the rest and lets go
  };

  void Scan(bool lookForDeath);
  bool Join(std::int32_t slot, const ChannelSlot& entry);
  void Drop(std::size_t index, WatchNewsKind why);
  void ReadChannel(Channel& channel, const std::function<void(std::int32_t, const TraceLineView&)>* fn);
  void ReadRest(Channel& channel, const std::function<void(std::int32_t, const TraceLineView&)>* fn);
  void ReadShared(const std::function<void(std::int32_t, const TraceLineView&)>* fn);
  void HandleShared(const MonitorMessage& message);
  void AttachShared();
  bool AnyWaiting() const noexcept;
  bool WatchForRecords() noexcept;
  Channel* Find(std::int32_t clientID) noexcept;
  WatchedClient& Account(std::int32_t clientID, bool isPrivate);
  std::int32_t UnusedID();

  Monitor FShared;
  ChannelTable FTable;
  TIPCEvent FNews{KqMonitorEventName, false};  // the shared record, cleared before a shared attach
  std::int32_t FRingSize;
  bool FUseRefNo = false;
  bool FUseTime = false;
  bool FAttachShared = true;
  std::u16string FAppliedSpool;  // the spool path the rings were last given
  std::vector<std::unique_ptr<Channel>> FChannels;
  std::optional<std::int32_t> FSharedID;  // the client attached through "KqBuffer"
  bool FSharedLeft = false;               // ... which left: the next ReadNew reads the rest
  std::vector<TraceLine> FDetachedLines;  // what a detach of it read
  struct HeldRecord {
    std::int32_t ClientID;
    TraceLine Line;
    std::vector<unsigned char> Payload;  // text, NUL and outcome tail, so that the outcome is handed on
  };
  std::vector<HeldRecord> FHeld;         // what a reallocation read from an old ring
  std::vector<WatchedClient> FAccounts;  // every client met, by first meeting
  std::vector<WatchNews> FNewsList;
  std::vector<TraceLineView> FViews;
  std::vector<std::pair<std::int32_t, std::int64_t>> FRefused;  // shared attaches that failed, and when
  std::int32_t FWatchUs = 50;                                   // the next watch's length, in microseconds
  std::int64_t FNextDeathLook = 0;
  std::int64_t FNextSharedLook = 0;
};

}  // namespace kq

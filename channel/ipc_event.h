#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "event.h"
#include "shared_mem.h"

namespace kq {

// The vocabulary of every signal between clients and the monitor; one byte in the shared record.
enum TEventKind : std::uint8_t {
  evMonitorAttach = 0,
  evMonitorDetach = 1,
  evMonitorExit = 2,
  evMonitorRealloc = 3,
  evMonitorSignal = 4,
  evClientStart = 5,
  evClientStop = 6,
  evClientAttach = 7,
  evClientDetach = 8,
  evClientSwitch = 9,
  evClientSignal = 10,
  evClientExit = 11,
  evClientBufFree = 12,
  evClientBufAlloc = 13,
  evClientPing = 14,
};

// The 12-byte record shared by every holder of an event name, in the section "<event>.Data".
#pragma pack(push, 1)
struct TIPCEventInfo {
  std::int32_t FID;
  TEventKind FKind;
  std::uint8_t Reserved[3];
  std::int32_t FData;
};
#pragma pack(pop)
using PIPCEventInfo = TIPCEventInfo*;
static_assert(sizeof(TIPCEventInfo) == 12);
static_assert(offsetof(TIPCEventInfo, FID) == 0);
static_assert(offsetof(TIPCEventInfo, FKind) == 4);
static_assert(offsetof(TIPCEventInfo, FData) == 8);

inline constexpr std::u16string_view KqMonitorEventName = u"KqMonitorEvent";
inline constexpr std::u16string_view KqClientEventName = u"KqClientEvent";
inline constexpr std::u16string_view KqConnectEventName = u"KqConnectEvenet";  // spelled so by every peer

// A named event paired with its shared info record: a signal writes the record, then sets the event;
// the woken side reads the record. The record is one per name, shared by all senders and receivers,
// and never cleared: a later signal overwrites an unread one.
class TIPCEvent : public TEvent {
 public:
  TIPCEvent(std::u16string_view name, bool manual);

  std::int32_t OwnerID() const noexcept { return FOwnerID; }
  void SetOwnerID(std::int32_t value) noexcept { FOwnerID = value; }

  std::int32_t ID() const noexcept;
  void SetID(std::int32_t value) noexcept;
  TEventKind Kind() const noexcept;
  void SetKind(TEventKind value) noexcept;
  std::int32_t Data() const noexcept;
  void SetData(std::int32_t value) noexcept;

  using TEvent::Signal;
  void Signal(TEventKind kind) noexcept;
  void SignalID(TEventKind kind, std::int32_t id) noexcept;
  void SignalData(TEventKind kind, std::int32_t id, std::int32_t data) noexcept;
  // One wait; true only when signalled in time with exactly this ID and kind in the record.
  [[nodiscard]] bool WaitFor(std::int32_t timeOut, std::int32_t id, TEventKind kind) noexcept;

  PIPCEventInfo EventInfo() const noexcept { return FEventInfo; }

 private:
  std::int32_t FOwnerID = 0;
  std::unique_ptr<TSharedMem> FSharedMem;
  PIPCEventInfo FEventInfo = nullptr;
};

}  // namespace kq

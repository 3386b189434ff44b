#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shared_mem.h"

namespace kq {

// Private channels: an extension between our own monitor and our own clients, so that any number of
// clients are watched at once. A monitor of ours that can watch many clients says so in the section
// "KqChannels"; a client of ours that sees the offer made by the registered, living monitor gives
// itself a ring of its own ("KqBuffer.<ID>", the layout of "KqBuffer") and a pair of events of its own
// ("KqClientEvent.<ID>" from the monitor, "KqMonitorEvent.<ID>" back), and publishes them in a slot of
// the section. A peer that knows only the shared objects never opens any of these, and our clients
// offer none of it to a monitor that has not made the offer.
inline constexpr std::u16string_view KqChannelsName = u"KqChannels";
inline constexpr std::uint32_t KqChannelCapPrivate = 1;  // private ring and events per client
inline constexpr std::int32_t KqChannelSlots = 16;       // the directory's capacity
// Bounds on a private ring's record area, so that a damaged header cannot make a client map gigabytes.
inline constexpr std::int32_t KqPrivateRingMin = 1024;
inline constexpr std::int32_t KqPrivateRingMax = 64 * 1024 * 1024;

std::u16string PrivateRingName(std::int32_t clientID);
std::u16string PrivateClientEventName(std::int32_t clientID);   // the monitor's requests to the client
std::u16string PrivateMonitorEventName(std::int32_t clientID);  // the client's answers to the monitor

// Slot states. A client claims a free slot (Free -> Claimed, a compare-exchange, so two clients never
// share one), fills it and publishes it (Published). Leaving on its own, it marks the slot Leaving and
// waits for the monitor's answer; the monitor (or the client after the time-out) frees it. A slot
// whose client died stays Published until the monitor sees the client's liveness object gone.
enum class ChannelSlotState : std::int32_t { Free = 0, Claimed = 1, Published = 2, Leaving = 3 };

struct ChannelSlot {
  ChannelSlotState State = ChannelSlotState::Free;
  std::int32_t ClientID = 0;
  std::int32_t RingSize = 0;    // the record area the ring was made with
  std::int32_t Generation = 0;  // changes with every publication, so a new ring under an old ID shows
};

// Layout of "KqChannels": a 32-byte header, then 16 slots of 16 bytes. Every word is 4-byte aligned
// and accessed through atomic_ref; a slot is filled before its state says Published (release), and a
// reader looks at the state first (acquire).
#pragma pack(push, 1)
struct TChannelsHeader {
  std::int32_t Version;    // 1, written by the creator
  std::int32_t MonitorID;  // the monitor making the offer; 0 = none
  std::uint32_t Caps;      // KqChannelCap* bits of that monitor
  std::int32_t RingSize;   // record area a client gives its private ring
  std::int32_t Reserved[4];
};
struct TChannelSlot {
  std::int32_t State;
  std::int32_t ClientID;
  std::int32_t RingSize;
  std::int32_t Generation;
};
#pragma pack(pop)
static_assert(sizeof(TChannelsHeader) == 32);
static_assert(offsetof(TChannelsHeader, MonitorID) == 4);
static_assert(offsetof(TChannelsHeader, Caps) == 8);
static_assert(offsetof(TChannelsHeader, RingSize) == 12);
static_assert(sizeof(TChannelSlot) == 16);
static_assert(offsetof(TChannelSlot, ClientID) == 4);
static_assert(offsetof(TChannelSlot, RingSize) == 8);
static_assert(offsetof(TChannelSlot, Generation) == 12);

class ChannelTable {
 public:
  static constexpr std::int32_t SectionSize =
      static_cast<std::int32_t>(sizeof(TChannelsHeader) + KqChannelSlots * sizeof(TChannelSlot));

  ChannelTable();

  // The monitor side of the offer. Offer writes the size and capabilities before the ID (release);
  // Withdraw clears the ID only when it is still this monitor's.
  void Offer(std::int32_t monitorID, std::int32_t ringSize) noexcept;
  void Withdraw(std::int32_t monitorID) noexcept;
  // The monitor that offers private channels (0 for none), and the ring size it asks for (clamped).
  std::int32_t OfferedBy() const noexcept;
  std::int32_t OfferedRingSize() const noexcept;

  // The client side: claims a free slot, drops any other slot left under the same ID (the directory
  // keeps IDs unique, so such a slot is a dead predecessor's) and publishes. -1 when every slot is taken.
  [[nodiscard]] std::int32_t Publish(std::int32_t clientID, std::int32_t ringSize) noexcept;
  void SetRingSize(std::int32_t slot, std::int32_t ringSize) noexcept;
  // Published -> Leaving, when the slot is still this client's.
  bool MarkLeaving(std::int32_t slot, std::int32_t clientID) noexcept;
  // Frees the slot when it is in `from` and still names the client.
  bool Free(std::int32_t slot, std::int32_t clientID, ChannelSlotState from) noexcept;

  ChannelSlot Slot(std::int32_t slot) const noexcept;

 private:
  std::int32_t* Word(std::size_t offset) const noexcept;
  std::int32_t* SlotWord(std::int32_t slot, std::size_t field) const noexcept;

  TSharedMem FSharedMem;
};

}  // namespace kq

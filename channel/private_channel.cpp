#include "private_channel.h"

#include <algorithm>
#include <atomic>

#include "text.h"

namespace kq {

namespace {

std::u16string WithID(std::u16string_view base, std::int32_t clientID) {
  return std::u16string(base) + u"." + Utf8ToUtf16(std::to_string(clientID));
}

std::int32_t LoadWord(const std::int32_t* word) noexcept {
  return std::atomic_ref<std::int32_t>(*const_cast<std::int32_t*>(word)).load(std::memory_order_acquire);
}

void StoreWord(std::int32_t* word, std::int32_t value) noexcept {
  std::atomic_ref<std::int32_t>(*word).store(value, std::memory_order_release);
}

bool SwapWord(std::int32_t* word, std::int32_t from, std::int32_t to) noexcept {
  return std::atomic_ref<std::int32_t>(*word).compare_exchange_strong(from, to, std::memory_order_acq_rel);
}

}  // namespace

std::u16string PrivateRingName(std::int32_t clientID) { return WithID(u"KqBuffer", clientID); }
std::u16string PrivateClientEventName(std::int32_t clientID) { return WithID(u"KqClientEvent", clientID); }
std::u16string PrivateMonitorEventName(std::int32_t clientID) { return WithID(u"KqMonitorEvent", clientID); }

ChannelTable::ChannelTable() : FSharedMem(KqChannelsName, SectionSize) {
  if (FSharedMem.Created()) StoreWord(Word(offsetof(TChannelsHeader, Version)), 1);
}

std::int32_t* ChannelTable::Word(std::size_t offset) const noexcept {
  return reinterpret_cast<std::int32_t*>(static_cast<std::byte*>(FSharedMem.Buffer()) + offset);
}

std::int32_t* ChannelTable::SlotWord(std::int32_t slot, std::size_t field) const noexcept {
  return Word(sizeof(TChannelsHeader) + static_cast<std::size_t>(slot) * sizeof(TChannelSlot) + field);
}

void ChannelTable::Offer(std::int32_t monitorID, std::int32_t ringSize) noexcept {
  StoreWord(Word(offsetof(TChannelsHeader, RingSize)), ringSize);
  StoreWord(Word(offsetof(TChannelsHeader, Caps)), static_cast<std::int32_t>(KqChannelCapPrivate));
  StoreWord(Word(offsetof(TChannelsHeader, MonitorID)), monitorID);
}

void ChannelTable::Withdraw(std::int32_t monitorID) noexcept {
  SwapWord(Word(offsetof(TChannelsHeader, MonitorID)), monitorID, 0);
}

std::int32_t ChannelTable::OfferedBy() const noexcept {
  const std::int32_t id = LoadWord(Word(offsetof(TChannelsHeader, MonitorID)));
  const auto caps = static_cast<std::uint32_t>(LoadWord(Word(offsetof(TChannelsHeader, Caps))));
  return (caps & KqChannelCapPrivate) != 0 ? id : 0;
}

std::int32_t ChannelTable::OfferedRingSize() const noexcept {
  return std::clamp(LoadWord(Word(offsetof(TChannelsHeader, RingSize))), KqPrivateRingMin, KqPrivateRingMax);
}

std::int32_t ChannelTable::Publish(std::int32_t clientID, std::int32_t ringSize) noexcept {
  for (std::int32_t i = 0; i < KqChannelSlots; ++i) {
    const ChannelSlot old = Slot(i);
    if (old.State != ChannelSlotState::Free && old.ClientID == clientID) Free(i, clientID, old.State);
  }
  for (std::int32_t i = 0; i < KqChannelSlots; ++i) {
    std::int32_t* state = SlotWord(i, offsetof(TChannelSlot, State));
    if (!SwapWord(state, static_cast<std::int32_t>(ChannelSlotState::Free),
                  static_cast<std::int32_t>(ChannelSlotState::Claimed)))
      continue;
    StoreWord(SlotWord(i, offsetof(TChannelSlot, ClientID)), clientID);
    StoreWord(SlotWord(i, offsetof(TChannelSlot, RingSize)), ringSize);
    std::int32_t* generation = SlotWord(i, offsetof(TChannelSlot, Generation));
    StoreWord(generation, LoadWord(generation) + 1);
    StoreWord(state, static_cast<std::int32_t>(ChannelSlotState::Published));
    return i;
  }
  return -1;
}

void ChannelTable::SetRingSize(std::int32_t slot, std::int32_t ringSize) noexcept {
  if (slot < 0 || slot >= KqChannelSlots) return;
  StoreWord(SlotWord(slot, offsetof(TChannelSlot, RingSize)), ringSize);
  std::int32_t* generation = SlotWord(slot, offsetof(TChannelSlot, Generation));
  StoreWord(generation, LoadWord(generation) + 1);
}

bool ChannelTable::MarkLeaving(std::int32_t slot, std::int32_t clientID) noexcept {
  if (slot < 0 || slot >= KqChannelSlots || LoadWord(SlotWord(slot, offsetof(TChannelSlot, ClientID))) != clientID)
    return false;
  return SwapWord(SlotWord(slot, offsetof(TChannelSlot, State)), static_cast<std::int32_t>(ChannelSlotState::Published),
                  static_cast<std::int32_t>(ChannelSlotState::Leaving));
}

bool ChannelTable::Free(std::int32_t slot, std::int32_t clientID, ChannelSlotState from) noexcept {
  if (slot < 0 || slot >= KqChannelSlots || LoadWord(SlotWord(slot, offsetof(TChannelSlot, ClientID))) != clientID)
    return false;
  return SwapWord(SlotWord(slot, offsetof(TChannelSlot, State)), static_cast<std::int32_t>(from),
                  static_cast<std::int32_t>(ChannelSlotState::Free));
}

ChannelSlot ChannelTable::Slot(std::int32_t slot) const noexcept {
  ChannelSlot result;
  if (slot < 0 || slot >= KqChannelSlots) return result;
  const std::int32_t state = LoadWord(SlotWord(slot, offsetof(TChannelSlot, State)));
  result.State = state >= 0 && state <= 3 ? static_cast<ChannelSlotState>(state) : ChannelSlotState::Claimed;
  result.ClientID = LoadWord(SlotWord(slot, offsetof(TChannelSlot, ClientID)));
  result.RingSize = LoadWord(SlotWord(slot, offsetof(TChannelSlot, RingSize)));
  result.Generation = LoadWord(SlotWord(slot, offsetof(TChannelSlot, Generation)));
  return result;
}

}  // namespace kq

#include "ipc_event.h"

#include "kqconsts.h"

namespace kq {

namespace {

std::u16string InfoSectionName(std::u16string_view name) { return FormatKq(u"%s.Data", {name}); }

}  // namespace

TIPCEvent::TIPCEvent(std::u16string_view name, bool manual)
    : TEvent(name, manual),
      FSharedMem(std::make_unique<TSharedMem>(InfoSectionName(name), static_cast<std::int32_t>(sizeof(TIPCEventInfo)))),
      FEventInfo(static_cast<PIPCEventInfo>(FSharedMem->Buffer())) {}

// The record's fields are single 32-bit and 8-bit accesses; atomic_ref keeps the compiler from
// tearing or caching them, and the event's own set/wait orders them between processes.
std::int32_t TIPCEvent::ID() const noexcept {
  return std::atomic_ref<std::int32_t>(FEventInfo->FID).load(std::memory_order_relaxed);
}
void TIPCEvent::SetID(std::int32_t value) noexcept {
  std::atomic_ref<std::int32_t>(FEventInfo->FID).store(value, std::memory_order_relaxed);
}
TEventKind TIPCEvent::Kind() const noexcept {
  return static_cast<TEventKind>(std::atomic_ref<std::uint8_t>(reinterpret_cast<std::uint8_t&>(FEventInfo->FKind))
                                     .load(std::memory_order_relaxed));
}
void TIPCEvent::SetKind(TEventKind value) noexcept {
  std::atomic_ref<std::uint8_t>(reinterpret_cast<std::uint8_t&>(FEventInfo->FKind))
      .store(static_cast<std::uint8_t>(value), std::memory_order_relaxed);
}
std::int32_t TIPCEvent::Data() const noexcept {
  return std::atomic_ref<std::int32_t>(FEventInfo->FData).load(std::memory_order_relaxed);
}
void TIPCEvent::SetData(std::int32_t value) noexcept {
  std::atomic_ref<std::int32_t>(FEventInfo->FData).store(value, std::memory_order_relaxed);
}

void TIPCEvent::Signal(TEventKind kind) noexcept { SignalID(kind, FOwnerID); }

void TIPCEvent::SignalID(TEventKind kind, std::int32_t id) noexcept {
  // A stream of signals (one per statement) carries the same record again and again: leaving it as
  // it is keeps its cache line shared with the reader instead of taking it back every time.
  if (ID() != id) SetID(id);
  if (Kind() != kind) SetKind(kind);
  std::atomic_thread_fence(std::memory_order_release);
  TEvent::Signal();
}

void TIPCEvent::SignalData(TEventKind kind, std::int32_t id, std::int32_t data) noexcept {
  SetID(id);
  SetData(data);
  SetKind(kind);
  std::atomic_thread_fence(std::memory_order_release);
  TEvent::Signal();
}

bool TIPCEvent::WaitFor(std::int32_t timeOut, std::int32_t id, TEventKind kind) noexcept {
  if (!Wait(timeOut)) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return ID() == id && Kind() == kind;
}

}  // namespace kq

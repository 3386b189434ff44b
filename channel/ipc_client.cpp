#include "ipc_client.h"

#include <algorithm>

#include "client_directory.h"
#include "ipc_buffer.h"
#include "kq_error.h"
#include "kqconsts.h"
#include "liveness_object.h"
#include "text.h"
#include "worker_thread.h"

namespace kq {

namespace {

constexpr std::int32_t AnswerTimeOut = 2000;
constexpr std::int32_t OtherClientPause = 200;
constexpr std::size_t FirstLineUnits = 1024;  // the first line's text area holds 1025 units with the NUL
// How often a worker on a private channel looks whether the offer still stands, and how often an
// unconnected one looks for an offer while a monitor is registered. Neither look sends anything.
constexpr std::int32_t PrivateCheckMs = 200;
constexpr std::int32_t OfferCheckMs = 500;

}  // namespace

TIPCClient::TIPCClient(std::int32_t aID, std::u16string_view aName)
    : TIPCThread(aID, aName), FAwakeWord(FClientDirectory->MonitorAwakeWord()) {}

TIPCClient::~TIPCClient() {
  try {
    DeActivate();
  } catch (...) {
  }
  // The worker runs this object's Execute: it must be gone before this part of the object is.
  FThread.reset();
}

void TIPCClient::Activate() {
  if (FActivated || State() != stInActive) return;
  FWaitEvent.store(FConnectEvent.get(), std::memory_order_release);
  FMonitorEvent->SetOwnerID(FID);
  FConnectEvent->SetOwnerID(FID);
  FClientEvent->SetOwnerID(FID);
  // Our liveness object comes with the entry.
  switch (const AddClientResult added = FClientDirectory->AddClient(FID, FName, &FLiveness); added.Status) {
    case AddClientStatus::Full:
      throw EKqError(FormatKqString(SKqMaxClients, {std::int64_t{FClientDirectory->MaxClients()}}));
    case AddClientStatus::NotUnique:
      throw EKqError(std::u16string(LoadKqString(SKqClientNotUnique)));
    case AddClientStatus::Busy:  // the mutex was not had within 2 s: the client works unlisted
      break;
    case AddClientStatus::Added:
      FListed = true;
      break;
  }
  FActivated = true;
  FState.store(stDisconnected, std::memory_order_release);
  // With our monitor registered the ring is there before the caller's first statement.
  if (OfferToEnter()) static_cast<void>(EnterPrivate(false));
  FThread->Start();
}

void TIPCClient::DeActivate() {
  // Only the entry this endpoint added: one refused as a duplicate must leave the owner's alone.
  if (FListed && FClientDirectory) {
    static_cast<void>(FClientDirectory->RemoveClient(FID));  // false: someone removed it already
    FListed = false;
  }
  if (State() == stInActive || FThread->Suspended()) return;
  FExitRequested.store(true, std::memory_order_release);
  FWaitEvent.load(std::memory_order_acquire)->Signal(evClientExit);
  EndWorker(AnswerTimeOut);
}

std::int32_t TIPCClient::ClientCount() const { return FClientDirectory->Count(); }

std::int32_t TIPCClient::MonitorID() const { return FClientDirectory->MonitorID(); }

bool TIPCClient::AddData(const void* data, std::int32_t size) {
  if (State() != stConnected) return false;
  AppendGate::Hold hold(FGate);
  // Connected without a buffer happens during a reallocation: the statement is dropped.
  if (State() != stConnected || !FBuffer) return false;
  FBuffer->Add(data, size);
  return true;
}

void TIPCClient::QuietFor(std::int32_t monitorID) noexcept {
  FQuietFor.store(FAwakeWord ? monitorID : 0, std::memory_order_relaxed);
}

void TIPCClient::SignalAsleepMonitor() noexcept {
  // On a private channel the shared record is left alone (it may hold another client's answer to
  // the monitor): the event alone is the doorbell, and our monitor reads every ring on it.
  if (FPrivate.load(std::memory_order_relaxed))
    FMonitorEvent->TEvent::Signal();
  else
    FMonitorEvent->SignalID(evClientSignal, FID);
}

bool TIPCClient::WaitForAnswer(TIPCEvent& event, std::int32_t timeOut, TEventKind kind) {
  if (event.WaitUnlessStopped(timeOut, FStop) != WaitResult::Signalled) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return event.ID() == FID && event.Kind() == kind;
}

void TIPCClient::Execute() {
  if (FLiveness) FLiveness->Own();
  if (Private()) {
    if (FOnConnect.Code) FOnConnect.Code(FOnConnect.Data, this, true);
  } else if (FClientDirectory->MonitorRunning()) {
    FMonitorEvent->SignalID(evClientStart, FID);
  }
  for (;;) {
    TIPCEvent* waitEvent = FWaitEvent.load(std::memory_order_acquire);
    // Only an endpoint that may use a private channel wakes by itself; otherwise it waits as the
    // shared objects' rules say, without time-out.
    std::int32_t timeOut = -1;
    if (Private())
      timeOut = PrivateCheckMs;
    else if (FLiveness && FClientDirectory->MonitorID() != 0)
      timeOut = OfferCheckMs;
    const WaitResult waited = waitEvent->WaitUnlessStopped(timeOut, FStop);
    if (waited == WaitResult::TimedOut) {
      try {
        CheckPrivate();
      } catch (...) {
      }
      continue;
    }
    if (waited != WaitResult::Signalled) break;
    std::atomic_thread_fence(std::memory_order_acquire);
    const std::int32_t id = waitEvent->ID();
    const TEventKind kind = waitEvent->Kind();
    bool leave = false;
    try {
      if (waitEvent == FPrivateClientEvent.get() && Private()) {
        DispatchPrivate(id, kind, waitEvent->Data(), leave);
      } else if (waitEvent == FPrivateClientEvent.get()) {
        // A request that came after we left the private channel: nothing to do.
      } else if (id == FID) {
        switch (kind) {
          case evMonitorAttach:
            HandleAttach();
            break;
          case evMonitorDetach:
            HandleDetach(false);
            Pause(OtherClientPause);
            break;
          case evMonitorSignal:
            if (FOnSignal.Code) FOnSignal.Code(FOnSignal.Data, this, waitEvent->Data());
            break;
          case evClientExit:
            // The record of an endpoint that left before us under the same ID is not ours to obey.
            if (!FExitRequested.load(std::memory_order_acquire)) {
              Pause(OtherClientPause);
              break;
            }
            HandleExit(*waitEvent);
            leave = true;
            break;
          case evClientBufFree:
            HandleRealloc();
            break;
          default:
            break;
        }
      } else if (kind == evClientPing) {
        FClientDirectory->MarkAlive(FID);
        // Our monitor's ping also invites the clients it has not met yet.
        FDeclinedBy = 0;
        if (OfferToEnter()) static_cast<void>(EnterPrivate(true));
      } else {
        Pause(OtherClientPause);
      }
    } catch (...) {
      // No error leaves an iteration: the worker goes on listening.
    }
    if (leave || FStop.Stopped()) break;
  }
  if (FLiveness) FLiveness->Disown();
  FState.store(stInActive, std::memory_order_release);
}

void TIPCClient::HandleExit(TIPCEvent& waitEvent) {
  if (Private()) {
    ExitPrivate();
    return;
  }
  if (FClientDirectory->MonitorRunning()) {
    if (State() == stConnected)
      HandleDetach(true);
    else
      FMonitorEvent->Signal(evClientStop);
  }
  // Left set, our exit record on the manual-reset connect event would wake every waiting endpoint
  // again and again, and end the next endpoint under our ID: reset it as an attach does, unless
  // somebody has written to it since.
  if (&waitEvent == FConnectEvent.get() && FConnectEvent->ID() == FID && FConnectEvent->Kind() == evClientExit)
    FConnectEvent->Reset();
}

void TIPCClient::HandleAttach() {
  FConnectEvent->Reset();
  // Decided before the state says connected: an earlier monitor's leave to be quiet must not carry
  // over to one that knows only the shared objects.
  const std::int32_t monitor = FClientDirectory->MonitorID();
  QuietFor(FClientDirectory->MonitorOurs(monitor) ? monitor : 0);
  try {
    auto buffer = std::make_unique<TIPCBuffer>(GetBufferSize(), KqBufferBlocks);
    std::u16string line = FormatKq(u"%s: %s", {LoadKqString(SKqLogStarted), std::u16string_view(FName)});
    line.resize(CutAtCodeUnit(line, FirstLineUnits));
    {
      // The first line goes in before the state says connected, so no statement of the caller's
      // threads can come before it.
      AppendGate::Hold hold(FGate);
      FBuffer.swap(buffer);  // a buffer replaced by a second attach goes with `buffer`, outside
      FBuffer->Add(line.c_str(), static_cast<std::int32_t>((line.size() + 1) * 2));
      FState.store(stConnected, std::memory_order_release);
    }
    FWaitEvent.store(FClientEvent.get(), std::memory_order_release);
    FMonitorEvent->SignalData(evClientAttach, FID, 1);
    if (FOnConnect.Code) FOnConnect.Code(FOnConnect.Data, this, true);
  } catch (...) {
    FMonitorEvent->SignalData(evClientAttach, FID, 0);
  }
}

void TIPCClient::HandleDetach(bool notify) {
  if (State() != stConnected) return;
  QuietFor(0);
  // Before the monitor hears of the detach: every append that reported success is in the buffer by
  // then (the monitor reads the rest after our signal), and our view of the section is gone, so a
  // monitor that re-attaches at once with another size makes a new section.
  FState.store(stDisconnected, std::memory_order_release);
  ReplaceBuffer(nullptr);
  FWaitEvent.store(FConnectEvent.get(), std::memory_order_release);
  FMonitorEvent->Signal(evClientDetach);
  // Leaving on our own: the monitor answers; we go on after the answer or the time-out.
  if (notify) static_cast<void>(WaitForAnswer(*FClientEvent, AnswerTimeOut, evMonitorDetach));
  if (FOnConnect.Code) FOnConnect.Code(FOnConnect.Data, this, false);
}

void TIPCClient::HandleRealloc() {
  ReplaceBuffer(nullptr);  // this process must let go of the old section before the monitor re-creates it
  FMonitorEvent->SignalID(evClientBufFree, FID);
  if (!WaitForAnswer(*FClientEvent, AnswerTimeOut, evClientBufAlloc)) {
    HandleDetach(false);
    return;
  }
  std::unique_ptr<TIPCBuffer> buffer;
  try {
    buffer = std::make_unique<TIPCBuffer>(GetBufferSize(), KqBufferBlocks);
  } catch (...) {
    // Staying connected without a buffer would leave the monitor waiting on a client that stores
    // nothing: detach so that it learns of it.
    HandleDetach(false);
    return;
  }
  ReplaceBuffer(std::move(buffer));
  FMonitorEvent->SignalID(evClientBufAlloc, FID);
}

}  // namespace kq

namespace kq {

bool TIPCClient::OfferToEnter() {
  // Only an endpoint whose death others can see: the monitor frees a dead client's slot by it.
  if (!FLiveness || !FListed || State() != stDisconnected) return false;
  const std::int32_t monitor = FClientDirectory->MonitorID();
  if (monitor == 0 || monitor == FDeclinedBy || !FClientDirectory->MonitorRunning()) return false;
  if (!FChannels) FChannels = std::make_unique<ChannelTable>();
  return FChannels->OfferedBy() == monitor;
}

bool TIPCClient::PartsAttachPending() noexcept {
  // A monitor that knows only the shared objects asks on the connect event, which we do not watch
  // while on a private channel; the manual-reset event stays set until the asked client resets it.
  return FConnectEvent->ID() == FID && FConnectEvent->Kind() == evMonitorAttach && FConnectEvent->Wait(0);
}

void TIPCClient::NoteOfferHolder(std::int32_t offeredBy) {
  // The holder is noted while the offering monitor is the registered one, so that a short-lived
  // command holding the registration for a moment does not hide it, and its death can be told once
  // the registration is gone.
  if (offeredBy != 0 && FOfferHolderOf != offeredBy) {
    if (const std::optional<LivenessHolder> holder = FClientDirectory->MonitorHolder(offeredBy)) {
      FOfferHolder = *holder;
      FOfferHolderOf = offeredBy;
    }
  }
}

bool TIPCClient::OfferStillStands() {
  if (PartsAttachPending()) return false;
  // The offering monitor lives: a short-lived command may hold the registration for a moment.
  const std::int32_t offeredBy = FChannels->OfferedBy();
  NoteOfferHolder(offeredBy);
  if (offeredBy != 0 && FOfferHolderOf == offeredBy && !DirectoryLiveness::MonitorGone(offeredBy, FOfferHolder))
    return true;
  // Our monitor died (its offer stands, its holder is gone): the ring keeps the statements for the
  // next one of ours, which joins it and reads them or counts them in a gap. That holds also once the
  // next opener of the directory withdrew the dead registration: a successor starting up does so a
  // moment before it registers, and a ring let go in that moment would take its unread statements
  // with it, counted by nobody.
  const bool ourMonitorDied = offeredBy != 0 && FOfferHolderOf == offeredBy;
  const std::int32_t monitor = FClientDirectory->MonitorID();
  if (monitor == 0) return ourMonitorDied;
  if (offeredBy == monitor || FClientDirectory->MonitorDead(monitor)) return true;
  // A successor of ours registers a moment before it offers: the ring waits for its offer. Should it
  // never offer, an attach it asks for on the connect event still takes us off the ring.
  if (ourMonitorDied && FClientDirectory->MonitorOurs(monitor)) return true;
  return false;  // a living monitor that made no offer
}

void TIPCClient::CheckPrivate() {
  if (Private()) {
    if (!OfferStillStands()) {
      LeavePrivate(false);
    } else {
      // A successor of ours that joined our ring announces under its own ID.
      const std::int32_t offeredBy = FChannels->OfferedBy();
      QuietFor(FClientDirectory->MonitorOurs(offeredBy) ? offeredBy : 0);
    }
  } else if (OfferToEnter()) {
    static_cast<void>(EnterPrivate(true));
  }
}

bool TIPCClient::EnterPrivate(bool notify) {
  try {
    if (!FPrivateClientEvent) {
      FPrivateClientEvent = std::make_unique<TIPCEvent>(PrivateClientEventName(FID), false);
      FPrivateMonitorEvent = std::make_unique<TIPCEvent>(PrivateMonitorEventName(FID), false);
      FPrivateClientEvent->SetOwnerID(FID);
      FPrivateMonitorEvent->SetOwnerID(FID);
    }
    const std::int32_t offeredBy = FChannels->OfferedBy();
    // From the start: a monitor that dies before our first look at its offer must be told dead.
    NoteOfferHolder(offeredBy);
    QuietFor(FClientDirectory->MonitorOurs(offeredBy) ? offeredBy : 0);
    const std::int32_t size = FChannels->OfferedRingSize();
    auto ring = std::make_unique<TIPCBuffer>(PrivateRingName(FID), size, KqBufferBlocks);
    if (!ring->SharedMem().Created()) {
      // An earlier life's ring under our ID that a monitor still holds: ours only at the same size,
      // and then emptied, so that the monitor's reader starts again from the first record.
      if (ring->BufSize() != (size + KqBufferBlocks - 1) / KqBufferBlocks * KqBufferBlocks) return false;
      ring->Clear(false);
    }
    std::u16string line = FormatKq(u"%s: %s", {LoadKqString(SKqLogStarted), std::u16string_view(FName)});
    line.resize(CutAtCodeUnit(line, FirstLineUnits));
    {
      AppendGate::Hold hold(FGate);
      FBuffer.swap(ring);
      FBuffer->Add(line.c_str(), static_cast<std::int32_t>((line.size() + 1) * 2));
      FPrivate.store(true, std::memory_order_release);
      FState.store(stConnected, std::memory_order_release);
    }
    FWaitEvent.store(FPrivateClientEvent.get(), std::memory_order_release);
    FSlot = FChannels->Publish(FID, size);
    if (FSlot < 0) {
      LeavePrivate(false);
      return false;
    }
    FMonitorEvent->TEvent::Signal();
    if (notify && FOnConnect.Code) FOnConnect.Code(FOnConnect.Data, this, true);
    return true;
  } catch (...) {
    return false;
  }
}

void TIPCClient::LeavePrivate(bool answer) {
  FState.store(stDisconnected, std::memory_order_release);
  QuietFor(0);
  ReplaceBuffer(nullptr);
  FPrivate.store(false, std::memory_order_release);
  FWaitEvent.store(FConnectEvent.get(), std::memory_order_release);
  if (FSlot >= 0) {
    static_cast<void>(FChannels->Free(FSlot, FID, ChannelSlotState::Published));
    FSlot = -1;
  }
  if (answer) {
    FPrivateMonitorEvent->SignalID(evClientDetach, FID);
    FMonitorEvent->TEvent::Signal();
  }
  if (FOnConnect.Code) FOnConnect.Code(FOnConnect.Data, this, false);
}

void TIPCClient::ExitPrivate() {
  // Every append that reported success is in the ring before the monitor hears of the leaving; its
  // view keeps the ring while it reads the rest.
  FState.store(stDisconnected, std::memory_order_release);
  QuietFor(0);
  // Kept open until the monitor answers: a client that leaves before the monitor met it (a short
  // program) would otherwise take its ring, and every statement in it, along.
  std::unique_ptr<TIPCBuffer> ring = ReplaceBuffer(nullptr);
  FPrivate.store(false, std::memory_order_release);
  const bool leaving = FChannels->MarkLeaving(FSlot, FID);
  FMonitorEvent->TEvent::Signal();
  if (leaving && FClientDirectory->MonitorRunning())
    static_cast<void>(WaitForAnswer(*FPrivateClientEvent, AnswerTimeOut, evMonitorDetach));
  ring.reset();
  // The monitor frees the slot when it answers; after the time-out it is ours to free.
  static_cast<void>(FChannels->Free(FSlot, FID, ChannelSlotState::Leaving));
  FSlot = -1;
  FWaitEvent.store(FConnectEvent.get(), std::memory_order_release);
  if (FOnConnect.Code) FOnConnect.Code(FOnConnect.Data, this, false);
}

void TIPCClient::PrivateRealloc(std::int32_t size) {
  ReplaceBuffer(nullptr);
  FPrivateMonitorEvent->SignalID(evClientBufFree, FID);
  if (!WaitForAnswer(*FPrivateClientEvent, AnswerTimeOut, evClientBufAlloc)) {
    LeavePrivate(true);
    return;
  }
  std::unique_ptr<TIPCBuffer> ring;
  try {
    ring = std::make_unique<TIPCBuffer>(PrivateRingName(FID), std::clamp(size, KqPrivateRingMin, KqPrivateRingMax),
                                        KqBufferBlocks);
  } catch (...) {
    LeavePrivate(true);
    return;
  }
  ReplaceBuffer(std::move(ring));
  FChannels->SetRingSize(FSlot, size);
  FPrivateMonitorEvent->SignalID(evClientBufAlloc, FID);
}

void TIPCClient::DispatchPrivate(std::int32_t id, TEventKind kind, std::int32_t data, bool& leave) {
  // Only our monitor writes this event's record; a record for another ID is its ping.
  if (id != FID) {
    if (kind == evClientPing) FClientDirectory->MarkAlive(FID);
    return;
  }
  switch (kind) {
    case evMonitorDetach:
      FDeclinedBy = FClientDirectory->MonitorID();
      LeavePrivate(true);
      break;
    case evMonitorSignal:
      if (FOnSignal.Code) FOnSignal.Code(FOnSignal.Data, this, data);
      break;
    case evClientExit:
      if (!FExitRequested.load(std::memory_order_acquire)) break;
      ExitPrivate();
      leave = true;
      break;
    case evClientBufFree:
      PrivateRealloc(data);
      break;
    default:
      break;
  }
}

}  // namespace kq

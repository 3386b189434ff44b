#include "ipc_client.h"

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

}  // namespace

TIPCClient::TIPCClient(std::int32_t aID, std::u16string_view aName) : TIPCThread(aID, aName) {}

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

bool TIPCClient::AddStatement(const char16_t* text, std::int32_t units, const TOutcomeTail* outcome) {
  if (State() != stConnected) return false;
  AppendGate::Hold hold(FGate);
  if (State() != stConnected || !FBuffer) return false;
  FBuffer->AddStatement(text, units, outcome);
  return true;
}

void TIPCClient::SignalMonitor() noexcept {
  if (State() == stConnected) FMonitorEvent->SignalID(evClientSignal, FID);
}

bool TIPCClient::WaitForAnswer(TIPCEvent& event, std::int32_t timeOut, TEventKind kind) {
  if (event.WaitUnlessStopped(timeOut, FStop) != WaitResult::Signalled) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return event.ID() == FID && event.Kind() == kind;
}

void TIPCClient::Execute() {
  if (FLiveness) FLiveness->Own();
  if (FClientDirectory->MonitorRunning()) FMonitorEvent->SignalID(evClientStart, FID);
  for (;;) {
    TIPCEvent* waitEvent = FWaitEvent.load(std::memory_order_acquire);
    if (waitEvent->WaitUnlessStopped(-1, FStop) != WaitResult::Signalled) break;
    std::atomic_thread_fence(std::memory_order_acquire);
    const std::int32_t id = waitEvent->ID();
    const TEventKind kind = waitEvent->Kind();
    bool leave = false;
    try {
      if (id == FID) {
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

#include "monitor.h"

#include <atomic>
#include <chrono>

#include "kq_error.h"
#include "platform.h"

namespace kq {

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Monitor::Monitor(std::int32_t monitorID) : FID(monitorID) {
  FDirectory = std::make_unique<TClientDirectory>(KqDirectoryCapacity);
  FMonitorEvent = std::make_unique<TIPCEvent>(KqMonitorEventName, false);
  FClientEvent = std::make_unique<TIPCEvent>(KqClientEventName, false);
  FConnectEvent = std::make_unique<TIPCEvent>(KqConnectEventName, true);
  FRegistration = FDirectory->RegisterMonitor(FID);
}

Monitor::~Monitor() {
  try {
    if (Attached()) Detach();
  } catch (...) {
  }
  // A short-lived monitor (a ping beside a running watch) hands the registration back, to a live one.
  if (FDirectory) FDirectory->UnregisterMonitor(FID, FRegistration);
}

void Monitor::SetViewSettings(bool useRefNo, bool useTime, std::u16string spoolFile) {
  FUseRefNo = useRefNo;
  FUseTime = useTime;
  FSpoolFile = std::move(spoolFile);
  if (FBuffer) {
    FBuffer->SetUseRefNo(FUseRefNo);
    FBuffer->SetUseTime(FUseTime);
    FBuffer->SetSpoolFile(FSpoolFile);
  }
}

void Monitor::CloseBuffer() noexcept {
  FReader.reset();
  FBuffer.reset();
}

void Monitor::OpenBuffer() {
  CloseBuffer();
  FDirectory->SetIPCBufSize(FBufferSize);
  // Opened before the client is asked, so that the view settings and the spool path are in place
  // before its first record can be evicted.
  FBuffer = std::make_unique<TIPCBuffer>(FBufferSize, KqBufferBlocks);
  // A client that was just asked to detach answers before it lets go of the section, so a quick
  // attach to another client can open the old ring, still holding records that were read already:
  // the new client's records must start an empty one.
  FBuffer->Clear(false);
  FBuffer->SetUseRefNo(FUseRefNo);
  FBuffer->SetUseTime(FUseTime);
  FBuffer->SetSpoolFile(FSpoolFile);
  FReader = std::make_unique<BufferReader>(*FBuffer);
  FLastRefNo = 0;
}

bool Monitor::AwaitClient(std::int32_t clientID, TEventKind kind, std::int32_t timeOutMs, std::int32_t* data) {
  const std::int64_t deadline = NowMs() + timeOutMs;
  for (;;) {
    std::int64_t left = deadline - NowMs();
    if (left < 0) return false;
    if (!FMonitorEvent->Wait(static_cast<std::int32_t>(left))) return false;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (FMonitorEvent->ID() == clientID && FMonitorEvent->Kind() == kind) {
      if (data) *data = FMonitorEvent->Data();
      return true;
    }
  }
}

bool Monitor::Attach(std::int32_t clientID, std::int32_t timeOutMs) {
  if (Attached()) Detach();
  OpenBuffer();
  FConnectEvent->SignalID(evMonitorAttach, clientID);
  // The answer shares one record with every later signal of the client: a fast client may have
  // overwritten it with a statement's signal, or even its leaving, before we read it.
  const std::int64_t deadline = NowMs() + timeOutMs;
  bool attached = false;
  while (!attached) {
    std::int64_t left = deadline - NowMs();
    if (left < 0 || !FMonitorEvent->Wait(static_cast<std::int32_t>(left))) {
      attached = FBuffer->LastUpdate() != 0;  // its first line is there even if every signal was lost
      break;
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (FMonitorEvent->ID() != clientID) continue;
    const TEventKind kind = FMonitorEvent->Kind();
    if (kind == evClientAttach) {
      if (FMonitorEvent->Data() != 1) break;
      attached = true;
    } else if (kind == evClientSignal) {
      attached = true;
    } else if (kind == evClientDetach) {
      FClientEvent->SignalID(evMonitorDetach, clientID);
      FEarlyDetach = clientID;
      return true;
    }
  }
  if (!attached) {
    // Nobody took the request: a set connect event would keep every waiting client busy.
    FConnectEvent->Reset();
    CloseBuffer();
    return false;
  }
  FAttachedID = clientID;
  FAttachedOwned = FDirectory->ClientOwned(clientID);
  return true;
}

std::vector<TraceLine> Monitor::Detach(std::int32_t timeOutMs) {
  if (!Attached()) return {};
  std::int32_t id = *FAttachedID;
  FClientEvent->SignalID(evMonitorDetach, id);
  AwaitClient(id, evClientDetach, timeOutMs);
  std::vector<TraceLine> rest = ReadNew();
  FAttachedID.reset();
  CloseBuffer();
  return rest;
}

bool Monitor::Reallocate(std::int32_t bytes, std::int32_t timeOutMs) {
  if (!Attached()) return false;
  std::int32_t id = *FAttachedID;
  FClientEvent->SignalID(evClientBufFree, id);
  if (!AwaitClient(id, evClientBufFree, timeOutMs)) return false;
  // Both sides let go of the old section, so the new size makes a new one.
  CloseBuffer();
  FBufferSize = bytes;
  OpenBuffer();
  FClientEvent->SignalID(evClientBufAlloc, id);
  if (!AwaitClient(id, evClientBufAlloc, timeOutMs)) return false;
  return true;
}

void Monitor::Ping(bool clearAlive) {
  for (std::int32_t i = 1; clearAlive && i <= FDirectory->Count(); ++i) {
    try {
      FDirectory->ClearAlive(FDirectory->GetClientRec(i).ID);
    } catch (const EKqError&) {
      break;  // the table shrank meanwhile
    }
  }
  std::int32_t pingID = -1;
  while (FDirectory->FindClient(pingID) != -1) --pingID;
  FConnectEvent->SignalID(evClientPing, pingID);
  FConnectEvent->Reset();
}

void Monitor::SendSignal(std::int32_t clientID, std::int32_t value) noexcept {
  FClientEvent->SignalData(evMonitorSignal, clientID, value);
}

std::optional<std::int32_t> Monitor::LiveOtherMonitor() const {
  // One that registered itself after us, or the one we displaced at start; a dead one owns nothing.
  const std::int32_t now = FDirectory->MonitorID();
  if (now != 0 && now != FID && !FDirectory->MonitorDead(now)) return now;
  if (FRegistration.PreviousLives()) return FRegistration.Previous;
  return std::nullopt;
}

bool Monitor::AttachedClientEnded() {
  if (!Attached() || !FAttachedOwned || !DirectoryLiveness::ClientGone(*FAttachedID)) return false;
  FAttachedID.reset();
  return true;
}

MonitorMessage Monitor::Poll(std::int32_t timeOutMs) {
  if (FEarlyDetach) {
    MonitorMessage early{MonitorNews::ClientDetached, *FEarlyDetach};
    FEarlyDetach.reset();
    return early;
  }
  // While records stream in, look every millisecond instead of sleeping on the event: a client whose
  // monitor does not wait on the event signals without a system call.
  bool signalled;
  const bool streaming = FStreaming;
  if (streaming) {
    SleepMs(timeOutMs < 1 ? 0 : 1);
    signalled = FMonitorEvent->Wait(0);
  } else {
    signalled = FMonitorEvent->Wait(timeOutMs);
  }
  if (!signalled) {
    // A client that died sends nothing more: only a wait that stayed quiet needs the look.
    const std::int32_t attached = AttachedID();
    return !streaming && AttachedClientEnded() ? MonitorMessage{MonitorNews::ClientEnded, attached} : MonitorMessage{};
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  const std::int32_t id = FMonitorEvent->ID();
  switch (FMonitorEvent->Kind()) {
    case evClientSignal:
      return {MonitorNews::Signalled, id};
    case evClientStart:
      return {MonitorNews::ClientStarted, id};
    case evClientStop:
      return {MonitorNews::ClientStopped, id};
    case evClientAttach:
      return {MonitorNews::ClientAttached, id};
    case evClientDetach:
      if (Attached() && id == *FAttachedID) {
        // The client leaves on its own and waits for this answer; our view keeps its records.
        FClientEvent->SignalID(evMonitorDetach, id);
        FAttachedID.reset();
      }
      return {MonitorNews::ClientDetached, id};
    default:
      return {MonitorNews::None, id};
  }
}

std::vector<TraceLine> Monitor::ReadNew() {
  std::vector<TraceLine> lines;
  FStreaming = false;
  if (!FReader) return lines;
  FLastRefNo = FReader->ReadNewer(FLastRefNo, lines);
  FStreaming = !lines.empty();
  return lines;
}

}  // namespace kq

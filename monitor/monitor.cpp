#include "monitor.h"

#include <atomic>
#include <chrono>

#include "kq_error.h"

namespace kq {

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Monitor::Monitor(std::int32_t monitorID) : FID(monitorID) {
  FDirectory = std::make_unique<TClientDirectory>(16);
  FMonitorEvent = std::make_unique<TIPCEvent>(KqMonitorEventName, false);
  FClientEvent = std::make_unique<TIPCEvent>(KqClientEventName, false);
  FConnectEvent = std::make_unique<TIPCEvent>(KqConnectEventName, true);
  FDirectory->SetMonitorID(FID);
}

Monitor::~Monitor() {
  try {
    if (Attached()) Detach();
  } catch (...) {
  }
  if (FDirectory && FDirectory->MonitorID() == FID) FDirectory->SetMonitorID(0);
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

void Monitor::OpenBuffer() {
  FBuffer.reset();
  FDirectory->SetIPCBufSize(FBufferSize);
  // Opened before the client is asked, so that the view settings and the spool path are in place
  // before its first record can be evicted.
  FBuffer = std::make_unique<TIPCBuffer>(FBufferSize, 4);
  FBuffer->SetUseRefNo(FUseRefNo);
  FBuffer->SetUseTime(FUseTime);
  FBuffer->SetSpoolFile(FSpoolFile);
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
  std::int32_t answer = 0;
  if (!AwaitClient(clientID, evClientAttach, timeOutMs, &answer) || answer != 1) {
    // Nobody took the request: a set connect event would keep every waiting client busy.
    FConnectEvent->Reset();
    FBuffer.reset();
    return false;
  }
  FAttachedID = clientID;
  return true;
}

std::vector<MonitorLine> Monitor::Detach(std::int32_t timeOutMs) {
  if (!Attached()) return {};
  std::int32_t id = *FAttachedID;
  FClientEvent->SignalID(evMonitorDetach, id);
  AwaitClient(id, evClientDetach, timeOutMs);
  std::vector<MonitorLine> rest = ReadNew();
  FAttachedID.reset();
  FBuffer.reset();
  return rest;
}

bool Monitor::Reallocate(std::int32_t bytes, std::int32_t timeOutMs) {
  if (!Attached()) return false;
  std::int32_t id = *FAttachedID;
  FClientEvent->SignalID(evClientBufFree, id);
  if (!AwaitClient(id, evClientBufFree, timeOutMs)) return false;
  // Both sides let go of the old section, so the new size makes a new one.
  FBuffer.reset();
  FBufferSize = bytes;
  OpenBuffer();
  FClientEvent->SignalID(evClientBufAlloc, id);
  if (!AwaitClient(id, evClientBufAlloc, timeOutMs)) return false;
  return true;
}

void Monitor::Ping() {
  for (std::int32_t i = 1; i <= FDirectory->Count(); ++i) {
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

MonitorMessage Monitor::Poll(std::int32_t timeOutMs) {
  if (!FMonitorEvent->Wait(timeOutMs)) return {};
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

std::vector<MonitorLine> Monitor::ReadNew() {
  std::vector<MonitorLine> lines;
  if (!FBuffer) return lines;
  const std::int32_t newest =
      std::atomic_ref<std::int32_t>(FBuffer->Header()->RefNo).load(std::memory_order_relaxed) - 1;
  std::atomic_thread_fence(std::memory_order_acquire);
  if (newest < FLastRefNo) FLastRefNo = 0;  // the buffer was cleared: numbering starts again
  if (newest == FLastRefNo) return lines;
  try {
    const std::int32_t count = FBuffer->Count();
    // New records are at the end: step back to the first one not read yet (one cursor step each).
    std::int32_t index = count - 1;
    while (index >= 0 && FBuffer->RefNo(index) > FLastRefNo) --index;
    for (++index; index < count; ++index) {
      const std::int32_t refNo = FBuffer->RefNo(index);
      if (refNo <= FLastRefNo) continue;
      if (refNo > FLastRefNo + 1) lines.push_back({true, FLastRefNo + 1, refNo - FLastRefNo - 1, {}});
      lines.push_back({false, refNo, 0, FBuffer->LineData(index)});
      FLastRefNo = refNo;
    }
  } catch (const ESilentAbort&) {
    // The client evicted under us; what is left is read on the next call and gaps are reported then.
  }
  return lines;
}

}  // namespace kq

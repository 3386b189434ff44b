#include "monitor.h"

#include <atomic>
#include <chrono>

#include "handled_object.h"
#include "kq_error.h"
#include "kqconsts.h"
#include "platform.h"

namespace kq {

namespace {

// How long an attach waits for a section of another size to go, and how often it looks.
constexpr std::int64_t StaleSectionWait = 2000;
constexpr std::uint32_t StaleSectionPoll = 5;
// How often reading records looks again whether the spool path has turned into something refused.
constexpr std::int64_t SpoolCheckInterval = 250;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void CpuRelax() noexcept {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

Monitor::Monitor(std::int32_t monitorID) : FID(monitorID) {
  FDirectory = std::make_unique<TClientDirectory>(KqDirectoryCapacity);
  FMonitorEvent = std::make_unique<TIPCEvent>(KqMonitorEventName, false);
  FClientEvent = std::make_unique<TIPCEvent>(KqClientEventName, false);
  FConnectEvent = std::make_unique<TIPCEvent>(KqConnectEventName, true);
  FRegistration = FDirectory->RegisterMonitor(FID);
  // Without a liveness object of its own it is recorded as none of ours, and no client would
  // believe its announcement.
  if (FRegistration.Liveness) FAwakeWord = FDirectory->MonitorAwakeWord();
}

Monitor::~Monitor() {
  try {
    if (Attached()) Detach();
  } catch (...) {
  }
  AnnounceAsleep();
  // A short-lived monitor (a ping beside a running watch) hands the registration back, to a live one.
  if (FDirectory) FDirectory->UnregisterMonitor(FID, FRegistration);
}

void Monitor::SetViewSettings(bool useRefNo, bool useTime, std::u16string spoolFile) {
  FUseRefNo = useRefNo;
  FUseTime = useTime;
  FSpoolFile = std::move(spoolFile);
  FSpoolStopped = false;
  FSpoolStop.reset();
  FNextSpoolCheck = 0;
  if (!FSpoolFile.empty()) {
    if (FileRefusal reason = TextFile::Inspect(FSpoolFile); reason != FileRefusal::None) {
      FSpoolStopped = true;
      FSpoolStop = SpoolStop{FSpoolFile, reason, false};
    }
  }
  if (FBuffer) {
    FBuffer->SetUseRefNo(FUseRefNo);
    FBuffer->SetUseTime(FUseTime);
    FBuffer->SetSpoolFile(ActiveSpoolFile());
  }
}

std::optional<SpoolStop> Monitor::TakeSpoolStop() {
  std::optional<SpoolStop> stop = std::move(FSpoolStop);
  FSpoolStop.reset();
  return stop;
}

void Monitor::CheckSpool() {
  if (FSpoolStopped || FSpoolFile.empty()) return;
  // The client refuses such a path at each reclaim without a word, so the monitor looks itself, now
  // and then rather than at every read.
  const std::int64_t now = NowMs();
  if (now < FNextSpoolCheck) return;
  FNextSpoolCheck = now + SpoolCheckInterval;
  const FileRefusal reason = TextFile::Inspect(FSpoolFile);
  if (reason == FileRefusal::None) return;
  FSpoolStopped = true;
  FSpoolStop = SpoolStop{FSpoolFile, reason, true};
  // Spooling stays off until the path is set again, as for a path refused when it was set.
  if (FBuffer) FBuffer->SetSpoolFile(ActiveSpoolFile());
}

void Monitor::CloseBuffer() noexcept {
  FViews.clear();  // their texts live in the reader
  FReadStalled = false;
  FReader.reset();
  FBuffer.reset();
}

void Monitor::OpenBuffer() {
  CloseBuffer();
  FDirectory->SetIPCBufSize(FBufferSize);
  // Opened before the client is asked, so that the view settings and the spool path are in place
  // before its first record can be evicted.
  FBuffer = OpenOwnSizeBuffer();
  // An old ring of the same size that another holder still keeps open holds records that were read
  // already: the new client's records must start an empty one.
  FBuffer->Clear(false);
  FBuffer->SetUseRefNo(FUseRefNo);
  FBuffer->SetUseTime(FUseTime);
  FBuffer->SetSpoolFile(ActiveSpoolFile());
  FReader = std::make_unique<BufferReader>(*FBuffer);
  FLastRefNo = 0;
}

std::unique_ptr<TIPCBuffer> Monitor::OpenOwnSizeBuffer() {
  // A client that detached a moment ago, or one that has not yet let go after a lost answer, may
  // still hold the section with its old size: a smaller one cannot be mapped at ours, a larger one
  // has a header that does not fit our view. Both go once that holder lets go.
  const std::int64_t deadline = NowMs() + StaleSectionWait;
  const std::int64_t wanted = (std::int64_t{FBufferSize} + KqBufferBlocks - 1) / KqBufferBlocks * KqBufferBlocks;
  for (;;) {
    try {
      auto buffer = std::make_unique<TIPCBuffer>(FBufferSize, KqBufferBlocks);
      if (buffer->SharedMem().Created() || buffer->BufSize() == wanted) return buffer;
      if (NowMs() >= deadline) RaiseCreateError(SKqSharedMemError, KqBufferName, InvalidParameterCode());
    } catch (const EKqError&) {
      if (NowMs() >= deadline) throw;
    }
    SleepMs(StaleSectionPoll);
  }
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
  // The time-out bounds the whole call, the detach of a client attached before included (one that
  // no longer answers would otherwise cost the detach's own time-out on top).
  const std::int64_t deadline = NowMs() + timeOutMs;
  if (Attached()) Detach(timeOutMs);
  OpenBuffer();
  FConnectEvent->SignalID(evMonitorAttach, clientID);
  // The answer shares one record with every later signal of the client: a fast client may have
  // overwritten it with a statement's signal, or even its leaving, before we read it.
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
  FAttachedHolder = FDirectory->ClientHolder(clientID);
  return true;
}

std::vector<TraceLine> Monitor::Detach(std::int32_t timeOutMs) {
  if (!Attached()) return {};
  std::int32_t id = *FAttachedID;
  FClientEvent->SignalID(evMonitorDetach, id);
  AwaitClient(id, evClientDetach, timeOutMs);
  // The client answers after its last append, and the view goes with this call: a read that stopped
  // short on a doubt must be followed by another, until one finds nothing more.
  std::vector<TraceLine> rest;
  for (int pass = 0; pass < 16; ++pass) {
    std::vector<TraceLine> more = ReadNew();
    if (more.empty() && pass > 0) break;
    rest.insert(rest.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  }
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
  if (!Attached() || !FAttachedHolder || !DirectoryLiveness::ClientGone(*FAttachedID, *FAttachedHolder)) return false;
  FAttachedID.reset();
  return true;
}

bool Monitor::WatchForRecords() noexcept {
  // A read that could not get past a record (a damaged link, stays until the writer evicts it)
  // would keep the monitor spinning: then it sleeps until the next signal instead.
  if (!FReader || FReadStalled) return false;
  if (FReader->HasNewer(FLastRefNo)) {
    FWatchUs = MaxWatchUs;
    return true;
  }
  if (FWatchUs == 0) return false;
  const auto watchEnd = std::chrono::steady_clock::now() + std::chrono::microseconds(FWatchUs);
  for (int i = 1;; ++i) {
    if (FReader->HasNewer(FLastRefNo)) return true;
    if (i % 32 == 0 && std::chrono::steady_clock::now() >= watchEnd) break;
    CpuRelax();
  }
  FWatchUs /= 2;
  return false;
}

void Monitor::AnnounceAwake() noexcept {
  // Only the registered monitor; the word is left as it is while it already says so, so that the
  // cache line every client reads stays shared.
  if (!FAwakeWord || FDirectory->MonitorID() != FID) return;
  std::atomic_ref<std::int32_t> word(*FAwakeWord);
  if (word.load(std::memory_order_relaxed) != FID) word.store(FID, std::memory_order_relaxed);
}

void Monitor::AnnounceAsleep() noexcept {
  if (!FAwakeWord) return;
  std::atomic_ref<std::int32_t> word(*FAwakeWord);
  // Another monitor's announcement is not ours to take back (a successor's, or a dead one's, which
  // no client believes: they compare it with the monitor that attached them).
  if (word.load(std::memory_order_relaxed) == FID) word.store(0, std::memory_order_relaxed);
  // Pairs with the barrier of a client between its record and its look at the word.
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

MonitorMessage Monitor::Poll(std::int32_t timeOutMs) {
  if (FEarlyDetach) {
    MonitorMessage early{MonitorNews::ClientDetached, *FEarlyDetach};
    FEarlyDetach.reset();
    return early;
  }
  // A signal already given (records, or a client's news) is taken without sleeping. Records published
  // without one yet, or arriving within the short watch, need no sleep either; the event is then
  // taken by a later poll.
  bool signalled = FMonitorEvent->Wait(0);
  if (!signalled && WatchForRecords()) {
    AnnounceAwake();
    return {MonitorNews::Signalled, AttachedID()};
  }
  if (!signalled && timeOutMs != 0) {
    // A record published while we said we were awake came without a signal: the look after the
    // announcement finds it, or its writer saw the announcement gone and signalled.
    AnnounceAsleep();
    if (FReader && !FReadStalled && FReader->HasNewer(FLastRefNo)) {
      AnnounceAwake();
      return {MonitorNews::Signalled, AttachedID()};
    }
    signalled = FMonitorEvent->Wait(timeOutMs);
  }
  // The caller reads what is new after every poll: it is awake until the next one sleeps.
  AnnounceAwake();
  if (!signalled) {
    // A client that died sends nothing more: only a wait that stayed quiet needs the look.
    const std::int32_t attached = AttachedID();
    return AttachedClientEnded() ? MonitorMessage{MonitorNews::ClientEnded, attached} : MonitorMessage{};
  }
  // Pairs with the full barrier of the client's signal: whatever it wrote before it is seen now,
  // also when its signal found the event already set by an earlier one.
  std::atomic_thread_fence(std::memory_order_seq_cst);
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
  if (!FReader) return lines;
  const std::int32_t before = FLastRefNo;
  FLastRefNo = FReader->ReadNewer(FLastRefNo, lines);
  FReadStalled = FLastRefNo == before && FReader->HasNewer(FLastRefNo);
  CheckSpool();
  return lines;
}

const std::vector<TraceLineView>& Monitor::ReadNewViews() {
  FViews.clear();
  if (!FReader) return FViews;
  const std::int32_t before = FLastRefNo;
  FLastRefNo = FReader->ReadNewerViews(FLastRefNo, FViews);
  FReadStalled = FLastRefNo == before && FReader->HasNewer(FLastRefNo);
  CheckSpool();
  return FViews;
}

}  // namespace kq

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "append_gate.h"
#include "stop_signal.h"

namespace kq {

class TIPCBuffer;
class TIPCEvent;
class TClientDirectory;
class WorkerThread;
class LivenessObject;

enum TState : std::uint8_t { stInActive = 0, stDisconnected = 1, stConnected = 2 };

class TIPCThread;

// Method callbacks: code and the object it is called on; set when the code is not null. Both run on
// the endpoint's worker thread.
using TConnectProc = void (*)(void* self, TIPCThread* sender, bool connecting);
struct TConnectEvent {
  TConnectProc Code = nullptr;
  void* Data = nullptr;
};
using TIPCNotifyProc = void (*)(void* self, TIPCThread* sender, std::int32_t data);
struct TIPCNotifyEvent {
  TIPCNotifyProc Code = nullptr;
  void* Data = nullptr;
};

// The abstract client endpoint: owns the three IPC events, the directory object, the trace buffer
// (while connected) and a worker thread created suspended.
//
// The caller's threads and the worker share the state and the buffer under one contract:
// - FBuffer is set, replaced and cleared only while FGate is held (ReplaceBuffer, or a Hold of its
//   own as the attach does);
// - every append (AddData, the attach's first line) holds FGate across its look at the state and the
//   buffer and the append itself, so it never meets a buffer that is being replaced or freed;
// - FState becomes stConnected only under FGate, after the attach's first line, so that no
//   statement comes before that line. It may leave stConnected without the gate: an append already
//   inside finishes into a buffer that cannot go before it leaves, and the next one sees the state;
// - FGate is held only briefly: an outgoing buffer is moved out under it and destroyed after (its
//   unmapping is a system call), and nothing that waits for the monitor or calls a callback runs
//   while it is held. Reading FState without it is fine for a decision that is checked again
//   under it (AddData drops a statement early when not connected).
class TIPCThread {
 public:
  TIPCThread(std::int32_t aID, std::u16string_view aName);
  virtual ~TIPCThread();
  TIPCThread(const TIPCThread&) = delete;
  TIPCThread& operator=(const TIPCThread&) = delete;

  virtual void Activate() = 0;
  virtual void DeActivate() = 0;
  virtual void SetBufferSize(std::int32_t value);  // has no effect: the monitor sets the size
  std::int32_t GetBufferSize() const;

  const TConnectEvent& OnConnect() const noexcept { return FOnConnect; }
  void SetOnConnect(TConnectEvent value) noexcept { FOnConnect = value; }
  const TIPCNotifyEvent& OnSignal() const noexcept { return FOnSignal; }
  void SetOnSignal(TIPCNotifyEvent value) noexcept { FOnSignal = value; }

  TState State() const noexcept { return FState.load(std::memory_order_acquire); }
  std::int32_t ID() const noexcept { return FID; }
  const std::u16string& Name() const noexcept { return FName; }

 protected:
  virtual void Execute() = 0;
  // Ends the worker: after it left, or after the forced end when it did not within the time-out.
  void EndWorker(std::int32_t timeOutMs);
  // A pause that a forced end cuts short.
  void Pause(std::int32_t ms);
  // Puts `next` (may be null) in place of FBuffer under the gate and hands back the old buffer, to
  // be destroyed by the caller outside it (a discarded result is, at the end of the statement).
  std::unique_ptr<TIPCBuffer> ReplaceBuffer(std::unique_ptr<TIPCBuffer> next) noexcept;

  std::unique_ptr<WorkerThread> FThread;
  std::int32_t FID;
  std::u16string FName;
  std::atomic<TState> FState{stInActive};
  std::unique_ptr<TIPCBuffer> FBuffer;
  std::unique_ptr<TIPCEvent> FClientEvent;
  std::unique_ptr<TIPCEvent> FMonitorEvent;
  std::unique_ptr<TIPCEvent> FConnectEvent;
  std::unique_ptr<TClientDirectory> FClientDirectory;
  TIPCNotifyEvent FOnSignal;
  TConnectEvent FOnConnect;
  AppendGate FGate;  // FBuffer replacement and appends, see above
  StopSignal FStop;  // the process-local forced end of the worker
  // Set by DeActivate before it sends the exit record: only then is an own-ID evClientExit ours. An
  // endpoint that left before under the same ID may have left its record on the connect event.
  std::atomic<bool> FExitRequested{false};
  // Held while the endpoint owns its directory entry, so that others can tell when its process died.
  std::unique_ptr<LivenessObject> FLiveness;

 private:
  static void ThreadBody(void* self);
};

}  // namespace kq

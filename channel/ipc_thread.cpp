#include "ipc_thread.h"

#include "client_directory.h"
#include "ipc_buffer.h"
#include "ipc_event.h"
#include "liveness_object.h"
#include "platform.h"
#include "worker_thread.h"

namespace kq {

TIPCThread::TIPCThread(std::int32_t aID, std::u16string_view aName)
    : FThread(std::make_unique<WorkerThread>(&TIPCThread::ThreadBody, this)), FID(aID), FName(aName) {
  FMonitorEvent = std::make_unique<TIPCEvent>(KqMonitorEventName, false);
  FClientEvent = std::make_unique<TIPCEvent>(KqClientEventName, false);
  FConnectEvent = std::make_unique<TIPCEvent>(KqConnectEventName, true);
  FClientDirectory = std::make_unique<TClientDirectory>(KqDirectoryCapacity);
}

TIPCThread::~TIPCThread() {
  FThread.reset();
  FLiveness.reset();
  FClientDirectory.reset();
  FConnectEvent.reset();
  FClientEvent.reset();
  FMonitorEvent.reset();
  FBuffer.reset();
  FState.store(stInActive, std::memory_order_release);
}

void TIPCThread::SetBufferSize(std::int32_t) {}

std::int32_t TIPCThread::GetBufferSize() const { return FClientDirectory->IPCBufSize(); }

void TIPCThread::ThreadBody(void* self) { static_cast<TIPCThread*>(self)->Execute(); }

void TIPCThread::EndWorker(std::int32_t timeOutMs) {
  if (FThread->WaitFor(timeOutMs)) return;
  // The worker missed its exit record (another process overwrote it) or is busy: make every wait of
  // it return. A wake can slip in between its check of the flag and its sleep, so repeat it.
  FStop.Stop();
  for (int i = 0; i < 100 && !FThread->WaitFor(20); ++i) FStop.Wake();
  // Still running: it is inside a driver's callback.
  if (!FThread->WaitFor(0)) FThread->Abandon();
}

std::unique_ptr<TIPCBuffer> TIPCThread::ReplaceBuffer(std::unique_ptr<TIPCBuffer> next) noexcept {
  AppendGate::Hold hold(FGate);
  FBuffer.swap(next);
  return next;
}

void TIPCThread::Pause(std::int32_t ms) {
  for (std::int32_t left = ms; left > 0 && !FStop.Stopped(); left -= 20) SleepMs(left < 20 ? left : 20);
}

}  // namespace kq

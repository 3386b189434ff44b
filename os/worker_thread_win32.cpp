#include "kq_error.h"
#include "win32_handles.h"
#include "worker_thread.h"

namespace kq {

struct WorkerThread::Impl {
  Body FBody;
  void* FContext;
  bool FRun = false;
  bool FStarted = false;
  UniqueWinHandle FThread;

  static DWORD WINAPI Run(void* param) {
    auto* impl = static_cast<Impl*>(param);
    if (impl->FRun) impl->FBody(impl->FContext);
    return 0;
  }
};

WorkerThread::WorkerThread(Body body, void* context) : FImpl(std::make_unique<Impl>()) {
  FImpl->FBody = body;
  FImpl->FContext = context;
  FImpl->FThread.Reset(CreateThread(nullptr, 0, &Impl::Run, FImpl.get(), CREATE_SUSPENDED, nullptr));
  if (!FImpl->FThread) {
    int code = static_cast<int>(GetLastError());
    throw EKqError(u"Thread creation error", code);
  }
}

WorkerThread::~WorkerThread() {
  if (!FImpl->FThread) return;
  if (!FImpl->FStarted) {
    FImpl->FStarted = true;  // resumed without its body: it ends at once
    ResumeThread(FImpl->FThread.Get());
  }
  WaitForSingleObject(FImpl->FThread.Get(), INFINITE);
}

void WorkerThread::Start() {
  if (FImpl->FStarted) return;
  FImpl->FRun = true;
  FImpl->FStarted = true;
  ResumeThread(FImpl->FThread.Get());
}

bool WorkerThread::Suspended() const noexcept { return !FImpl->FStarted; }

bool WorkerThread::WaitFor(std::int32_t timeOutMs) {
  if (!FImpl->FStarted) return true;
  return WaitForSingleObject(FImpl->FThread.Get(), static_cast<DWORD>(timeOutMs)) == WAIT_OBJECT_0;
}

void WorkerThread::Abandon() {
  if (WaitForSingleObject(FImpl->FThread.Get(), 0) != WAIT_OBJECT_0) {
    TerminateThread(FImpl->FThread.Get(), 0);
    WaitForSingleObject(FImpl->FThread.Get(), INFINITE);
  }
}

}  // namespace kq

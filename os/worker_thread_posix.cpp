#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "kq_error.h"
#include "worker_thread.h"

namespace kq {

struct WorkerThread::Impl {
  Body FBody;
  void* FContext;
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FStarted = false;
  bool FRun = false;
  bool FFinished = false;
  std::thread FThread;

  void Run() {
    {
      std::unique_lock hold(FLock);
      FChanged.wait(hold, [this] { return FStarted; });
    }
    if (FRun) FBody(FContext);
    std::lock_guard hold(FLock);
    FFinished = true;
    FChanged.notify_all();
  }
};

WorkerThread::WorkerThread(Body body, void* context) : FImpl(std::make_unique<Impl>()) {
  FImpl->FBody = body;
  FImpl->FContext = context;
  try {
    FImpl->FThread = std::thread([impl = FImpl.get()] { impl->Run(); });
  } catch (const std::system_error& e) {
    throw EKqError(u"Thread creation error", e.code().value());
  }
}

WorkerThread::~WorkerThread() {
  {
    std::lock_guard hold(FImpl->FLock);
    FImpl->FStarted = true;  // let a never-started thread through the gate, without its body
    FImpl->FChanged.notify_all();
  }
  if (FImpl->FThread.joinable()) FImpl->FThread.join();
}

void WorkerThread::Start() {
  std::lock_guard hold(FImpl->FLock);
  if (FImpl->FStarted) return;
  FImpl->FRun = true;
  FImpl->FStarted = true;
  FImpl->FChanged.notify_all();
}

bool WorkerThread::Suspended() const noexcept {
  std::lock_guard hold(FImpl->FLock);
  return !FImpl->FStarted;
}

bool WorkerThread::WaitFor(std::int32_t timeOutMs) {
  std::unique_lock hold(FImpl->FLock);
  if (!FImpl->FStarted) return true;
  auto done = [this] { return FImpl->FFinished; };
  if (timeOutMs < 0) {
    FImpl->FChanged.wait(hold, done);
    return true;
  }
  return FImpl->FChanged.wait_for(hold, std::chrono::milliseconds(timeOutMs), done);
}

void WorkerThread::Abandon() {
  if (FImpl->FThread.joinable()) FImpl->FThread.join();
}

}  // namespace kq

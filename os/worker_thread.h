#pragma once

#include <cstdint>
#include <memory>

namespace kq {

// A thread created suspended and started once. Windows: CreateThread with CREATE_SUSPENDED, so a
// worker stuck in a driver's callback can still be ended with TerminateThread. POSIX: a start gate in
// front of the body; Abandon() joins, since a POSIX thread is never killed from outside.
class WorkerThread {
 public:
  using Body = void (*)(void* context);

  WorkerThread(Body body, void* context);  // throws EKqError when the thread cannot be made
  ~WorkerThread();                         // a never-started thread ends without running the body
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Start();
  [[nodiscard]] bool Suspended() const noexcept;
  // True once the body has returned (or the thread was never started), within timeOutMs.
  [[nodiscard]] bool WaitFor(std::int32_t timeOutMs);
  // The last resort for a thread that did not leave: TerminateThread on Windows, join on POSIX.
  void Abandon();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace kq

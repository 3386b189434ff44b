#pragma once

#include <atomic>

#include "ipc_event.h"
#include "ipc_thread.h"

namespace kq {

struct TOutcomeTail;

// The concrete endpoint of one traced client: registers it in the directory, runs the handshakes with
// the monitor on its worker and, while connected, appends statements with one signal each.
class TIPCClient : public TIPCThread {
 public:
  TIPCClient(std::int32_t aID, std::u16string_view aName);
  ~TIPCClient() override;

  void Activate() override;
  void DeActivate() override;

  std::int32_t ClientCount() const;
  // The directory's MonitorID: not 0 while a monitor is registered (which may have died).
  std::int32_t MonitorID() const;
  // Appends one record while connected; true when it was stored, so that the monitor will read it,
  // spool it or report it in a gap. False when it was dropped (not connected, or between the buffers
  // of a reallocation). Raises EKqError when the shared buffer's header is damaged; the statement is
  // dropped and the endpoint stays usable.
  bool AddData(const void* data, std::int32_t size);
  // The same for a statement of `units` UTF-16 units, with its outcome when there is one: the NUL is
  // written by the buffer, never read from behind the caller's text.
  bool AddStatement(const char16_t* text, std::int32_t units, const TOutcomeTail* outcome = nullptr);
  void SignalMonitor() noexcept;

 protected:
  void Execute() override;

 private:
  void HandleAttach();
  void HandleDetach(bool notify);
  void HandleRealloc();
  void HandleExit(TIPCEvent& waitEvent);
  // WaitFor that a forced end cuts short.
  [[nodiscard]] bool WaitForAnswer(TIPCEvent& event, std::int32_t timeOut, TEventKind kind);

  std::atomic<TIPCEvent*> FWaitEvent{nullptr};
  bool FActivated = false;
  bool FListed = false;  // the directory entry of our ID is the one we added
};

}  // namespace kq

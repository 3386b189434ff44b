#pragma once

#include <atomic>

#include "directory_liveness.h"
#include "ipc_buffer.h"
#include "ipc_event.h"
#include "ipc_thread.h"
#include "private_channel.h"

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
  // Inline, as SignalMonitor: the statement path.
  [[gnu::always_inline]] bool AddStatement(const char16_t* text, std::int32_t units,
                                           const TOutcomeTail* outcome = nullptr) {
    if (State() != stConnected) return false;
    AppendGate::Hold hold(FGate);
    if (State() != stConnected || !FBuffer) return false;
    FBuffer->AddStatement(text, units, outcome);
    return true;
  }
  void SignalMonitor() noexcept {
    if (State() != stConnected) return;
    // While our monitor says it is awake it reads every ring again before it sleeps, so the signal (a
    // system call on Windows) can be left out. The record is published before this point; the full
    // barrier between that and our look at the word pairs with the one between the monitor's clearing
    // of the word and its last look at the rings: either it sees our record, or we see it asleep and
    // signal. Without the barrier both looks could be answered before the other side's write lands.
    if (const std::int32_t quietFor = FQuietFor.load(std::memory_order_relaxed); quietFor != 0) {
      std::atomic_thread_fence(std::memory_order_seq_cst);
      if (std::atomic_ref<std::int32_t>(*FAwakeWord).load(std::memory_order_relaxed) == quietFor) return;
    }
    SignalAsleepMonitor();
  }
  // Whether the endpoint writes into a private ring of its own (see private_channel.h) rather than
  // the shared "KqBuffer".
  bool Private() const noexcept { return FPrivate.load(std::memory_order_acquire); }

 protected:
  void Execute() override;

 private:
  void SignalAsleepMonitor() noexcept;
  void HandleAttach();
  void HandleDetach(bool notify);
  void HandleRealloc();
  void HandleExit(TIPCEvent& waitEvent);
  // The monitor of ours whose awake announcement lets SignalMonitor leave the signal out (0: none,
  // every statement signals). Set when a monitor attaches us or we enter its private channel, from
  // what the directory records of it; a monitor built only from the shared objects is never one.
  void QuietFor(std::int32_t monitorID) noexcept;
  // WaitFor that a forced end cuts short.
  [[nodiscard]] bool WaitForAnswer(TIPCEvent& event, std::int32_t timeOut, TEventKind kind);

  // The private channel, offered only by a monitor of ours (private_channel.h). Entering it replaces
  // the attach handshake: the ring is made and the first line written before the slot is published,
  // so that the monitor finds everything from the first statement on.
  [[nodiscard]] bool OfferToEnter();
  void NoteOfferHolder(std::int32_t offeredBy);
  [[nodiscard]] bool OfferStillStands();
  bool PartsAttachPending() noexcept;
  bool EnterPrivate(bool notify);
  // Back to the shared objects' rules; `answer` tells the monitor that asked for it.
  void LeavePrivate(bool answer);
  void ExitPrivate();
  void PrivateRealloc(std::int32_t size);
  void DispatchPrivate(std::int32_t id, TEventKind kind, std::int32_t data, bool& leave);
  // Looks at the offer after a quiet wait: enters or leaves the private channel.
  void CheckPrivate();

  std::atomic<TIPCEvent*> FWaitEvent{nullptr};
  std::unique_ptr<ChannelTable> FChannels;
  // The offering monitor's liveness holder, noted while it was the registered one, so that its life
  // can be told also while a short-lived command holds the registration.
  std::int32_t FOfferHolderOf = 0;
  LivenessHolder FOfferHolder{};
  std::unique_ptr<TIPCEvent> FPrivateClientEvent;
  std::unique_ptr<TIPCEvent> FPrivateMonitorEvent;
  std::atomic<bool> FPrivate{false};
  std::atomic<std::int32_t> FQuietFor{0};
  std::int32_t* FAwakeWord = nullptr;  // the directory's AwakeMonitor word (directory_liveness.h)
  std::int32_t FSlot = -1;
  std::int32_t FDeclinedBy = 0;  // the monitor that detached us: not re-entered until it pings
  bool FActivated = false;
  std::atomic<bool> FListed{false};  // the directory entry of our ID is the one we added (the worker reads it)
};

}  // namespace kq

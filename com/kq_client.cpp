#include "kq_client.h"

#include <climits>
#include <string_view>

#include "com_object_factory.h"
#include "com_platform.h"
#include "ipc_client.h"
#include "kq_error.h"
#include "record_outcome.h"

namespace kq {

TKqClient::TKqClient(TComObjectFactory& factory, IUnknown* controller) : TComObject(factory, controller) {}

TKqClient::~TKqClient() {
  FAttached.store(nullptr);
  FIPCClient.reset();  // ends the worker before the callback pair it may be using goes
}

TComObject* TKqClient::Create(TComObjectFactory& factory, IUnknown* controller) {
  return new TKqClient(factory, controller);
}

HRESULT TKqClient::QueryInterface(REFIID iid, void** out) { return TComObject::QueryInterface(iid, out); }
ULONG TKqClient::AddRef() { return TComObject::AddRef(); }
ULONG TKqClient::Release() { return TComObject::Release(); }

void* TKqClient::GetInterface(REFIID iid) noexcept {
  if (IsEqualGUID(iid, IID_IKqClient)) return static_cast<IKqClient*>(this);
  if (IsEqualGUID(iid, IID_IKqClient2)) return static_cast<IKqClient2*>(this);
  return TComObject::GetInterface(iid);
}

std::int32_t TKqClient::AttachClient(std::int32_t id, const WCHAR* name, void* callbackData,
                                     KqCallbackProc callbackProc) {
  try {
    std::lock_guard hold(FAttachLock);
    if (FIPCClient) {
      // One endpoint per object: a second attach keeps the first.
      SetComErrorInfo(u"The object is attached already", IID_IKqClient);
      return KqFalse;
    }
    const std::u16string_view nameText = name ? std::u16string_view(reinterpret_cast<const char16_t*>(name)) : u"";
    auto client = std::make_unique<TIPCClient>(id, nameText);
    if (callbackData && callbackProc) {
      FCallbackData = callbackData;
      FCallbackProc = callbackProc;
      client->SetOnSignal(TIPCNotifyEvent{&TKqClient::Notify, this});
    }
    FIPCClient = std::move(client);
    // Complete before anyone may use it; activation only moves its atomic state, which every
    // append checks, and a failed one leaves it inactive, dropping all statements.
    FAttached.store(FIPCClient.get(), std::memory_order_release);
    FIPCClient->Activate();
    ClearComErrorInfo();
    return KqTrue;
  } catch (const EKqError& e) {
    SetComErrorInfo(e.Message(), IID_IKqClient);
  } catch (const std::exception& e) {
    SetComErrorInfo(ExceptionText(e), IID_IKqClient);
  } catch (...) {
  }
  return KqFalse;
}

std::int32_t TKqClient::SubmitStatement(const WCHAR* text, std::int32_t len) {
  TIPCClient* client = FAttached.load(std::memory_order_acquire);
  // One unsigned compare takes out negative lengths too.
  if (!client || !text || static_cast<std::uint32_t>(len) > INT32_MAX / 2 - 1) return KqFalse;
  // Traced only when stored: the endpoint may leave the connected state between a look at it and
  // the append, and a statement that reports KqTrue must reach the monitor.
  bool stored = false;
  try {
    stored = client->AddStatement(reinterpret_cast<const char16_t*>(text), len);
  } catch (...) {
    return KqFalse;
  }
  client->SignalMonitor();
  return stored ? KqTrue : KqFalse;
}

std::int32_t TKqClient::SubmitStatementOutcome(const WCHAR* text, std::int32_t len, const KqOutcome* outcome) {
  TIPCClient* client = FAttached.load(std::memory_order_acquire);
  if (!client || !text || len < 0 || len > INT32_MAX / 2 - 1) return KqFalse;
  if (!outcome) return SubmitStatement(text, len);
  // Built on the stack and written straight behind the text: nothing allocated, the message copied
  // once into the ring.
  TOutcomeTail tail;
  // Negative counts say "not known"; the reader turns them into -1, off the driver's thread.
  tail.DurationMicros = outcome->durationMicros;
  tail.Rows = outcome->rows;
  tail.NativeCode = outcome->nativeCode;
  // Statuses beyond the two we define still say that something went wrong.
  tail.Status = outcome->status >= 0 && outcome->status <= 0xFFFF ? static_cast<std::uint16_t>(outcome->status)
                                                                  : static_cast<std::uint16_t>(KqStatusError);
  for (int i = 0; i < 5 && outcome->sqlState[i] != 0; ++i)
    tail.SqlState[i] = static_cast<char16_t>(outcome->sqlState[i]);
  tail.Message = reinterpret_cast<const char16_t*>(outcome->message);
  tail.MessageUnits = tail.Message ? OutcomeMessageUnits(tail.Message) : 0;
  bool stored = false;
  try {
    stored = client->AddStatement(reinterpret_cast<const char16_t*>(text), len, &tail);
  } catch (...) {
    return KqFalse;
  }
  client->SignalMonitor();
  return stored ? KqTrue : KqFalse;
}

void TKqClient::Notify(void* self, TIPCThread* sender, std::int32_t data) {
  auto* object = static_cast<TKqClient*>(self);
  object->FCallbackProc(object->FCallbackData, sender, data);
}

}  // namespace kq

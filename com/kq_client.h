#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "com_object.h"
#include "kqintf.h"

namespace kq {

class TIPCClient;
class TIPCThread;

// The KqClient COM object: one traced connection of a driver, with the client endpoint it makes on
// attach and destroys with itself. Callable from several threads at once: attaching is serialised by
// FAttachLock, and statements reach the endpoint only through FAttached, which is published once the
// endpoint is fully built, so that SubmitStatement takes no lock of its own. IKqClient2 extends the
// same table, so one object answers for both interfaces.
class TKqClient : public TComObject, public IKqClient2 {
 public:
  TKqClient(TComObjectFactory& factory, IUnknown* controller);
  ~TKqClient() override;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  [[nodiscard]] std::int32_t STDMETHODCALLTYPE AttachClient(std::int32_t id, const WCHAR* name, void* callbackData,
                                                            KqCallbackProc callbackProc) override;
  std::int32_t STDMETHODCALLTYPE SubmitStatement(const WCHAR* text, std::int32_t len) override;
  std::int32_t STDMETHODCALLTYPE SubmitStatementOutcome(const WCHAR* text, std::int32_t len,
                                                        const KqOutcome* outcome) override;

  static TComObject* Create(TComObjectFactory& factory, IUnknown* controller);

 protected:
  void* GetInterface(REFIID iid) noexcept override;

 private:
  // The endpoint's callback, passed on in the drivers' convention.
  static void Notify(void* self, TIPCThread* sender, std::int32_t data);

  std::mutex FAttachLock;
  std::unique_ptr<TIPCClient> FIPCClient;
  std::atomic<TIPCClient*> FAttached{nullptr};
  void* FCallbackData = nullptr;
  KqCallbackProc FCallbackProc = nullptr;
};

}  // namespace kq

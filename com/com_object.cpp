#include "com_object.h"

#include "com_object_factory.h"
#include "com_platform.h"
#include "com_server.h"

namespace kq {

TComObject::TComObject(TComObjectFactory& factory, IUnknown* controller) : FFactory(factory), FController(controller) {
  FFactory.ComServer().CountObject(true);
}

TComObject::~TComObject() {
  FFactory.ComServer().CountObject(false);
  // Destroyed while still referenced: tell COM that the proxies of it are dead.
  if (FRefCount.load() > 0) DisconnectObject(&FInner);
}

void TComObject::InitializeFromFactory() {
  FRefCount.store(1);
  try {
    Initialize();
  } catch (...) {
    FRefCount.store(0);
    throw;
  }
  FRefCount.store(0);
}

HRESULT TComObject::ObjQueryInterface(REFIID iid, void** out) noexcept {
  if (!out) return E_POINTER;
  void* found = GetInterface(iid);
  *out = found;
  if (!found) return E_NOINTERFACE;
  // Counted through the interface handed out, as its Release will be: on this object for the inner
  // IUnknown, on the outer object for every other interface of an aggregated one.
  static_cast<IUnknown*>(found)->AddRef();
  return S_OK;
}

ULONG TComObject::ObjAddRef() noexcept { return static_cast<ULONG>(++FRefCount); }

ULONG TComObject::ObjRelease() noexcept {
  const std::int32_t count = --FRefCount;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT TComObject::QueryInterface(REFIID iid, void** out) {
  return FController ? FController->QueryInterface(iid, out) : ObjQueryInterface(iid, out);
}

ULONG TComObject::AddRef() { return FController ? FController->AddRef() : ObjAddRef(); }

ULONG TComObject::Release() { return FController ? FController->Release() : ObjRelease(); }

HRESULT TComObject::InterfaceSupportsErrorInfo(REFIID iid) { return GetInterface(iid) ? S_OK : S_FALSE; }

void* TComObject::GetInterface(REFIID iid) noexcept {
  if (IsEqualGUID(iid, IID_IUnknown)) return static_cast<IUnknown*>(&FInner);
  if (IsEqualGUID(iid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
  return nullptr;
}

}  // namespace kq

#pragma once

#include <atomic>
#include <cstdint>

#include "com_abi.h"

namespace kq {

class TComObjectFactory;

// Base of the library's COM objects: reference counting, aggregation and ISupportErrorInfo. The
// object's own IUnknown (the inner one an aggregating outer object holds) never delegates; the
// IUnknown methods of every other interface go to the controller when the object is aggregated.
// Each object counts in its server's object count from construction to destruction.
class TComObject : public ISupportErrorInfo {
 public:
  TComObject(TComObjectFactory& factory, IUnknown* controller);
  virtual ~TComObject();
  TComObject(const TComObject&) = delete;
  TComObject& operator=(const TComObject&) = delete;

  HRESULT ObjQueryInterface(REFIID iid, void** out) noexcept;
  ULONG ObjAddRef() noexcept;
  ULONG ObjRelease() noexcept;

  // The delegating IUnknown of the object's interfaces.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

  IUnknown* InnerUnknown() noexcept { return &FInner; }
  IUnknown* Controller() const noexcept { return FController; }
  TComObjectFactory& Factory() const noexcept { return FFactory; }
  std::int32_t RefCount() const noexcept { return FRefCount.load(); }

  // The factory's construction step: Initialize runs with one reference held, so that a query and
  // release inside it cannot destroy the object, and the count is 0 again afterwards.
  void InitializeFromFactory();

 protected:
  virtual void Initialize() {}
  // The interface pointer for iid, or null when the object does not implement it.
  virtual void* GetInterface(REFIID iid) noexcept;

 private:
  class NonDelegatingUnknown final : public IUnknown {
   public:
    explicit NonDelegatingUnknown(TComObject& owner) : FOwner(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
      return FOwner.ObjQueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return FOwner.ObjAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return FOwner.ObjRelease(); }

   private:
    TComObject& FOwner;
  };

  std::atomic<std::int32_t> FRefCount{0};
  TComObjectFactory& FFactory;
  IUnknown* FController;
  NonDelegatingUnknown FInner{*this};
};

}  // namespace kq

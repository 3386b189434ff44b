#pragma once

// The usual outer object of a COM aggregate, for the COM front end's tests: it hands out the inner
// object's interfaces as its own and releases the inner object when its own count reaches 0. It marks
// that end instead of freeing itself, so that a test can still look at it afterwards.
#include "kqintf.h"

namespace kqtest {

class AggregatingOuter final : public IUnknown {
 public:
  // Makes the inner object, aggregated, through the class factory.
  HRESULT Aggregate(IClassFactory* factory) {
    return factory->CreateInstance(this, IID_IUnknown, reinterpret_cast<void**>(&FInner));
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualGUID(iid, IID_IUnknown)) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (!FInner) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return FInner->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++FRefs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const int left = --FRefs;
    if (left == 0 && FInner) {
      Ended = true;
      IUnknown* inner = FInner;
      FInner = nullptr;
      inner->Release();
    }
    return static_cast<ULONG>(left);
  }

  int Refs() const { return FRefs; }
  bool Ended = false;

 private:
  int FRefs = 1;  // the creator's
  IUnknown* FInner = nullptr;
};

}  // namespace kqtest

#include "kq_loader.h"

namespace kq {

IKqClient* KqLibrary::CreateKqClient(HRESULT* result) const {
  IClassFactory* factory = nullptr;
  IKqClient* client = nullptr;
  HRESULT hr = GetClassObject(CLSID_KqClient, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(hr)) {
    hr = factory->CreateInstance(nullptr, IID_IKqClient, reinterpret_cast<void**>(&client));
    factory->Release();
  }
  if (result) *result = hr;
  return SUCCEEDED(hr) ? client : nullptr;
}

}  // namespace kq

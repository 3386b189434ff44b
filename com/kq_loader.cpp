#include "kq_loader.h"

#include "kq_loader_platform.h"

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

std::u16string KqErrorDescription(IUnknown* object) {
  if (!object) return {};
  ISupportErrorInfo* support = nullptr;
  if (FAILED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) || !support) return {};
  const bool supported = support->InterfaceSupportsErrorInfo(IID_IKqClient) == S_OK;
  support->Release();
  return supported ? ThreadErrorDescription(object) : std::u16string();
}

}  // namespace kq

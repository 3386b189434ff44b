#include "com_exports.h"

#include "com_class_manager.h"
#include "com_object_factory.h"
#include "com_platform.h"
#include "com_server.h"
#include "kq_client.h"

namespace kq {

namespace {

bool PerUserFromHost() noexcept {
  try {
    return PerUserSwitch(HostArguments());
  } catch (...) {
    return false;
  }
}

TComServer* TheServer = nullptr;

// Everything that exists while the module is loaded: made when it is loaded, gone when it unloads.
struct ServerModule {
  TComClassManager ClassManager;
  TComServer Server{ClassManager, u"Vornel", PerUserFromHost()};
  TComObjectFactory Factory{
      Server, &TKqClient::Create, CLSID_KqClient, u"KqClient", u"Vornel Orvalis Client Library", ciMultiInstance,
      tmBoth};

  ServerModule() { TheServer = &Server; }
  ~ServerModule() { TheServer = nullptr; }
};

ServerModule Module;

HRESULT UpdateRegistry(bool doRegister) noexcept {
  TComServer* server = TheServer;
  if (!server) return E_UNEXPECTED;
  try {
    server->UpdateRegistry(doRegister);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

TComServer* ComServer() noexcept { return TheServer; }

}  // namespace kq

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  kq::TComServer* server = kq::TheServer;
  kq::TComObjectFactory* factory = server ? server->ClassManager().GetFactoryFromClassID(clsid) : nullptr;
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  return factory->QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow(void) {
  kq::TComServer* server = kq::TheServer;
  return !server || (server->ObjectCount() == 0 && server->FactoryCount() == 0) ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer(void) { return kq::UpdateRegistry(true); }

STDAPI DllUnregisterServer(void) { return kq::UpdateRegistry(false); }

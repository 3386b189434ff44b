#pragma once

#include "com_abi.h"

// The four entry points of the in-process server. No exception leaves them.
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out);
STDAPI DllCanUnloadNow(void);
STDAPI DllRegisterServer(void);
STDAPI DllUnregisterServer(void);

namespace kq {

class TComServer;

// The server object of this module, null once the module is being unloaded.
TComServer* ComServer() noexcept;

}  // namespace kq

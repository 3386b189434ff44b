#pragma once

#include <string>

#include "kqintf.h"
#include "unique_resource.h"

namespace kq {

// The library file name on this platform: "kqclient.dll" or "libkqclient.so".
const char* KqLibraryFileName() noexcept;

// The library beside the running executable (UTF-8 path), where tools and tests find it.
std::string KqLibraryBesideExecutable();

// A kqclient library loaded by path, for drivers and tools that reach the class without COM's
// registration lookup. Unloaded with the object: release every interface from it first.
class KqLibrary {
 public:
  // path in UTF-8; raises EKqError when the library cannot be loaded or lacks an entry point.
  explicit KqLibrary(const std::string& path);

  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const { return FGetClassObject(clsid, iid, out); }
  HRESULT CanUnloadNow() const { return FCanUnloadNow(); }
  HRESULT RegisterServer() const { return FRegisterServer(); }
  HRESULT UnregisterServer() const { return FUnregisterServer(); }

  // A new KqClient object (one reference held by the caller), or null with the reason in result.
  IKqClient* CreateKqClient(HRESULT* result = nullptr) const;

  struct LibraryTraits {
    using ValueType = void*;
    static ValueType Invalid() noexcept { return nullptr; }
    static void Close(void* module) noexcept;  // per platform
  };

 private:
  void* Symbol(const char* name) const;  // per platform; raises when missing

  UniqueResource<LibraryTraits> FModule;
  DllGetClassObjectProc FGetClassObject = nullptr;
  DllCanUnloadNowProc FCanUnloadNow = nullptr;
  DllRegisterServerProc FRegisterServer = nullptr;
  DllUnregisterServerProc FUnregisterServer = nullptr;
};

// COM initialised on the calling thread for the object's life (multithreaded apartment); nothing
// to do where there is no COM runtime.
class ComInitializer {
 public:
  ComInitializer();
  ~ComInitializer();
  ComInitializer(const ComInitializer&) = delete;
  ComInitializer& operator=(const ComInitializer&) = delete;

 private:
  bool FInitialized = false;
};

// Why the object's last method called on this thread returned KqFalse, through COM's error info
// (kqintf.h); empty when the object or the thread has none.
std::u16string KqErrorDescription(IUnknown* object);

// A KqClient object through its registration: CoCreateInstance on Windows (COM must be initialised
// on the calling thread); elsewhere the library that the store's InprocServer32 value names, the
// current user's classes first, loaded for the rest of the process. Null with the reason in result.
IKqClient* CreateRegisteredKqClient(HRESULT* result = nullptr);

}  // namespace kq

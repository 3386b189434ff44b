#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "guid_text.h"
#include "kq_error.h"
#include "kq_loader.h"
#include "kq_loader_platform.h"
#include "registry_store.h"
#include "text.h"

namespace kq {

const char* KqLibraryFileName() noexcept { return "libkqclient.so"; }

std::string KqLibraryBesideExecutable() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string text(path, n > 0 ? static_cast<std::size_t>(n) : 0);
  const std::size_t slash = text.find_last_of('/');
  text = slash == std::string::npos ? "" : text.substr(0, slash + 1);
  return text + KqLibraryFileName();
}

void KqLibrary::LibraryTraits::Close(void* module) noexcept { dlclose(module); }

KqLibrary::KqLibrary(const std::string& path) {
  FModule.Reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!FModule) {
    const char* reason = dlerror();
    throw EKqError(Utf8ToUtf16("Cannot load " + path + (reason ? ": " + std::string(reason) : "")));
  }
  FGetClassObject = reinterpret_cast<DllGetClassObjectProc>(Symbol("DllGetClassObject"));
  FCanUnloadNow = reinterpret_cast<DllCanUnloadNowProc>(Symbol("DllCanUnloadNow"));
  FRegisterServer = reinterpret_cast<DllRegisterServerProc>(Symbol("DllRegisterServer"));
  FUnregisterServer = reinterpret_cast<DllUnregisterServerProc>(Symbol("DllUnregisterServer"));
}

void* KqLibrary::Symbol(const char* name) const {
  void* proc = dlsym(FModule.Get(), name);
  if (!proc) throw EKqError(u"Missing entry point " + Utf8ToUtf16(name));
  return proc;
}

ComInitializer::ComInitializer() {}

ComInitializer::~ComInitializer() {}

IKqClient* CreateRegisteredKqClient(HRESULT* result) {
  const std::u16string key = u"CLSID\\" + GuidToString(CLSID_KqClient) + u"\\InprocServer32";
  auto path = ReadRegValue(RegRoot::CurrentUser, u"Software\\Classes\\" + key, u"");
  if (!path) path = ReadRegValue(RegRoot::ClassesRoot, key, u"");
  if (!path) {
    if (result) *result = CLASS_E_CLASSNOTAVAILABLE;
    return nullptr;
  }
  try {
    // Stays loaded, as COM keeps an in-process server until the process ends or frees it.
    static KqLibrary* library = new KqLibrary(Utf16ToUtf8(*path));
    return library->CreateKqClient(result);
  } catch (...) {
    if (result) *result = E_FAIL;
    return nullptr;
  }
}

std::u16string ThreadErrorDescription(IUnknown* object) {
  // The library that implements the object is the one whose vtable it points to.
  Dl_info info{};
  if (!dladdr(*reinterpret_cast<void**>(object), &info) || !info.dli_fname) return {};
  UniqueResource<KqLibrary::LibraryTraits> module(dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD));
  if (!module) return {};
  auto take = reinterpret_cast<KqGetErrorDescriptionProc>(dlsym(module.Get(), "KqGetErrorDescription"));
  WCHAR text[1024];
  if (!take || take(text, 1024) != S_OK) return {};
  return std::u16string(text);
}

}  // namespace kq

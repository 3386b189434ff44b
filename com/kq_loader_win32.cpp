#include "kq_error.h"
#include "kq_loader.h"
#include "kq_loader_platform.h"
#include "text.h"
#include "win32_handles.h"
// After <windows.h>, which it needs.
#include <oleauto.h>

namespace kq {

const char* KqLibraryFileName() noexcept { return "kqclient.dll"; }

std::string KqLibraryBesideExecutable() {
  wchar_t path[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::u16string text(reinterpret_cast<const char16_t*>(path), n < MAX_PATH * 4 ? n : 0);
  const std::size_t slash = text.find_last_of(u"\\/");
  text = slash == std::u16string::npos ? u"" : text.substr(0, slash + 1);
  return Utf16ToUtf8(text) + KqLibraryFileName();
}

void KqLibrary::LibraryTraits::Close(void* module) noexcept { FreeLibrary(static_cast<HMODULE>(module)); }

KqLibrary::KqLibrary(const std::string& path) {
  const std::u16string widePath = Utf8ToUtf16(path);
  HMODULE module = LoadLibraryW(AsWide(widePath));
  if (!module) {
    const DWORD error = GetLastError();  // before the message's allocations
    throw EKqError(u"Cannot load " + widePath, static_cast<int>(error));
  }
  FModule.Reset(module);
  FGetClassObject = reinterpret_cast<DllGetClassObjectProc>(Symbol("DllGetClassObject"));
  FCanUnloadNow = reinterpret_cast<DllCanUnloadNowProc>(Symbol("DllCanUnloadNow"));
  FRegisterServer = reinterpret_cast<DllRegisterServerProc>(Symbol("DllRegisterServer"));
  FUnregisterServer = reinterpret_cast<DllUnregisterServerProc>(Symbol("DllUnregisterServer"));
}

void* KqLibrary::Symbol(const char* name) const {
  void* proc = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(FModule.Get()), name));
  if (!proc) {
    const DWORD error = GetLastError();
    throw EKqError(u"Missing entry point " + Utf8ToUtf16(name), static_cast<int>(error));
  }
  return proc;
}

ComInitializer::ComInitializer() : FInitialized(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}

ComInitializer::~ComInitializer() {
  if (FInitialized) CoUninitialize();
}

IKqClient* CreateRegisteredKqClient(HRESULT* result) {
  IKqClient* client = nullptr;
  const HRESULT hr =
      CoCreateInstance(CLSID_KqClient, nullptr, CLSCTX_INPROC_SERVER, IID_IKqClient, reinterpret_cast<void**>(&client));
  if (result) *result = hr;
  return SUCCEEDED(hr) ? client : nullptr;
}

std::u16string ThreadErrorDescription(IUnknown*) {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return {};
  BSTR description = nullptr;
  std::u16string text;
  if (SUCCEEDED(info->GetDescription(&description)) && description)
    text = reinterpret_cast<const char16_t*>(description);
  SysFreeString(description);
  info->Release();
  return text;
}

}  // namespace kq

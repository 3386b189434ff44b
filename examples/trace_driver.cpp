// trace_driver: the smallest driver of one's own. It loads the kqclient library, creates a KqClient
// object through the library's class factory, attaches it as client 4711 and traces a few statements,
// which a running `kqmon watch` prints. A statement that no monitor takes is dropped, so the driver
// first gives a monitor time to attach: trace_driver [SECONDS] (default 2).
#include <kq/kqintf.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// An entry point of the library, which stays loaded for the rest of the process, as COM keeps an
// in-process server.
static void* EntryPoint(const char* library, const char* name) {
#ifdef _WIN32
  HMODULE module = LoadLibraryA(library);
  return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
#else
  void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  return module ? dlsym(module, name) : nullptr;
#endif
}

int main(int argc, char** argv) {
  const int waitSeconds = argc > 1 ? std::atoi(argv[1]) : 2;
  auto getClassObject = reinterpret_cast<DllGetClassObjectProc>(EntryPoint(KQ_CLIENT_LIBRARY, "DllGetClassObject"));
  if (!getClassObject) {
    std::fprintf(stderr, "trace_driver: cannot load %s\n", KQ_CLIENT_LIBRARY);
    return 1;
  }

  IClassFactory* factory = nullptr;
  IKqClient* client = nullptr;
  HRESULT hr = getClassObject(CLSID_KqClient, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(hr)) {
    hr = factory->CreateInstance(nullptr, IID_IKqClient, reinterpret_cast<void**>(&client));
    factory->Release();
  }
  if (FAILED(hr)) {
    std::fprintf(stderr, "trace_driver: no KqClient object (HRESULT 0x%08X)\n", static_cast<unsigned>(hr));
    return 1;
  }

  // No callback: this driver takes no values from the monitor.
  if (client->AttachClient(4711, KQ_TEXT("trace_driver"), nullptr, nullptr) != KqTrue) {
    std::fprintf(stderr, "trace_driver: client 4711 could not be attached (its ID may be taken)\n");
    client->Release();
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(waitSeconds));

  const WCHAR* const statements[] = {
      KQ_TEXT("SELECT id, name FROM customers WHERE city = 'Zürich'"),
      KQ_TEXT("UPDATE customers SET credit_limit = 5000 WHERE id = 42"),
      KQ_TEXT("COMMIT"),
  };
  int traced = 0;
  for (const WCHAR* text : statements) {
    const auto length = static_cast<int32_t>(std::char_traits<WCHAR>::length(text));
    if (client->SubmitStatement(text, length) == KqTrue) ++traced;
  }
  std::printf("trace_driver: %d of %d statements traced\n", traced, static_cast<int>(std::size(statements)));

  client->Release();  // the last reference: the client detaches from the monitor and leaves the directory
  return 0;
}

/* trace_driver_c: trace_driver.cpp in C. It loads the kqclient library, creates a KqClient object
   through the library's class factory, attaches it as client 4712 and traces a few statements, which a
   running `kqmon watch` prints. A statement that no monitor takes is dropped, so the driver first gives
   a monitor time to attach: trace_driver_c [SECONDS] (default 2). */
#include <kq/kqintf.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

/* An entry point of the library, which stays loaded for the rest of the process, as COM keeps an
   in-process server. */
static void* EntryPoint(const char* library, const char* name) {
#ifdef _WIN32
  HMODULE module = LoadLibraryA(library);
  return module ? (void*)GetProcAddress(module, name) : NULL;
#else
  void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  return module ? dlsym(module, name) : NULL;
#endif
}

static void Pause(int seconds) {
#ifdef _WIN32
  Sleep(1000 * seconds);
#else
  sleep(seconds);
#endif
}

static int32_t Length(const WCHAR* text) {
  int32_t n = 0;
  while (text[n]) ++n;
  return n;
}

int main(int argc, char** argv) {
  const int waitSeconds = argc > 1 ? atoi(argv[1]) : 2;
  DllGetClassObjectProc getClassObject = (DllGetClassObjectProc)EntryPoint(KQ_CLIENT_LIBRARY, "DllGetClassObject");
  if (!getClassObject) {
    fprintf(stderr, "trace_driver_c: cannot load %s\n", KQ_CLIENT_LIBRARY);
    return 1;
  }

  IClassFactory* factory = NULL;
  IKqClient* client = NULL;
  HRESULT hr = getClassObject(&CLSID_KqClient, &IID_IClassFactory, (void**)&factory);
  if (SUCCEEDED(hr)) {
    hr = factory->lpVtbl->CreateInstance(factory, NULL, &IID_IKqClient, (void**)&client);
    factory->lpVtbl->Release(factory);
  }
  if (FAILED(hr)) {
    fprintf(stderr, "trace_driver_c: no KqClient object (HRESULT 0x%08X)\n", (unsigned)hr);
    return 1;
  }

  /* No callback: this driver takes no values from the monitor. */
  if (client->lpVtbl->AttachClient(client, 4712, KQ_TEXT("trace_driver_c"), NULL, NULL) != KqTrue) {
    fprintf(stderr, "trace_driver_c: client 4712 could not be attached (its ID may be taken)\n");
    client->lpVtbl->Release(client);
    return 1;
  }
  Pause(waitSeconds);

  static const WCHAR* const statements[] = {
      KQ_TEXT("SELECT id, name FROM customers WHERE city = 'Zürich'"),
      KQ_TEXT("UPDATE customers SET credit_limit = 5000 WHERE id = 42"),
      KQ_TEXT("COMMIT"),
  };
  const int count = (int)(sizeof statements / sizeof statements[0]);
  int traced = 0;
  for (int i = 0; i < count; ++i) {
    if (client->lpVtbl->SubmitStatement(client, statements[i], Length(statements[i])) == KqTrue) ++traced;
  }
  printf("trace_driver_c: %d of %d statements traced\n", traced, count);

  /* The last reference: the client detaches from the monitor and leaves the directory. */
  client->lpVtbl->Release(client);
  return 0;
}

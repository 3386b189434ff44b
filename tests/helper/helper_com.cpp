// The driver side of the COM front end's cross-process cases: a process that loads the library as a
// registration tool or a database driver does, so that the library sees this process's command line.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "aggregating_outer.h"
#include "helper_roles.h"
#include "kq_loader.h"
#include "test_support.h"
#include "text.h"

namespace {

std::string LibraryPath(const std::string& arg) { return arg == "beside" ? kq::KqLibraryBesideExecutable() : arg; }

// com-register LIBRARY register|unregister [SWITCH...]: the switches only reach the library through
// this process's command line. Exit 0 when the entry point returned S_OK.
int Register(const std::vector<std::string>& args) {
  if (args.size() < 2) return 2;
  kq::KqLibrary library(LibraryPath(args[0]));
  const HRESULT result = args[1] == "register" ? library.RegisterServer() : library.UnregisterServer();
  if (result != S_OK) std::fprintf(stderr, "com-register: 0x%08x\n", static_cast<unsigned>(result));
  return result == S_OK ? 0 : 1;
}

struct DriverState {
  std::atomic<int> Calls{0};
  std::atomic<std::int32_t> LastData{0};
  std::atomic<bool> OtherThread{true};
  std::thread::id MainThread = std::this_thread::get_id();
};

void KQ_CALLBACK OnMonitorData(void* callbackData, void*, std::int32_t data) {
  auto* state = static_cast<DriverState*>(callbackData);
  if (std::this_thread::get_id() == state->MainThread) state->OtherThread = false;
  state->LastData = data;
  ++state->Calls;
}

// com-driver beside|registered ID NAME COUNT: attaches, waits for the monitor's data 5, submits COUNT
// statements "statement <i>" (each must be taken), then waits for data 6 and releases the object.
int Driver(const std::vector<std::string>& args) {
  if (args.size() < 4) return 2;
  kq::ComInitializer com;
  std::unique_ptr<kq::KqLibrary> library;
  IKqClient* client = nullptr;
  HRESULT result = E_FAIL;
  if (args[0] == "registered") {
    client = kq::CreateRegisteredKqClient(&result);
  } else {
    library = std::make_unique<kq::KqLibrary>(LibraryPath(args[0]));
    client = library->CreateKqClient(&result);
  }
  if (!client) {
    std::fprintf(stderr, "com-driver: no object, 0x%08x\n", static_cast<unsigned>(result));
    return 10;
  }
  DriverState state;
  const std::u16string name(args[2].begin(), args[2].end());
  int code = 0;
  if (client->AttachClient(std::stoi(args[1]), reinterpret_cast<const WCHAR*>(name.c_str()), &state, &OnMonitorData) !=
      KqTrue) {
    code = 11;
  } else if (!kqtest::WaitUntil([&] { return state.LastData == 5; }, 30000)) {
    code = 12;
  } else {
    for (int i = 0, n = std::stoi(args[3]); i < n && code == 0; ++i) {
      const std::u16string text = u"statement " + std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
      if (client->SubmitStatement(reinterpret_cast<const WCHAR*>(text.c_str()),
                                  static_cast<std::int32_t>(text.size())) != KqTrue)
        code = 13;
    }
    if (code == 0 && !kqtest::WaitUntil([&] { return state.LastData == 6; }, 30000)) code = 14;
    if (code == 0 && !state.OtherThread) code = 15;
  }
  client->Release();
  return code;
}

// com-aggregate LIBRARY: the library's object inside a pass-through outer object, as an aggregating
// driver makes it. Exit 0 when the aggregate lives exactly as long as its last interface and the
// library can be unloaded afterwards.
int Aggregate(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  kq::KqLibrary library(LibraryPath(args[0]));
  IClassFactory* factory = nullptr;
  if (library.GetClassObject(CLSID_KqClient, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) return 10;
  int code = 0;
  {
    kqtest::AggregatingOuter outer;
    IKqClient* client = nullptr;
    if (outer.Aggregate(factory) != S_OK) return 11;
    if (outer.QueryInterface(IID_IKqClient, reinterpret_cast<void**>(&client)) != S_OK) return 12;
    outer.Release();  // the creator's reference: the interface keeps the aggregate
    if (outer.Ended) return 13;
    const std::u16string text = u"select 1";
    if (client->SubmitStatement(reinterpret_cast<const WCHAR*>(text.c_str()), 8) != KqFalse) code = 14;
    client->Release();
    if (!outer.Ended) code = 15;
  }
  factory->LockServer(TRUE);
  factory->LockServer(FALSE);
  factory->Release();
  if (code == 0 && library.CanUnloadNow() != S_OK) code = 16;
  return code;
}

// com-attach LIBRARY ID EXPECTED: attaches a client under ID, which must fail with the description
// EXPECTED (UTF-8); exit 0 when it did. With EXPECTED "-" the attach must succeed, and the client is
// held until the process is killed.
int Attach(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  kq::ComInitializer com;
  kq::KqLibrary library(LibraryPath(args[0]));
  IKqClient* client = library.CreateKqClient();
  if (!client) return 10;
  const std::u16string name = u"attach " + kq::Utf8ToUtf16(args[1]);
  const bool attached = client->AttachClient(std::stoi(args[1]), reinterpret_cast<const WCHAR*>(name.c_str()), nullptr,
                                             nullptr) == KqTrue;
  if (args[2] == "-") {
    if (!attached) return 11;
    for (;;) kqtest::SleepForMs(1000);
  }
  const std::u16string reason = kq::KqErrorDescription(client);
  client->Release();
  if (attached) return 12;
  if (reason != kq::Utf8ToUtf16(args[2])) {
    std::fprintf(stderr, "com-attach: the reason given was \"%s\"\n", kq::Utf16ToUtf8(reason).c_str());
    return 13;
  }
  return 0;
}

kqtest::HelperRole RegisterRole("com-register", Register);
kqtest::HelperRole DriverRole("com-driver", Driver);
kqtest::HelperRole AggregateRole("com-aggregate", Aggregate);
kqtest::HelperRole AttachRole("com-attach", Attach);

}  // namespace

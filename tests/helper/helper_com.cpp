// The driver side of the COM front end's cross-process cases: a process that loads the library as a
// registration tool or a database driver does, so that the library sees this process's command line.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "helper_roles.h"
#include "kq_loader.h"
#include "test_support.h"

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

kqtest::HelperRole RegisterRole("com-register", Register);
kqtest::HelperRole DriverRole("com-driver", Driver);

}  // namespace

#include "trace_client.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "directory_liveness.h"
#include "kq_loader.h"
#include "kqintf.h"
#include "platform.h"
#include "real_driver.h"
#include "shared_mem.h"
#include "text.h"

namespace kqodbc {

namespace {

// Until monitors read a client's statements from the start, a live monitor needs a moment to attach a
// new client; the first statement waits that long for it, and only when one of ours is registered.
constexpr auto AttachWait = std::chrono::milliseconds(1500);
// At process end the monitor gets this long to read what the client last put into the buffer.
constexpr auto ExitGrace = std::chrono::milliseconds(300);

bool LiveMonitorRegistered() noexcept {
  try {
    const kq::DirectoryLiveness liveness;
    const std::int32_t monitor = liveness.RecordedMonitor();
    const std::optional<kq::LivenessHolder> holder = liveness.MonitorHolder(monitor);
    return monitor != 0 && holder && !kq::DirectoryLiveness::MonitorGone(monitor, *holder);
  } catch (...) {
    return false;
  }
}

std::string ClientLibraryPath() {
  const std::filesystem::path self(ThisModulePath());
  const std::filesystem::path beside = self.parent_path() / kq::KqLibraryFileName();
  std::error_code ignored;
  if (!self.empty() && std::filesystem::exists(beside, ignored)) return beside.string();
  return kq::KqLibraryFileName();
}

class Client {
 public:
  Client(const std::string& source) : FProcess(CurrentProcessID()) {
    try {
      FLibrary = std::make_unique<kq::KqLibrary>(ClientLibraryPath());
      FObject = FLibrary->CreateKqClient();
    } catch (...) {
      FObject = nullptr;
    }
    if (!FObject) return;
    std::string name = ProgramName();
    if (!source.empty()) name += " " + source;
    const std::u16string wide = kq::Utf8ToUtf16(name);
    if (FObject->AttachClient(FProcess, reinterpret_cast<const WCHAR*>(wide.c_str()), nullptr, nullptr) != KqTrue) {
      FObject->Release();
      FObject = nullptr;
      return;
    }
    void* extended = nullptr;
    if (SUCCEEDED(FObject->QueryInterface(IID_IKqClient2, &extended))) FExtended = static_cast<IKqClient2*>(extended);
    FWaitForMonitor = LiveMonitorRegistered();
  }

  ~Client() {
    if (!FObject) return;
    if (FTraced && LiveMonitorRegistered()) std::this_thread::sleep_for(ExitGrace);
    if (FExtended) FExtended->Release();
    FObject->Release();
  }

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  std::int32_t Process() const { return FProcess; }

  // A client made in the parent is the parent's: the child leaves it alone (its worker thread is not
  // in the child) and makes its own.
  void Abandon() {
    FObject = nullptr;
    FExtended = nullptr;
    (void)FLibrary.release();
  }

  void Submit(std::u16string_view text, const KqOutcome& outcome) {
    if (!FObject) return;
    const auto deadline = std::chrono::steady_clock::now() + AttachWait;
    for (;;) {
      if (SubmitOnce(text, outcome)) {
        FTraced = true;
        break;
      }
      if (!FWaitForMonitor || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FWaitForMonitor = false;
  }

 private:
  bool SubmitOnce(std::u16string_view text, const KqOutcome& outcome) {
    const auto* units = reinterpret_cast<const WCHAR*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    if (FExtended) return FExtended->SubmitStatementOutcome(units, length, &outcome) == KqTrue;
    return FObject->SubmitStatement(units, length) == KqTrue;
  }

  std::int32_t FProcess;
  std::unique_ptr<kq::KqLibrary> FLibrary;  // outlives the objects
  IKqClient* FObject = nullptr;
  IKqClient2* FExtended = nullptr;
  bool FWaitForMonitor = false;
  bool FTraced = false;
};

std::mutex Lock;
std::string Source;
std::unique_ptr<Client> Instance;

}  // namespace

void TraceClient::NoteSource(const std::string& source) {
  std::lock_guard guard(Lock);
  if (Source.empty()) Source = source;
}

void TraceClient::Submit(std::u16string_view text, const TraceOutcome& traced) {
  static_assert(TraceMessageMax == KqOutcomeMessageMax);
  KqOutcome outcome{};
  outcome.durationMicros = traced.DurationMicros;
  outcome.rows = traced.Rows;
  outcome.status = traced.Failed ? KqStatusError : KqStatusSuccess;
  outcome.nativeCode = traced.NativeCode;
  for (int i = 0; i < 5; ++i) outcome.sqlState[i] = static_cast<WCHAR>(traced.SqlState[i]);
  outcome.message = traced.Message.empty() ? nullptr : reinterpret_cast<const WCHAR*>(traced.Message.c_str());
  // The text must end in a NUL that the library reads.
  const std::u16string terminated(text);
  std::lock_guard guard(Lock);
  if (Instance && Instance->Process() != CurrentProcessID()) {
    Instance->Abandon();
    (void)Instance.release();
  }
  if (!Instance) Instance = std::make_unique<Client>(Source);
  Instance->Submit(std::u16string_view(terminated.c_str(), terminated.size()), outcome);
}

}  // namespace kqodbc

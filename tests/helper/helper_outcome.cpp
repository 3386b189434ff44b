// The driver side of the cross-process outcome case: a process that loads the library as a driver
// does and traces statements with their outcomes.
#include <cstdio>
#include <cstring>
#include <string>

#include "helper_roles.h"
#include "kq_loader.h"
#include "outcome_sample.h"
#include "test_support.h"

namespace {

// outcome-driver ID COUNT: attaches, keeps offering statement 0 until a monitor takes it, then
// sends statements 1 .. COUNT - 1 (each must be taken) and releases the object, which detaches.
int OutcomeDriver(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  kq::ComInitializer com;
  kq::KqLibrary library(kq::KqLibraryBesideExecutable());
  IKqClient* plain = library.CreateKqClient();
  if (!plain) return 10;
  IKqClient2* client = nullptr;
  const HRESULT asked = plain->QueryInterface(IID_IKqClient2, reinterpret_cast<void**>(&client));
  plain->Release();
  if (asked != S_OK || !client) return 11;
  const std::u16string name = u"outcome driver";
  int code = 0;
  auto submit = [&](std::int32_t i) {
    const kqtest::OutcomeSample s = kqtest::OutcomeFor(i);
    KqOutcome outcome{};
    outcome.durationMicros = s.DurationMicros;
    outcome.rows = s.Rows;
    outcome.status = s.Status;
    outcome.nativeCode = s.NativeCode;
    std::memcpy(outcome.sqlState, s.SqlState.c_str(), (s.SqlState.size() + 1) * 2);
    outcome.message = s.Message.empty() ? nullptr : reinterpret_cast<const WCHAR*>(s.Message.c_str());
    return client->SubmitStatementOutcome(reinterpret_cast<const WCHAR*>(s.Text.c_str()),
                                          static_cast<std::int32_t>(s.Text.size()), &outcome);
  };
  if (client->AttachClient(std::stoi(args[0]), reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, nullptr) !=
      KqTrue) {
    code = 12;
  } else if (!kqtest::WaitUntil([&] { return submit(0) == KqTrue; }, 30000)) {
    code = 13;
  } else {
    for (std::int32_t i = 1, n = std::stoi(args[1]); i < n && code == 0; ++i)
      if (submit(i) != KqTrue) code = 14;
  }
  client->Release();
  return code;
}

kqtest::HelperRole OutcomeDriverRole("outcome-driver", OutcomeDriver);

}  // namespace

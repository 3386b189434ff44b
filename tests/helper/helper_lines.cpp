// A driver for the tool tests: submits the lines of a file, so that a test chooses every text.
#include <fstream>
#include <string>

#include "helper_roles.h"
#include "ipc_client.h"
#include "platform.h"
#include "text.h"

namespace {

// line-driver ID NAME FILE REPEAT HOLD_MS: registers as NAME, waits (up to 30 s) for a monitor to
// attach, submits every line of FILE (UTF-8) REPEAT times over, stays HOLD_MS and leaves. Exit code 0
// when every statement was submitted while connected.
int LineDriver(const std::vector<std::string>& args) {
  if (args.size() != 5) return 2;
  std::vector<std::u16string> lines;
  std::ifstream in(args[2], std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(kq::Utf8ToUtf16(line));
  }
  kq::TIPCClient client(std::stoi(args[0]), kq::Utf8ToUtf16(args[1]));
  client.Activate();
  for (int waited = 0; client.State() != kq::stConnected && waited < 30000; waited += 5) kq::SleepMs(5);
  bool allTraced = true;
  for (int round = 0; round < std::stoi(args[3]); ++round) {
    for (const std::u16string& text : lines) {
      allTraced = allTraced && client.State() == kq::stConnected;
      client.AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
      client.SignalMonitor();
    }
  }
  kq::SleepMs(static_cast<std::uint32_t>(std::stoi(args[4])));
  return allTraced ? 0 : 1;
}

kqtest::HelperRole lineDriverRole("line-driver", &LineDriver);

}  // namespace

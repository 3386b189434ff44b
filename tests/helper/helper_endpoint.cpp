// Helper roles for the end-to-end cases: a driver with a real endpoint and a monitor.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "client_directory.h"
#include "helper_roles.h"
#include "ipc_client.h"
#include "monitor.h"
#include "platform.h"
#include "text.h"

namespace {

// driver ID COUNT PAUSE_MS HOLD_MS: registers, waits (up to 10 s) for a monitor to attach when COUNT
// is not 0, submits "stmt <i>" COUNT times with PAUSE_MS between, then stays HOLD_MS (-1: until
// killed) and leaves.
int Driver(const std::vector<std::string>& args) {
  if (args.size() != 4) return 2;
  const std::int32_t id = std::stoi(args[0]);
  const int count = std::stoi(args[1]);
  const int pauseMs = std::stoi(args[2]);
  const int holdMs = std::stoi(args[3]);
  kq::TIPCClient client(id, kq::Utf8ToUtf16("driver" + args[0]));
  client.Activate();
  for (int waited = 0; count > 0 && client.State() != kq::stConnected && waited < 10000; waited += 5) kq::SleepMs(5);
  int traced = 0;
  for (int i = 0; i < count; ++i) {
    std::u16string text = kq::Utf8ToUtf16("stmt " + std::to_string(i));
    traced += client.AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2)) ? 1 : 0;
    client.SignalMonitor();
    if (pauseMs > 0) kq::SleepMs(static_cast<std::uint32_t>(pauseMs));
  }
  std::printf("traced %d\n", traced);
  std::fflush(stdout);
  if (holdMs < 0)
    for (;;) kq::SleepMs(1000);
  kq::SleepMs(static_cast<std::uint32_t>(holdMs));
  return 0;
}

// monitor MONITOR_ID CLIENT_ID: attaches to the client and reads its records until killed.
int MonitorRole(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  kq::Monitor monitor(std::stoi(args[0]));
  const std::int32_t client = std::stoi(args[1]);
  for (int tries = 0; !monitor.Attach(client, 1000); ++tries)
    if (tries > 20) return 1;
  for (;;) {
    monitor.Poll(100);
    monitor.ReadNew();
  }
}

// monitor-idle MONITOR_ID: registers as the monitor and stays until killed.
int IdleMonitor(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  kq::Monitor monitor(std::stoi(args[0]));
  for (;;) kq::SleepMs(1000);
}

// monitor-plain MONITOR_ID BUFFER_SIZE: a monitor that knows only the shared layouts (no liveness
// object of ours): opens the directory, writes its ID and then the buffer size, and stays until killed.
int PlainMonitor(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  kq::TClientDirectory directory(kq::KqDirectoryCapacity);
  directory.SetMonitorID(std::stoi(args[0]));
  directory.SetIPCBufSize(std::stoi(args[1]));
  for (;;) kq::SleepMs(1000);
}

kqtest::HelperRole driverRole("driver", &Driver);
kqtest::HelperRole plainMonitorRole("monitor-plain", &PlainMonitor);
kqtest::HelperRole monitorRole("monitor", &MonitorRole);
kqtest::HelperRole idleMonitorRole("monitor-idle", &IdleMonitor);

}  // namespace

namespace {

// stamped-driver ID COUNT RATE: submits COUNT statements at RATE per second once attached, each
// starting with its CLOCK_MONOTONIC submission time in ns, so a monitor can measure the latency.
int StampedDriver(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  const std::int32_t id = std::stoi(args[0]);
  const int count = std::stoi(args[1]);
  const int rate = std::stoi(args[2]);
  kq::TIPCClient client(id, u"stamped");
  client.Activate();
  for (int waited = 0; client.State() != kq::stConnected && waited < 10000; waited += 5) kq::SleepMs(5);
  auto next = std::chrono::steady_clock::now();
  const auto period = std::chrono::nanoseconds(1000000000LL / rate);
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(next);
    next += period;
    auto stamp =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    std::u16string text = kq::Utf8ToUtf16(std::to_string(stamp) +
                                          " SELECT id, total FROM orders WHERE customer_id = 42 ORDER BY placed_at");
    client.AddData(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
    client.SignalMonitor();
  }
  kq::SleepMs(500);
  return 0;
}

kqtest::HelperRole stampedRole("stamped-driver", &StampedDriver);

}  // namespace

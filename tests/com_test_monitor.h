#pragma once

// A monitor played by hand for the COM front end's tests: registers in the directory with a buffer
// size, attaches to one client, talks on the three events and reads the client's records.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "client_directory.h"
#include "ipc_buffer.h"
#include "ipc_event.h"
#include "test_support.h"

namespace kqtest {

class TestMonitor {
 public:
  static constexpr std::int32_t MonitorID = 4242;
  static constexpr std::int32_t BufferSize = 64 * 1024;

  TestMonitor() {
    Directory.SetIPCBufSize(BufferSize);
    Directory.SetMonitorID(MonitorID);
  }

  // Waits for a signal of that kind from the client on "KqMonitorEvent"; returns its data.
  std::optional<std::int32_t> WaitForClient(std::int32_t clientID, kq::TEventKind kind, int timeoutMs = 10000) {
    const std::int64_t deadline = SteadyMs() + timeoutMs;
    while (SteadyMs() < deadline) {
      if (!MonitorEvent.Wait(100)) continue;
      if (MonitorEvent.ID() == clientID && MonitorEvent.Kind() == kind) return MonitorEvent.Data();
    }
    return std::nullopt;
  }

  // The attach handshake; true when the client answered with success. Opens the client's buffer.
  bool Attach(std::int32_t clientID) {
    ConnectEvent.SignalData(kq::evMonitorAttach, clientID, 0);
    const auto answer = WaitForClient(clientID, kq::evClientAttach);
    if (!answer || *answer != 1) return false;
    Buffer = std::make_unique<kq::TIPCBuffer>(BufferSize, 4);
    return true;
  }

  // Sends the client an integer on the event it waits on while connected.
  void SendData(std::int32_t clientID, std::int32_t data) {
    ClientEvent.SignalData(kq::evMonitorSignal, clientID, data);
  }

  // Leaves the directory, so that clients go without the detach handshake.
  void Leave() { Directory.SetMonitorID(0); }

  std::int32_t RecordCount() { return Buffer ? Buffer->Count() : 0; }

  // Payload size in bytes and text of the newest record.
  std::pair<std::int32_t, std::u16string> LastRecord() {
    const auto* base = static_cast<const unsigned char*>(Buffer->SharedMem().Buffer());
    const std::int32_t last = kqtest::RawHeader(*Buffer)->Last;
    std::int32_t size = 0;
    std::memcpy(&size, base + last + 8, 4);
    std::u16string text(static_cast<std::size_t>(size) / 2, u'\0');
    std::memcpy(text.data(), base + last + 20, text.size() * 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return {size, text};
  }

  kq::TClientDirectory Directory{kq::KqDirectoryCapacity};
  kq::TIPCEvent MonitorEvent{kq::KqMonitorEventName, false};
  kq::TIPCEvent ClientEvent{kq::KqClientEventName, false};
  kq::TIPCEvent ConnectEvent{kq::KqConnectEventName, true};
  std::unique_ptr<kq::TIPCBuffer> Buffer;
};

}  // namespace kqtest

// Writes fuzzed records (ID, kind, data) into the monitor event's shared record and sets the event,
// then drives the monitor's side of every handshake over it: waiting for news, attaching, detaching,
// reallocating and reading. Whatever the records say, nothing may overflow, touch memory outside a
// mapping, or wait past its time-out.
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ipc_event.h"
#include "kq_error.h"
#include "monitor.h"

namespace {

// Input: records of 10 bytes: the operation, the kind, the ID selector and the data (little-endian).
constexpr std::size_t RecordBytes = 10;
constexpr std::int32_t ClientID = 7;

struct Harness {
  kq::Monitor* Monitor = nullptr;
  kq::TIPCEvent* MonitorEvent = nullptr;

  Harness() {
    setenv("KQ_NAMESPACE", ("fuzzevent" + std::to_string(getpid())).c_str(), 1);
    Monitor = new kq::Monitor(4242);
    Monitor->SetBufferSize(8192);
    MonitorEvent = new kq::TIPCEvent(kq::KqMonitorEventName, false);
  }
  ~Harness() {
    delete MonitorEvent;
    delete Monitor;
  }
};

Harness& TheHarness() {
  static Harness harness;
  return harness;
}

std::int32_t PickID(std::uint8_t selector, std::int32_t data) {
  switch (selector % 5) {
    case 0:
      return ClientID;
    case 1:
      return 4242;
    case 2:
      return selector & 8 ? INT32_MAX : INT32_MIN;
    case 3:
      return -1;
    default:
      return data;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& h = TheHarness();
  kq::Monitor& monitor = *h.Monitor;
  for (std::size_t at = 0; at + RecordBytes <= size && at < 12 * RecordBytes; at += RecordBytes) {
    const std::uint8_t op = data[at];
    std::int32_t value;
    std::memcpy(&value, data + at + 3, 4);
    const std::int32_t id = PickID(data[at + 2], value);
    h.MonitorEvent->SetID(id);
    h.MonitorEvent->SetKind(static_cast<kq::TEventKind>(data[at + 1]));
    h.MonitorEvent->SetData(value);
    if (op & 0x80) h.MonitorEvent->Signal();
    try {
      switch (op % 6) {
        case 0:
        case 1:
          monitor.Poll(0);
          monitor.ReadNew();
          break;
        case 2:
          monitor.Attach(ClientID, 1);
          break;
        case 3:
          monitor.Detach(1);
          break;
        case 4:
          monitor.Reallocate(4096 << (data[at + 7] % 6), 1);
          break;
        default:
          monitor.SendSignal(id, value);
          monitor.TakeSpoolStop();
          break;
      }
    } catch (const kq::EKqError&) {
    }
  }
  if (monitor.Attached()) monitor.Detach(0);
  return 0;
}

// Fills the "KqClientDirectory" section with fuzzed bytes (header and entries), then drives what the
// clients and the monitor do with it: adding and removing entries, lookups, entry and name reads,
// alive marks, the monitor's ping and listing. Whatever the bytes, nothing may touch memory outside
// the mapping, overflow, or loop forever.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client_directory.h"
#include "kq_error.h"
#include "monitor.h"
#include "text.h"

namespace {

// Input: OpCount operation bytes, then the section's bytes from offset 0.
constexpr std::size_t OpCount = 16;

struct Harness {
  kq::TClientDirectory* Directory = nullptr;
  kq::Monitor* Monitor = nullptr;

  Harness() {
    setenv("KQ_NAMESPACE", ("fuzzdir" + std::to_string(getpid())).c_str(), 1);
    Directory = new kq::TClientDirectory(16);
    Monitor = new kq::Monitor(4242);
  }
  ~Harness() {
    delete Monitor;
    delete Directory;
  }
};

Harness& TheHarness() {
  static Harness harness;
  return harness;
}

void Touch(const std::u16string& text) {
  volatile char16_t sink = text.empty() ? 0 : text.back();
  (void)sink;
}

void RunOp(Harness& h, std::uint8_t op, std::int32_t value) {
  kq::TClientDirectory& d = *h.Directory;
  switch (op % 10) {
    case 0:
      d.AddClient(value, std::u16string(static_cast<std::size_t>(op >> 2), u'n'));
      break;
    case 1:
      d.RemoveClient(value);
      break;
    case 2:
      d.RemoveClient(d.Last());
      break;
    case 3:
      Touch(d.GetClientName(value));
      break;
    case 4:
      for (std::int32_t i = 0; i <= d.Count() + 1 && i < 40; ++i) {
        try {
          kq::TClientDirEntry entry = d.GetClientRec(i);
          Touch(kq::ReadFixedText(entry.Name, 58));
        } catch (const kq::EKqError&) {
        }
      }
      break;
    case 5:
      d.MarkAlive(value);
      d.ClearAlive(d.Last());
      break;
    case 6:
      h.Monitor->Ping(op & 1);
      break;
    case 7: {
      volatile std::int32_t sink = d.FindClient(value) ^ d.MonitorID() ^ d.IPCBufSize() ^ d.Version();
      (void)sink;
      break;
    }
    case 8:
      d.SetMonitorID(value);
      break;
    default:
      d.SetIPCBufSize(value);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& h = TheHarness();
  auto* section = static_cast<unsigned char*>(h.Directory->SharedMem().Buffer());
  const std::size_t mapped = h.Directory->SharedMem().MappedSize();
  if (size < OpCount) return -1;
  std::memset(section, 0, mapped);
  std::memcpy(section, data + OpCount, std::min(size - OpCount, mapped));
  for (std::size_t i = 0; i < OpCount; ++i) {
    // Values around the IDs that the section's own bytes hold, and the extremes.
    std::int32_t value = static_cast<std::int32_t>(data[i]) - 128;
    if (data[i] >= 0xF0) value = data[i] & 1 ? INT32_MAX : INT32_MIN;
    try {
      RunOp(h, data[i], value);
    } catch (const kq::EKqError&) {
    }
  }
  return 0;
}

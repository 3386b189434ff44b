// Fills the "KqBuffer" section with fuzzed bytes (header and records), then drives Add, Clear,
// reclaiming, every view and the monitor's reader over it. Whatever the bytes, nothing may touch memory outside the
// mapping or loop forever. Built with KQ_FUZZ_MAKE_SEEDS it instead writes a corpus of valid buffers.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "buffer_reader.h"
#include "ipc_buffer.h"
#include "kq_error.h"
#include "text.h"

namespace {

// Input: one flag byte, OpCount operation bytes, then the section's bytes from offset 0.
constexpr std::size_t OpCount = 16;
constexpr std::int32_t RecordArea = 3500;  // with the header just under one page

struct Harness {
  kq::TIPCBuffer* Buffer = nullptr;
  kq::BufferReader* Reader = nullptr;  // keeps its place from one input to the next, as a monitor would
  std::int32_t After = 0;
  std::vector<kq::TraceLineView> Views;
  std::u16string SpoolPath;
  std::u16string SavePath;
  std::string Dir;

  Harness() {
    Dir = "/tmp/kqfuzz-" + std::to_string(getpid());
    std::filesystem::create_directories(Dir);
    setenv("KQ_NAMESPACE", ("fuzz" + std::to_string(getpid())).c_str(), 1);
    Buffer = new kq::TIPCBuffer(RecordArea, 4);
    Reader = new kq::BufferReader(*Buffer);
    SpoolPath = kq::Utf8ToUtf16(Dir + "/spool.txt");
    SavePath = kq::Utf8ToUtf16(Dir + "/saved.txt");
  }
  ~Harness() {
    delete Reader;
    delete Buffer;
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
    std::filesystem::remove("/dev/shm/kq-" + std::to_string(getuid()) + "-fuzz" + std::to_string(getpid()), ignored);
  }
};

Harness& TheHarness() {
  static Harness harness;
  return harness;
}

void AddText(kq::TIPCBuffer& buffer, std::size_t units, char16_t fill) {
  std::u16string text(units, fill);
  if (units > 3) text[units / 2] = 0xD800;  // a lone surrogate on the way
  buffer.Add(text.c_str(), static_cast<std::int32_t>((units + 1) * 2));
}

void Touch(const std::u16string& text) {
  volatile char16_t sink = text.empty() ? 0 : text.back();
  (void)sink;
}

[[maybe_unused]] void RunOp(Harness& h, std::uint8_t op) {
  kq::TIPCBuffer& b = *h.Buffer;
  const std::uint8_t arg = op >> 4;
  const std::int32_t count = b.Count();
  // Indices near both ends and just outside them.
  // Count comes from the fuzzed header: work it out wider, then clamp into the index type.
  const std::int64_t wide = (arg & 8) ? std::int64_t{count} - 1 - (arg & 7) : std::int64_t{arg & 7} - 1;
  const auto index = static_cast<std::int32_t>(std::clamp<std::int64_t>(wide, INT32_MIN, INT32_MAX));
  switch (op & 15) {
    case 0:
      AddText(b, arg * 13u, u'a');
      break;
    case 1:
      AddText(b, arg * 97u, u'b');
      break;
    case 2:
      b.Add(nullptr, 0);
      break;
    case 3:
      b.Clear(arg & 1);
      break;
    case 4: {
      const auto* payload = static_cast<const unsigned char*>(b.Data(index));
      kq::TTraceRecord head;
      std::memcpy(&head, payload - sizeof head, sizeof head);
      unsigned sum = 0;
      for (std::int32_t i = 0; i < head.Size; ++i) sum += payload[i];
      volatile unsigned sink = sum;
      (void)sink;
      break;
    }
    case 5:
      Touch(b.LineData(index));
      break;
    case 6:
      Touch(b.ColItem(index, static_cast<std::int32_t>(arg % 4) - 1));
      break;
    case 7: {
      volatile double t = b.TimeStamp(index) + b.RefNo(index);
      (void)t;
      break;
    }
    case 8:
      b.SaveToFile(h.SavePath);
      break;
    case 9:
      b.MarkBaseTime();
      break;
    case 10:
      for (std::int32_t i = 0; i < count && i < 300; ++i) Touch(b.LineData(i));
      break;
    case 11:
      b.SetUseRefNo(arg & 1);
      b.SetUseTime(arg & 2);
      break;
    case 12: {
      // Statements, every other one with an outcome: after the first, each takes the writer's path
      // for a header it wrote itself.
      kq::TOutcomeTail tail;
      tail.DurationMicros = arg;
      tail.MessageUnits = static_cast<std::uint16_t>(arg * 3);
      const std::u16string message(tail.MessageUnits, u'm');
      tail.Message = message.c_str();
      for (int i = 0; i < 8 + arg * 4; ++i) {
        const std::u16string text(static_cast<std::size_t>(20 + i % 30 + (arg & 1) * 900), u'c');
        b.AddStatement(text.c_str(), static_cast<std::int32_t>(text.size()), (i & 1) ? &tail : nullptr);
      }
      break;
    }
    case 13:
      for (std::int64_t i = std::int64_t{count} - 1; i >= 0 && i > std::int64_t{count} - 300; --i)
        Touch(b.ColItem(static_cast<std::int32_t>(i), 2));
      break;
    case 14: {
      Touch(b.SpoolFile());
      h.After = h.Reader->ReadNewerViews((arg & 1) ? h.After : static_cast<std::int32_t>(arg) * 7, h.Views);
      std::size_t sum = 0;
      for (const kq::TraceLineView& v : h.Views) sum += v.Text.empty() ? 0 : v.Text.back() + v.Text.size();
      volatile std::size_t sink = sum;
      (void)sink;
      break;
    }
    default:
      AddText(b, 5000, u'd');
      break;
  }
}

}  // namespace

#ifndef KQ_FUZZ_MAKE_SEEDS

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& h = TheHarness();
  kq::TIPCBuffer& b = *h.Buffer;
  auto* section = static_cast<unsigned char*>(b.SharedMem().Buffer());
  const std::size_t mapped = b.SharedMem().MappedSize();
  if (size < 1 + OpCount) return -1;
  std::memset(section, 0, mapped);
  std::memcpy(section, data + 1 + OpCount, std::min(size - 1 - OpCount, mapped));
  // The path comes from the harness, never from the input: fuzzed bytes must not name files.
  b.SetSpoolFile((data[0] & 1) ? std::u16string_view(h.SpoolPath) : std::u16string_view());
  if (data[0] & 2) std::filesystem::remove(kq::Utf16ToUtf8(h.SpoolPath));
  for (std::size_t i = 0; i < OpCount; ++i) {
    try {
      RunOp(h, data[1 + i]);
    } catch (const kq::EKqError&) {
    } catch (const kq::ESilentAbort&) {
    }
  }
  return 0;
}

#else

// Valid buffers in a variety of states: fresh, on the first lap, after laps, with cut statements.
int main(int argc, char** argv) {
  const std::string out = argc > 1 ? argv[1] : "seeds";
  std::filesystem::create_directories(out);
  Harness& h = TheHarness();
  kq::TIPCBuffer& b = *h.Buffer;
  const std::uint8_t ops[][OpCount] = {
      {0x10, 0x45, 0x86, 0x27, 0x08, 0x0A, 0x1B, 0x3B, 0x0A, 0x0D, 0x0C, 0x03, 0x13, 0x00, 0x05, 0x0E},
      {0x0C, 0xF5, 0x95, 0x84, 0x06, 0x36, 0x0F, 0x01, 0x11, 0xF1, 0x0A, 0x0D, 0x08, 0x09, 0xC7, 0x0C},
      {0x05, 0x15, 0x25, 0x35, 0x45, 0x55, 0x65, 0x75, 0x85, 0x95, 0xA5, 0xB5, 0xC5, 0xD5, 0xE5, 0xF5},
  };
  for (int state = 0; state < 12; ++state) {
    b.Clear(false);
    for (int i = 0; i < state * state * 3; ++i) AddText(b, static_cast<std::size_t>((i * 37) % 180), u'a' + state);
    b.SetUseRefNo(state & 1);
    b.SetUseTime(state & 2);
    for (std::size_t k = 0; k < std::size(ops); ++k) {
      std::ofstream file(out + "/seed-" + std::to_string(state) + "-" + std::to_string(k), std::ios::binary);
      const char flags = static_cast<char>(state % 4);
      file.write(&flags, 1);
      file.write(reinterpret_cast<const char*>(ops[k]), OpCount);
      file.write(static_cast<const char*>(b.SharedMem().Buffer()), static_cast<std::streamsize>(b.SharedMem().Size()));
    }
  }
  return 0;
}

#endif

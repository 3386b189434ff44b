// The monitor's reader: records copied out of the ring a run at a time and checked once.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "buffer_reader.h"
#include "ipc_buffer.h"

namespace {

struct ReaderNamespace {
  std::string FName = "bench-reader-" + std::to_string(::getpid());
  ReaderNamespace() { setenv("KQ_NAMESPACE", FName.c_str(), 1); }
  ~ReaderNamespace() {
    unsetenv("KQ_NAMESPACE");
    ::rmdir(("/dev/shm/kq-" + std::to_string(::getuid()) + "-" + FName).c_str());
  }
};

// A 512 KB ring filled with 200-byte statements, read from the start by a fresh reader each time:
// the pace at which a monitor that fell behind catches up.
void ReaderCatchesUpWithAFullRing(benchmark::State& state) {
  ReaderNamespace ns;
  kq::TIPCBuffer buffer(512 * 1024, kq::KqBufferBlocks);
  const std::u16string text(99, u'x');
  for (int i = 0; i < 1900; ++i) buffer.Add(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
  std::vector<kq::TraceLineView> views;
  std::int64_t records = 0;
  for (auto _ : state) {
    kq::BufferReader reader(buffer);
    std::int32_t after = 0;
    while ((after = reader.ReadNewerViews(after, views)), !views.empty())
      records += static_cast<std::int64_t>(views.size());
  }
  state.SetItemsProcessed(records);
}
BENCHMARK(ReaderCatchesUpWithAFullRing);

// Reading as the writer writes: 50 records added, then read.
void ReaderKeepsUpFiftyAtATime(benchmark::State& state) {
  ReaderNamespace ns;
  kq::TIPCBuffer buffer(512 * 1024, kq::KqBufferBlocks);
  kq::BufferReader reader(buffer);
  const std::u16string text(99, u'x');
  std::vector<kq::TraceLineView> views;
  std::int32_t after = 0;
  std::int64_t records = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 50; ++i) buffer.Add(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
    state.ResumeTiming();
    after = reader.ReadNewerViews(after, views);
    records += static_cast<std::int64_t>(views.size());
  }
  state.SetItemsProcessed(records);
}
BENCHMARK(ReaderKeepsUpFiftyAtATime);

}  // namespace

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ipc_buffer.h"

namespace {

// Every benchmark runs in a namespace of its own, so it never meets a real monitor's buffer.
struct BenchNamespace {
  std::string FName = "bench" + std::to_string(::getpid());
  BenchNamespace() { setenv("KQ_NAMESPACE", FName.c_str(), 1); }
  ~BenchNamespace() {
    unsetenv("KQ_NAMESPACE");
    ::rmdir(("/dev/shm/kq-" + std::to_string(::getuid()) + "-" + FName).c_str());
  }
};

// 99 characters and the NUL: a 200-byte payload.
std::u16string Statement() { return std::u16string(99, u'x'); }

// Blocks so large that a run of adds never reaches the next one: the plain path of Add.
void AddWithinBlock(benchmark::State& state) {
  BenchNamespace ns;
  kq::TIPCBuffer buffer(64 * 1024 * 1024, 4);
  std::u16string text = Statement();
  const auto bytes = static_cast<std::int32_t>((text.size() + 1) * 2);
  std::int64_t added = 0;
  for (auto _ : state) {
    buffer.Add(text.c_str(), bytes);
    if (++added % 100000 == 0) {
      state.PauseTiming();
      buffer.Clear(false);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(AddWithinBlock);

// A small ring that laps all the time: every 20th add or so takes in a block and evicts.
void AddCrossingBlocks(benchmark::State& state) {
  BenchNamespace ns;
  kq::TIPCBuffer buffer(4 * 4400, 4);
  std::u16string text = Statement();
  const auto bytes = static_cast<std::int32_t>((text.size() + 1) * 2);
  for (auto _ : state) buffer.Add(text.c_str(), bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(AddCrossingBlocks);

// The monitor's usual ring: 512 KB, lapping, every record evicted once after a lap.
void AddLappingA512KBRing(benchmark::State& state) {
  BenchNamespace ns;
  kq::TIPCBuffer buffer(512 * 1024, 4);
  std::u16string text = Statement();
  const auto bytes = static_cast<std::int32_t>((text.size() + 1) * 2);
  for (auto _ : state) buffer.Add(text.c_str(), bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(AddLappingA512KBRing);

void FillForReading(kq::TIPCBuffer& buffer, int records) {
  std::u16string text = Statement();
  for (int i = 0; i < records; ++i) buffer.Add(text.c_str(), static_cast<std::int32_t>((text.size() + 1) * 2));
}

// The monitor's way: every record in order, one cursor step each.
void ReadInOrderLineData(benchmark::State& state) {
  BenchNamespace ns;
  kq::TIPCBuffer buffer(4 * 1024 * 1024, 4);
  FillForReading(buffer, 10000);
  buffer.SetUseRefNo(true);
  buffer.SetUseTime(true);
  for (auto _ : state) {
    const std::int32_t count = buffer.Count();
    for (std::int32_t i = 0; i < count; ++i) benchmark::DoNotOptimize(buffer.LineData(i));
  }
  state.SetItemsProcessed(state.iterations() * buffer.Count());
}
BENCHMARK(ReadInOrderLineData);

void ReadInOrderData(benchmark::State& state) {
  BenchNamespace ns;
  kq::TIPCBuffer buffer(4 * 1024 * 1024, 4);
  FillForReading(buffer, 10000);
  for (auto _ : state) {
    const std::int32_t count = buffer.Count();
    for (std::int32_t i = 0; i < count; ++i) benchmark::DoNotOptimize(buffer.Data(i));
  }
  state.SetItemsProcessed(state.iterations() * buffer.Count());
}
BENCHMARK(ReadInOrderData);

}  // namespace

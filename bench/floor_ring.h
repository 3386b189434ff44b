#pragma once

// The floor model: the least a shared-memory trace channel can do for the same work. A ring of fixed
// slots in memory shared by the producer and one consumer process; the producer never waits (the
// oldest slots are overwritten), stamps each statement with the coarse clock, publishes it and wakes
// the consumer (a futex; on Windows the same wait on the word's address) only when the consumer has said
// it sleeps. The consumer copies a batch, checks it against the head once, formats each statement as a
// line (number, time of day, text) into one buffer and writes it with one call.
#ifdef _WIN32
#include <windows.h>
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "bench_workload.h"

namespace kqbench {

struct FloorSlot {
  std::uint32_t Seq;
  std::uint32_t Ticks;
  std::uint32_t Bytes;
  char16_t Text[Statement::Units + 1];
};

struct FloorShared {
  alignas(64) std::atomic<std::uint32_t> Head;  // the next sequence number; also the futex word
  alignas(64) std::atomic<std::uint32_t> Waiting;
  std::atomic<std::uint32_t> Done;
  std::uint32_t SlotCount;
};

inline std::size_t FloorBytes(std::uint32_t slots) { return sizeof(FloorShared) + sizeof(FloorSlot) * slots; }

inline FloorSlot* FloorSlots(FloorShared* shared) { return reinterpret_cast<FloorSlot*>(shared + 1); }

inline std::uint32_t CoarseTicks() noexcept {
#ifdef _WIN32
  return GetTickCount();
#else
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
#endif
}

inline void FloorWake(std::atomic<std::uint32_t>& word) noexcept {
#ifdef _WIN32
  WakeByAddressSingle(&word);
#else
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
#endif
}

inline void FloorWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, long timeoutNs) noexcept {
#ifdef _WIN32
  WaitOnAddress(&word, &expected, sizeof expected, static_cast<DWORD>(timeoutNs / 1000000));
#else
  timespec relative{0, timeoutNs};
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT, expected, &relative, nullptr, 0);
#endif
}

class FloorProducer {
 public:
  explicit FloorProducer(FloorShared& shared) noexcept : F(shared), FSlots(FloorSlots(&shared)) {}

  // Out of line, so that an instruction count can pick it out.
  [[gnu::noinline]] bool Submit(const char16_t* text, std::int32_t units) noexcept {
    FloorSlot& slot = FSlots[FHead % F.SlotCount];
    const std::uint32_t bytes = static_cast<std::uint32_t>(units + 1) * 2;
    slot.Seq = FHead;
    slot.Ticks = CoarseTicks();
    slot.Bytes = bytes;
    std::memcpy(slot.Text, text, bytes);
    // The sequentially consistent store is the full barrier between publishing and the look at
    // Waiting, without which a consumer going to sleep could be missed.
    F.Head.store(++FHead, std::memory_order_seq_cst);
    if (F.Waiting.load(std::memory_order_relaxed) != 0 && F.Waiting.exchange(0) != 0) FloorWake(F.Head);
    return true;
  }

  void Finish() noexcept {
    F.Done.store(1, std::memory_order_seq_cst);
    F.Waiting.store(0);
    FloorWake(F.Head);
  }

 private:
  FloorShared& F;
  FloorSlot* FSlots;
  std::uint32_t FHead = 0;
};

class FloorConsumer {
 public:
  static constexpr std::uint32_t BatchMax = 256;

  FloorConsumer(FloorShared& shared, std::chrono::microseconds watch)
      : F(shared), FSlots(FloorSlots(&shared)), FWatch(watch) {
    FCopy.resize(BatchMax);
    FOut.resize(BatchMax * 256);
  }

  // Drains until the producer is done and everything is read; `write(data, bytes)` takes each batch.
  template <class Write>
  void Run(Write write) {
    Drain([&](std::uint32_t head) { write(FOut.data(), Batch(head)); });
  }

  // The same loop with the batch left to `take(head)`: Take alone is the reading a monitor must do.
  template <class TakeBatch>
  void Drain(TakeBatch take) {
    for (;;) {
      std::uint32_t head = F.Head.load(std::memory_order_acquire);
      if (head == FNext) {
        if (F.Done.load(std::memory_order_acquire) != 0 && F.Head.load() == FNext) return;
        if (Watch()) continue;
        F.Waiting.store(1, std::memory_order_seq_cst);
        if (F.Head.load(std::memory_order_seq_cst) == FNext && F.Done.load() == 0) FloorWait(F.Head, FNext, 100000000);
        F.Waiting.store(0, std::memory_order_relaxed);
        continue;
      }
      take(head);
    }
  }

  // Copies and formats the batch from FNext below `head`; the number of bytes formatted.
  std::size_t Batch(std::uint32_t head) noexcept {
    const std::uint32_t first = FNext;
    const std::uint32_t count = Take(head);
    char* out = FOut.data();
    for (std::uint32_t i = 0; i < count; ++i)
      if (FValid[i])
        out = FormatLine(out, first + i + 1, FCopy[i].Ticks / 1000,
                         std::u16string_view(FCopy[i].Text, FCopy[i].Bytes / 2 - 1));
    return static_cast<std::size_t>(out - FOut.data());
  }

  // The reading half of a batch: copies the slots from FNext below `head` and checks them against
  // the head once; returns how many it took (FValid tells which survived). Out of line, so that an
  // instruction count can pick it out.
  [[gnu::noinline]] std::uint32_t Take(std::uint32_t head) noexcept {
    const std::uint32_t slots = F.SlotCount;
    if (head - FNext > slots) {
      Lost += head - FNext - slots;
      FNext = head - slots;
    }
    const std::uint32_t count = std::min<std::uint32_t>(head - FNext, BatchMax);
    for (std::uint32_t i = 0; i < count; ++i) std::memcpy(&FCopy[i], &FSlots[(FNext + i) % slots], sizeof(FloorSlot));
    std::atomic_thread_fence(std::memory_order_acquire);
    const std::uint32_t after = F.Head.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t seq = FNext + i;
      const FloorSlot& slot = FCopy[i];
      // Overwritten while copied: the producer was writing the slot for seq + slots.
      FValid[i] = after - seq < slots && slot.Seq == seq && slot.Bytes <= sizeof slot.Text;
      if (!FValid[i]) ++Lost;
    }
    FNext += count;
    return count;
  }

  std::uint64_t Lost = 0;

 private:
  bool Watch() noexcept {
    if (FWatch.count() == 0) return false;
    const auto end = std::chrono::steady_clock::now() + FWatch;
    for (int i = 1;; ++i) {
      if (F.Head.load(std::memory_order_acquire) != FNext) return true;
      if (i % 32 == 0 && std::chrono::steady_clock::now() >= end) return false;
#if defined(__i386__) || defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    }
  }

  FloorShared& F;
  FloorSlot* FSlots;
  std::chrono::microseconds FWatch;
  std::uint32_t FNext = 0;
  std::vector<FloorSlot> FCopy;
  bool FValid[BatchMax] = {};
  std::vector<char> FOut;
};

}  // namespace kqbench

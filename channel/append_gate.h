#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace kq {

// Keeps the endpoint's appends apart from each other and from the worker's replacement of the trace
// buffer, for one uncontended atomic read-modify-write per append (the statement path takes no mutex
// and makes no system call). One word: free, or held by one side. Every holder keeps it for a short,
// bounded stretch: no wait for the monitor, no callback, no unmapping or closing (move an old buffer
// out and free it after leaving); the longest is an append that spools evicted records. So whoever
// finds it held spins a little, then yields until it is free.
class AppendGate {
 public:
  class Hold {
   public:
    explicit Hold(AppendGate& gate) noexcept : FGate(&gate) { gate.Enter(); }
    ~Hold() { FGate->Leave(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    AppendGate* FGate;
  };

  void Enter() noexcept {
    std::uint32_t expected = 0;
    if (FWord.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    EnterContended();
  }

  void Leave() noexcept { FWord.store(0, std::memory_order_release); }

 private:
  void EnterContended() noexcept {
    for (int spins = 0;; ++spins) {
      // Read before trying again, so that a waiter does not keep stealing the holder's cache line.
      if (FWord.load(std::memory_order_relaxed) == 0) {
        std::uint32_t expected = 0;
        if (FWord.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
      }
      if (spins < 64)
        CpuRelax();
      else
        std::this_thread::yield();
    }
  }

  static void CpuRelax() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
  }

  std::atomic<std::uint32_t> FWord{0};
};

}  // namespace kq

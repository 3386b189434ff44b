#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <ctime>

namespace kq {

// Shared (never FUTEX_PRIVATE) futex calls: the words live in files mapped by several processes.
inline void FutexWait(std::uint32_t* word, std::uint32_t expected, const timespec* relative) noexcept {
  syscall(SYS_futex, word, FUTEX_WAIT, expected, relative, nullptr, 0);
}

inline void FutexWake(std::uint32_t* word, int count) noexcept {
  syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

inline std::int64_t MonotonicNs() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace kq

#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace kq {

// The machine's 32-bit millisecond counter since start. Every process reads the same one, since one
// process stamps the time base and another the records.
#if defined(_WIN32)
std::uint32_t TickCount() noexcept;
#else
// Inline: every record is stamped with it.
inline std::uint32_t TickCount() noexcept {
  // The coarse clock is read from the vDSO without touching the time source (a few ns, against
  // tens for the precise clocks) and is machine-wide; its resolution, a timer tick of 1 to 4 ms, is
  // finer than GetTickCount's 10 to 16 ms.
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}
#endif

// Local date and time as days since 1899-12-30 00:00, the time of day as the fraction.
double NowDateTime() noexcept;

// The calling thread's last platform error code (GetLastError, errno).
int LastErrorCode() noexcept;

// The platform's code for an invalid parameter (ERROR_INVALID_PARAMETER, EINVAL).
int InvalidParameterCode() noexcept;

void SleepMs(std::uint32_t ms) noexcept;

// The namespace of KQ_NAMESPACE, empty when unset; tests use it to keep their objects apart.
std::u16string ObjectNamespace();

}  // namespace kq

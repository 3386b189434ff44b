#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kq {

// The machine's 32-bit millisecond counter since start. Every process reads the same one, since one
// process stamps the time base and another the records.
std::uint32_t TickCount() noexcept;

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

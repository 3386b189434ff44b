#include <windows.h>

#include "platform.h"

namespace kq {

std::uint32_t TickCount() noexcept { return GetTickCount(); }

double NowDateTime() noexcept {
  SYSTEMTIME st;
  GetLocalTime(&st);
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  // FILETIME counts 100 ns units since 1601-01-01, which is 109205 days before 1899-12-30.
  return static_cast<double>(t.QuadPart) / 864000000000.0 - 109205.0;
}

int LastErrorCode() noexcept { return static_cast<int>(GetLastError()); }

int InvalidParameterCode() noexcept { return ERROR_INVALID_PARAMETER; }

void SleepMs(std::uint32_t ms) noexcept { Sleep(ms); }

}  // namespace kq

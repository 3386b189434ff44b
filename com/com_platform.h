#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "com_abi.h"

namespace kq {

// The arguments of the process that loaded the library, without the program itself (Windows: its
// command line, split as the C runtime does; Linux: /proc/self/cmdline).
std::vector<std::u16string> HostArguments();

// The library's own file in the form registration writes: every component in its long form, and on
// Windows the short form when the path holds a space (an unquoted InprocServer32 path must not).
std::u16string ModuleFileName();

// The factory's error report: a message box on Windows, a line on standard error elsewhere.
void ShowErrorBox(std::u16string_view text, std::u16string_view caption) noexcept;

// COM runtime calls that have nothing to do where there is no COM runtime.
HRESULT LockObjectExternal(IUnknown* object, bool lock) noexcept;
void DisconnectObject(IUnknown* object) noexcept;

// Leaves description where the caller of a failed interface method can ask for it (SetErrorInfo on
// Windows; on POSIX the calling thread's record that KqGetErrorDescription hands out). Clearing it is
// what a method that succeeds does, so that nobody reads an older failure's reason.
void SetComErrorInfo(std::u16string_view description, REFIID iid) noexcept;
void ClearComErrorInfo() noexcept;

}  // namespace kq

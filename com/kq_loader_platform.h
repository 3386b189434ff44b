#pragma once

#include <string>

#include "com_abi.h"

namespace kq {

// The description of the error info that the library left on the calling thread, taken: GetErrorInfo
// on Windows; elsewhere the KqGetErrorDescription export of the library that implements `object`.
std::u16string ThreadErrorDescription(IUnknown* object);

}  // namespace kq

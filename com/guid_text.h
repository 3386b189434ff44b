#pragma once

#include <string>

#include "com_abi.h"

namespace kq {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, as StringFromCLSID writes it.
std::u16string GuidToString(REFGUID guid);

}  // namespace kq

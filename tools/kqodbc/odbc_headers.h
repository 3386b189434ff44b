#pragma once

// The proxy spells every entry point itself, A and W; Windows headers would otherwise rename the A
// forms to the W ones.
#undef UNICODE
#undef _UNICODE

// The ODBC headers of the platform: unixODBC's on Linux, MinGW's on Windows (which need windows.h).
#ifdef _WIN32
#include <windows.h>
#endif
#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#pragma once

// ODBC's headers, the one place outside src/os that includes system headers:
// on Windows they use windows.h's types (SQLLEN rests on INT_PTR, the
// installer API on HWND and LPCSTR) without including it.
#ifdef _WIN32
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>

// After sql.h, whose types it uses.
#include <odbcinst.h>

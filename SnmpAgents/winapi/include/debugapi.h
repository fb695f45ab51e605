// Debugger output goes to stderr, or, when WINAPI_DEBUG_OUTPUT names a file (a Windows or
// a host path), is appended to that file in UTF-8, one write per call so that lines of
// several threads stay whole.
#pragma once
#include "windef.h"

WINAPI_BEGIN_DECLS
WINBASEAPI void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);
WINBASEAPI void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
WINBASEAPI BOOL WINAPI IsDebuggerPresent(void);
WINAPI_END_DECLS

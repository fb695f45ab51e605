// Per-thread last error.
#pragma once
#include "windef.h"

WINAPI_BEGIN_DECLS
WINBASEAPI DWORD WINAPI GetLastError(void);
WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode);
WINAPI_END_DECLS

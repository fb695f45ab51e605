// COM base functions (ole32): apartment initialisation for now.
#pragma once
#include "windef.h"
#include "winerror.h"

#ifndef WINOLEAPI
#define WINOLEAPI WINOLEAPI_EXPORT HRESULT STDAPICALLTYPE
#define WINOLEAPI_(type) WINOLEAPI_EXPORT type STDAPICALLTYPE
#endif

typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

WINAPI_BEGIN_DECLS
// Per thread: S_OK the first time, S_FALSE again in the same model (one more
// CoUninitialize owed), RPC_E_CHANGED_MODE for the other model (nothing owed).
WINOLEAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINOLEAPI CoInitialize(LPVOID pvReserved);
WINOLEAPI_(void) CoUninitialize(void);
WINAPI_END_DECLS

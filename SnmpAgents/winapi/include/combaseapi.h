// COM base functions (ole32): apartments, security, creation, class registration,
// call cancellation.
#pragma once
#include "windef.h"
#include "winerror.h"
#include "objidl.h"

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

// Once per process; later calls get RPC_E_TOO_LATE. Local sockets carry no
// authentication, so the levels are recorded only.
WINOLEAPI CoInitializeSecurity(PVOID pSecDesc, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE* asAuthSvc,
                               void* pReserved1, DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                               DWORD dwCapabilities, void* pReserved3);

// A local server's class is reached through the socket named by the value "Socket" of
// HKLM\SOFTWARE\Classes\CLSID\{clsid}\LocalServer32 (see winapi/ole32/README.md).
WINOLEAPI CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx, COSERVERINFO* pServerInfo,
                             DWORD dwCount, MULTI_QI* pResults);
WINOLEAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
WINOLEAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                                LPDWORD lpdwRegister);
WINOLEAPI CoRevokeClassObject(DWORD dwRegister);

WINOLEAPI CoEnableCallCancellation(LPVOID pReserved);
WINOLEAPI CoDisableCallCancellation(LPVOID pReserved);
WINOLEAPI CoCancelCall(DWORD dwThreadId, ULONG ulTimeout);

WINOLEAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
WINOLEAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
WINAPI_END_DECLS

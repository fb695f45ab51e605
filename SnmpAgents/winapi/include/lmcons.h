// LAN Manager base types and lengths (netapi32).
#pragma once
#include "windef.h"

#define NET_API_FUNCTION WINAPI
typedef DWORD NET_API_STATUS;
#define API_RET_TYPE NET_API_STATUS

#define CNLEN 15
#define UNLEN 256
#define EVLEN 16
#define SNLEN 80

#ifndef NETAPI32_EXPORT
#define NETAPI32_EXPORT WINAPI_EXPORT
#endif

// Buffers that the network API allocates for its callers (netapi32).
#pragma once
#include "lmcons.h"

WINAPI_BEGIN_DECLS
NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetApiBufferAllocate(DWORD ByteCount, LPVOID* Buffer);
NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID Buffer);
NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetApiBufferSize(LPVOID Buffer, LPDWORD ByteCount);
WINAPI_END_DECLS

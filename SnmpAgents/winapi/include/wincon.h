// Console. The process writes to the terminal (or whatever its standard handles are)
// it already has; AllocConsole only keeps Windows' bookkeeping of "one console".
#pragma once
#include "windef.h"

WINAPI_BEGIN_DECLS
WINBASEAPI BOOL WINAPI AllocConsole(void);
WINBASEAPI BOOL WINAPI FreeConsole(void);
WINBASEAPI BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const VOID* lpBuffer, DWORD nNumberOfCharsToWrite,
                                     LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved);
WINBASEAPI BOOL WINAPI SetConsoleTitleW(LPCWSTR lpConsoleTitle);
WINAPI_END_DECLS

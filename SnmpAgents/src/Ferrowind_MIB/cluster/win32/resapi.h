// The toolchain's resapi.h does not compile as C++ (it uses types that its clusapi.h
// leaves out); the finders the system calls, as documented for resutils.dll.
#pragma once
#include <clusapi.h>

extern "C" {
DWORD WINAPI ResUtilFindSzProperty(const PVOID pPropertyList, DWORD cbPropertyListSize, LPCWSTR pszPropertyName,
                                   LPWSTR* pszPropertyValue);
DWORD WINAPI ResUtilFindDwordProperty(const PVOID pPropertyList, DWORD cbPropertyListSize, LPCWSTR pszPropertyName,
                                      LPDWORD pdwPropertyValue);
DWORD WINAPI ResUtilFindMultiSzProperty(const PVOID pPropertyList, DWORD cbPropertyListSize, LPCWSTR pszPropertyName,
                                        LPWSTR* pszPropertyValue, LPDWORD pcbPropertyValueSize);
}

// Resource utility library (resutils.dll): the property-list finders. Values found are
// returned in memory from LocalAlloc, which the caller releases with LocalFree.
#pragma once
#include "clusapi.h"

WINAPI_BEGIN_DECLS

WINAPI_EXPORT DWORD WINAPI ResUtilFindSzProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                 LPCWSTR pszPropertyName, LPWSTR* pszPropertyValue);
WINAPI_EXPORT DWORD WINAPI ResUtilFindExpandSzProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                       LPCWSTR pszPropertyName, LPWSTR* pszPropertyValue);
WINAPI_EXPORT DWORD WINAPI ResUtilFindDwordProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                    LPCWSTR pszPropertyName, LPDWORD pdwPropertyValue);
WINAPI_EXPORT DWORD WINAPI ResUtilFindLongProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                   LPCWSTR pszPropertyName, LPLONG plPropertyValue);
WINAPI_EXPORT DWORD WINAPI ResUtilFindBinaryProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                     LPCWSTR pszPropertyName, LPBYTE* pbPropertyValue,
                                                     LPDWORD pcbPropertyValueSize);
WINAPI_EXPORT DWORD WINAPI ResUtilFindMultiSzProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                      LPCWSTR pszPropertyName, LPWSTR* pszPropertyValue,
                                                      LPDWORD pcbPropertyValueSize);

WINAPI_END_DECLS

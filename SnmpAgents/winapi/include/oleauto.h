// BSTR and VARIANT functions (oleaut32).
#pragma once
#include "oaidl.h"

#ifndef WINOLEAUTAPI
#define WINOLEAUTAPI WINAPI_EXPORT HRESULT STDAPICALLTYPE
#define WINOLEAUTAPI_(type) WINAPI_EXPORT type STDAPICALLTYPE
#endif

WINAPI_BEGIN_DECLS
WINOLEAUTAPI_(BSTR) SysAllocString(const OLECHAR* psz);
WINOLEAUTAPI_(BSTR) SysAllocStringLen(const OLECHAR* strIn, UINT ui);
// Any bytes, not only characters: the byte count is kept exactly.
WINOLEAUTAPI_(BSTR) SysAllocStringByteLen(LPCSTR psz, UINT len);
WINOLEAUTAPI_(INT) SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
WINOLEAUTAPI_(void) SysFreeString(BSTR bstrString);
WINOLEAUTAPI_(UINT) SysStringLen(BSTR pbstr);
WINOLEAUTAPI_(UINT) SysStringByteLen(BSTR bstr);
WINOLEAUTAPI_(void) VariantInit(VARIANTARG* pvarg);
WINOLEAUTAPI VariantClear(VARIANTARG* pvarg);
WINOLEAUTAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
WINAPI_END_DECLS

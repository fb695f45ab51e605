// VARIANT lifetime: what a VARIANT owns (a BSTR, an interface reference) is freed by
// VariantClear and duplicated by VariantCopy; by-reference values own nothing.
#include <oleauto.h>

#include <cstring>

namespace {

bool IsKnownType(VARTYPE vt) {
  const VARTYPE base = vt & ~VT_BYREF;
  if (vt & ~(VT_BYREF | VT_TYPEMASK)) return false;
  switch (base) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE:
    case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_I1: case VT_UI1:
    case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return true;
    case VT_VARIANT:
      return (vt & VT_BYREF) != 0;
    default:
      return false;
  }
}

}  // namespace

// VariantInit
extern "C" WINOLEAUTAPI_(void) VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

// VariantClear
extern "C" WINOLEAUTAPI VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!IsKnownType(pvarg->vt)) return DISP_E_BADVARTYPE;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      if (pvarg->punkVal) pvarg->punkVal->Release();
      break;
    default:
      break;
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

// VariantCopy
extern "C" WINOLEAUTAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (!IsKnownType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  const HRESULT cleared = VariantClear(pvargDest);
  if (FAILED(cleared)) return cleared;
  VARIANT copy;
  std::memcpy(&copy, pvargSrc, sizeof copy);
  if (copy.vt == VT_BSTR && copy.bstrVal) {
    copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal), SysStringByteLen(pvargSrc->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  }
  if ((copy.vt == VT_DISPATCH || copy.vt == VT_UNKNOWN) && copy.punkVal) copy.punkVal->AddRef();
  std::memcpy(pvargDest, &copy, sizeof copy);
  return S_OK;
}

// The well-known interface and class identities, and their text form.
#include <objbase.h>
#include <ocidl.h>

#include <cwchar>
#include <cwctype>

extern "C" {
const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IGlobalInterfaceTable = {0x00000146, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const CLSID CLSID_StdGlobalInterfaceTable = {0x00000323, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IConnectionPointContainer = {0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_IConnectionPoint = {0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
}

// StringFromGUID2
extern "C" WINOLEAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  constexpr int kLength = 39;  // {8-4-4-4-12} and the terminator
  if (!lpsz || cchMax < kLength) return 0;
  swprintf(lpsz, kLength, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", rguid.Data1, rguid.Data2,
           rguid.Data3, rguid.Data4[0], rguid.Data4[1], rguid.Data4[2], rguid.Data4[3], rguid.Data4[4],
           rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
  return kLength;
}

// CLSIDFromString
extern "C" WINOLEAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  if (!lpsz) {
    *pclsid = GUID_NULL;
    return S_OK;
  }
  if (std::wcslen(lpsz) != 38 || lpsz[0] != L'{' || lpsz[37] != L'}' || lpsz[9] != L'-' || lpsz[14] != L'-' ||
      lpsz[19] != L'-' || lpsz[24] != L'-') {
    return CO_E_CLASSSTRING;
  }
  unsigned long long parts[11] = {};
  const int sizes[11] = {8, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2};
  int at = 1;
  for (int i = 0; i < 11; ++i) {
    if (lpsz[at] == L'-') ++at;
    for (int d = 0; d < sizes[i]; ++d, ++at) {
      const wchar_t c = lpsz[at];
      if (!std::iswxdigit(static_cast<wint_t>(c))) return CO_E_CLASSSTRING;
      parts[i] = parts[i] * 16 + static_cast<unsigned>(c <= L'9' ? c - L'0' : (std::towupper(static_cast<wint_t>(c)) - L'A' + 10));
    }
  }
  pclsid->Data1 = static_cast<uint32_t>(parts[0]);
  pclsid->Data2 = static_cast<uint16_t>(parts[1]);
  pclsid->Data3 = static_cast<uint16_t>(parts[2]);
  for (int i = 0; i < 8; ++i) pclsid->Data4[i] = static_cast<uint8_t>(parts[3 + i]);
  return S_OK;
}

// Resource utility library: property-list finders over the bounds-checked reader.
#include "property_list.h"

#include <resapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "errors.h"

namespace {

using winapi::clusprop::PropertyValue;

WORD FormatOf(DWORD syntax) { return static_cast<WORD>(syntax & 0xFFFF); }

// Common start of every finder: validated arguments and the property's value.
DWORD Lookup(const PVOID list, DWORD size, LPCWSTR name, PropertyValue& value) {
  if (!list || !name) return ERROR_INVALID_PARAMETER;
  return winapi::GuardedStatus<DWORD>([&] { return winapi::clusprop::FindProperty(list, size, name, value); });
}

// A LocalAlloc copy of units, which the caller frees with LocalFree.
DWORD CopyOut(const std::wstring& units, LPWSTR* out) {
  if (!out) return ERROR_SUCCESS;
  auto* copy = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, units.size() * sizeof(WCHAR)));
  if (!copy) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(copy, units.data(), units.size() * sizeof(WCHAR));
  *out = copy;
  return ERROR_SUCCESS;
}

DWORD FindText(const PVOID list, DWORD size, LPCWSTR name, LPWSTR* out, std::initializer_list<WORD> formats) {
  PropertyValue value;
  if (const DWORD status = Lookup(list, size, name, value); status != ERROR_SUCCESS) return status;
  bool accepted = false;
  for (const WORD format : formats) accepted = accepted || FormatOf(value.syntax) == format;
  if (!accepted) return ERROR_INVALID_DATA;
  return winapi::GuardedStatus<DWORD>([&]() -> DWORD {
    std::wstring text;
    if (!winapi::clusprop::ReadText(value, text)) return ERROR_INVALID_DATA;
    text.push_back(L'\0');
    return CopyOut(text, out);
  });
}

template <class T>
DWORD FindFixed(const PVOID list, DWORD size, LPCWSTR name, T* out, WORD format) {
  PropertyValue value;
  if (const DWORD status = Lookup(list, size, name, value); status != ERROR_SUCCESS) return status;
  if (FormatOf(value.syntax) != format || value.length != sizeof(T)) return ERROR_INVALID_DATA;
  if (out) std::memcpy(out, value.data, sizeof(T));
  return ERROR_SUCCESS;
}

}  // namespace

// ResUtilFindSzProperty
extern "C" WINAPI_EXPORT DWORD WINAPI ResUtilFindSzProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                            LPCWSTR pszPropertyName, LPWSTR* pszPropertyValue) {
  return FindText(pPropertyList, cbPropertyListSize, pszPropertyName, pszPropertyValue,
                  {CLUSPROP_FORMAT_SZ, CLUSPROP_FORMAT_EXPAND_SZ, CLUSPROP_FORMAT_EXPANDED_SZ});
}

// ResUtilFindExpandSzProperty
extern "C" WINAPI_EXPORT DWORD WINAPI ResUtilFindExpandSzProperty(const PVOID pPropertyList,
                                                                  DWORD cbPropertyListSize, LPCWSTR pszPropertyName,
                                                                  LPWSTR* pszPropertyValue) {
  return FindText(pPropertyList, cbPropertyListSize, pszPropertyName, pszPropertyValue, {CLUSPROP_FORMAT_EXPAND_SZ});
}

// ResUtilFindDwordProperty
extern "C" WINAPI_EXPORT DWORD WINAPI ResUtilFindDwordProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                               LPCWSTR pszPropertyName, LPDWORD pdwPropertyValue) {
  return FindFixed(pPropertyList, cbPropertyListSize, pszPropertyName, pdwPropertyValue, CLUSPROP_FORMAT_DWORD);
}

// ResUtilFindLongProperty
extern "C" WINAPI_EXPORT DWORD WINAPI ResUtilFindLongProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                              LPCWSTR pszPropertyName, LPLONG plPropertyValue) {
  return FindFixed(pPropertyList, cbPropertyListSize, pszPropertyName, plPropertyValue, CLUSPROP_FORMAT_LONG);
}

// ResUtilFindBinaryProperty
extern "C" WINAPI_EXPORT DWORD WINAPI ResUtilFindBinaryProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                                LPCWSTR pszPropertyName, LPBYTE* pbPropertyValue,
                                                                LPDWORD pcbPropertyValueSize) {
  PropertyValue value;
  if (const DWORD status = Lookup(pPropertyList, cbPropertyListSize, pszPropertyName, value); status != ERROR_SUCCESS) {
    return status;
  }
  if (FormatOf(value.syntax) != CLUSPROP_FORMAT_BINARY) return ERROR_INVALID_DATA;
  if (pbPropertyValue) {
    auto* copy = static_cast<LPBYTE>(LocalAlloc(LMEM_FIXED, value.length ? value.length : 1));
    if (!copy) return ERROR_NOT_ENOUGH_MEMORY;
    if (value.length) std::memcpy(copy, value.data, value.length);
    *pbPropertyValue = copy;
  }
  if (pcbPropertyValueSize) *pcbPropertyValueSize = value.length;
  return ERROR_SUCCESS;
}

// ResUtilFindMultiSzProperty
extern "C" WINAPI_EXPORT DWORD WINAPI ResUtilFindMultiSzProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                                 LPCWSTR pszPropertyName, LPWSTR* pszPropertyValue,
                                                                 LPDWORD pcbPropertyValueSize) {
  PropertyValue value;
  if (const DWORD status = Lookup(pPropertyList, cbPropertyListSize, pszPropertyName, value); status != ERROR_SUCCESS) {
    return status;
  }
  if (FormatOf(value.syntax) != CLUSPROP_FORMAT_MULTI_SZ) return ERROR_INVALID_DATA;
  return winapi::GuardedStatus<DWORD>([&]() -> DWORD {
    std::vector<std::wstring> strings;
    if (!winapi::clusprop::ReadMultiText(value, strings)) return ERROR_INVALID_DATA;
    // Re-laid out so that the result always ends with the closing empty string.
    std::wstring block;
    for (const auto& s : strings) {
      block += s;
      block.push_back(L'\0');
    }
    block.push_back(L'\0');
    if (const DWORD status = CopyOut(block, pszPropertyValue); status != ERROR_SUCCESS) return status;
    if (pcbPropertyValueSize) *pcbPropertyValueSize = static_cast<DWORD>(block.size() * sizeof(WCHAR));
    return ERROR_SUCCESS;
  });
}

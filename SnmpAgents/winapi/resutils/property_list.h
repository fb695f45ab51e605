// CLUSPROP property lists: the writer that the cluster service stand-in builds them
// with, and the bounds-checked reader behind the ResUtilFind...Property functions.
#pragma once
#include <windows.h>
#include <clusapi.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace winapi::clusprop {

class PropertyListWriter {
 public:
  void AddDword(std::wstring_view name, DWORD value);
  void AddLong(std::wstring_view name, LONG value);
  void AddULargeInteger(std::wstring_view name, ULONGLONG value);
  void AddSz(std::wstring_view name, std::wstring_view value);
  void AddExpandSz(std::wstring_view name, std::wstring_view value);
  void AddMultiSz(std::wstring_view name, const std::vector<std::wstring>& values);
  void AddBinary(std::wstring_view name, const std::vector<BYTE>& value);

  DWORD Count() const { return count_; }
  // The complete list: the count, then each property with its end mark.
  std::vector<BYTE> Bytes() const;

 private:
  void AddName(std::wstring_view name);
  void AddValue(DWORD syntax, const void* data, std::size_t size);
  void AddText(DWORD syntax, std::wstring_view name, const std::wstring& terminated);

  std::vector<BYTE> body_;
  DWORD count_ = 0;
};

struct PropertyValue {
  DWORD syntax = 0;
  const BYTE* data = nullptr;  // into the caller's list, any alignment
  DWORD length = 0;
};

// ERROR_SUCCESS and the property's first value; ERROR_FILE_NOT_FOUND when the list has
// no such property; ERROR_INVALID_DATA when the list is truncated or malformed before
// the property is reached. Never reads outside [list, list + size).
DWORD FindProperty(const void* list, std::size_t size, std::wstring_view name, PropertyValue& value);

// The text of an SZ-like value up to its terminator; false when it is not terminated
// within its length or the length is not a whole number of characters.
bool ReadText(const PropertyValue& value, std::wstring& text);
// The strings of a MULTI_SZ value; false as for ReadText.
bool ReadMultiText(const PropertyValue& value, std::vector<std::wstring>& strings);

}  // namespace winapi::clusprop

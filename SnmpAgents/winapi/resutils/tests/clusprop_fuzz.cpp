// Fuzzes the CLUSPROP reader: arbitrary bytes as a property list, looked up by a name
// taken from the input, the way the finders use it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // First byte: length of the wanted name; the list follows in its own exact buffer.
  const size_t nameLength = size ? data[0] % 16 : 0;
  if (size < 1 + nameLength) return 0;
  std::wstring name;
  for (size_t i = 0; i < nameLength; ++i) name.push_back(static_cast<wchar_t>(data[1 + i]));
  const size_t listSize = size - 1 - nameLength;
  std::vector<unsigned char> list(data + 1 + nameLength, data + size);
  for (const wchar_t* wanted : {name.c_str(), L"Address", L"Name"}) {
    winapi::clusprop::PropertyValue value;
    if (winapi::clusprop::FindProperty(list.data(), listSize, wanted, value) != ERROR_SUCCESS) continue;
    std::wstring text;
    std::vector<std::wstring> strings;
    winapi::clusprop::ReadText(value, text);
    winapi::clusprop::ReadMultiText(value, strings);
    volatile unsigned char sink = 0;
    for (DWORD i = 0; i < value.length; ++i) sink = sink ^ value.data[i];
  }
  return 0;
}

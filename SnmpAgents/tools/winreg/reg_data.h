// Key paths, value types and the text forms of values for the winreg tool.
#pragma once

#include "utf8_text.h"
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace winreg {

using Bytes = std::vector<BYTE>;

// A key path as the user writes it: HKLM\SOFTWARE\x or HKEY_LOCAL_MACHINE\SOFTWARE\x.
struct KeyPath {
  HKEY root = nullptr;
  std::wstring rootName;  // the long name, as reg.exe prints it
  std::wstring subKey;    // may be empty: the root itself

  std::wstring Full() const { return subKey.empty() ? rootName : rootName + L"\\" + subKey; }
  KeyPath Child(const std::wstring& name) const {
    return KeyPath{root, rootName, subKey.empty() ? name : subKey + L"\\" + name};
  }
};

bool ParseKeyPath(std::wstring_view text, KeyPath& path);

// A value with its data as the registry API takes it (strings in WCHAR units).
struct Value {
  std::wstring name;
  DWORD type = REG_NONE;
  Bytes data;
};

bool TypeFromName(std::wstring_view name, DWORD& type);
std::wstring TypeName(DWORD type);

// The data column of "query": strings as they are, REG_MULTI_SZ joined by "\0",
// numbers as 0x hex, everything else as upper-case hex bytes.
std::wstring QueryText(const Value& value);

// The data of "add /t type /d text"; false with a message for bad text.
bool DataFromArgument(DWORD type, std::wstring_view text, std::wstring_view separator, Bytes& data,
                      std::wstring& error);

bool IsStringType(DWORD type);
Bytes ApiBytes(std::wstring_view text);         // WCHAR units, no terminator added
std::wstring WideFromApi(const Bytes& data);    // WCHAR units back to text
Bytes Utf16LeBytes(std::wstring_view text);     // as Windows stores strings
std::wstring WideFromUtf16Le(const BYTE* bytes, size_t size);

// The system's text for a Win32 error, for messages.
std::wstring ErrorText(LSTATUS status);

}  // namespace winreg

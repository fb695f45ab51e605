// Where the agents' registry tree lies below HKEY_LOCAL_MACHINE and the small key and
// value helpers the agent's status and settings use. Paths are formed afresh on every
// call, so installation changes take effect while the agent runs.
#pragma once

#include <windows.h>

#include <string>

#include "win32_handle.h"

using CRegKey = CRegistryKey;

namespace fw::agent {

inline constexpr const wchar_t kUuidKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\UUID\\9E45D2B7-1C83-11D3-B5A2-00A0E6F1C803";
inline constexpr const wchar_t kDefaultCommonRoot[] = L"SOFTWARE\\Morvasten";

// Opens a key for reading: KEY_READ, then KEY_READ | KEY_WOW64_32KEY.
LONG OpenKeyForRead(const std::wstring& path, CRegKey& key);
// Opens a key for writing: KEY_ALL_ACCESS | KEY_WOW64_64KEY, once more without the view
// flag on ERROR_ACCESS_DENIED.
LONG OpenKeyForWrite(const std::wstring& path, CRegKey& key);
// Creates or opens a key for writing, with the same retry.
LONG CreateKeyForWrite(HKEY parent, const std::wstring& path, DWORD options, CRegKey& key);

// A REG_SZ or REG_EXPAND_SZ value (the latter expanded); false when missing or of
// another type.
bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& value);
bool ReadStringValue(const std::wstring& keyPath, const wchar_t* name, std::wstring& value);
// A 4-byte value, read without a type test.
bool ReadDwordValue(HKEY key, const wchar_t* name, DWORD& value);

bool WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& value);
bool WriteDwordValue(HKEY key, const wchar_t* name, DWORD value);

// Drops one trailing backslash unless it is one of the first three characters (C:\ stays).
std::wstring TrimRootBackslash(std::wstring path);
// Starts with a backslash, or is longer than three characters and starts with "X:\".
bool IsAbsoluteFilePath(const std::wstring& path);

}  // namespace fw::agent

// The registry paths of one agent, from the product key name and the agent name.
class AgentRegPaths {
 public:
  AgentRegPaths(std::wstring productKeyName, std::wstring agentName)
      : m_productKeyName(std::move(productKeyName)), m_agentName(std::move(agentName)) {}

  std::wstring CommonRoot() const;
  std::wstring SetupKey() const { return CommonRoot() + L"\\#Setup"; }
  std::wstring AgentKey() const { return CommonRoot() + L"\\" + m_agentName; }
  std::wstring ParametersKey() const { return AgentKey() + L"\\Parameters"; }
  std::wstring FileRoot() const;
  std::wstring DataRoot() const;

 private:
  std::wstring m_productKeyName;
  std::wstring m_agentName;
};

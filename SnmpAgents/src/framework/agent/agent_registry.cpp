#include "agent_registry.h"

#include <cwctype>
#include <vector>

namespace fw::agent {

namespace {

constexpr REGSAM kReadAccess = KEY_READ;                          // 0x20019
constexpr REGSAM kReadAccess32 = KEY_READ | KEY_WOW64_32KEY;      // 0x20219
constexpr REGSAM kWriteAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;  // 0xF013F

}  // namespace

LONG OpenKeyForRead(const std::wstring& path, CRegKey& key) {
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, kReadAccess, key.Out());
  if (result == ERROR_SUCCESS) return result;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, kReadAccess32, key.Out());
}

LONG OpenKeyForWrite(const std::wstring& path, CRegKey& key) {
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, kWriteAccess, key.Out());
  if (result != ERROR_ACCESS_DENIED) return result;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.Out());
}

LONG CreateKeyForWrite(HKEY parent, const std::wstring& path, DWORD options, CRegKey& key) {
  LONG result = RegCreateKeyExW(parent, path.c_str(), 0, nullptr, options, kWriteAccess, nullptr,
                                key.Out(), nullptr);
  if (result != ERROR_ACCESS_DENIED) return result;
  return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, key.Out(),
                         nullptr);
}

bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& value) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS) {
    return false;
  }
  data[size / sizeof(wchar_t)] = L'\0';  // a value stored without its terminator
  std::wstring text(data.data());
  if (type == REG_EXPAND_SZ) {
    const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0) return false;
    std::vector<wchar_t> expanded(needed);
    const DWORD written = ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
    if (written == 0 || written > needed) return false;
    text.assign(expanded.data());
  }
  value = std::move(text);
  return true;
}

bool ReadStringValue(const std::wstring& keyPath, const wchar_t* name, std::wstring& value) {
  CRegKey key;
  if (OpenKeyForRead(keyPath, key) != ERROR_SUCCESS) return false;
  return ReadStringValue(key.Get(), name, value);
}

bool ReadDwordValue(HKEY key, const wchar_t* name, DWORD& value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS) {
    return false;
  }
  value = data;
  return true;
}

bool WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& value) {
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes) ==
         ERROR_SUCCESS;
}

bool WriteDwordValue(HKEY key, const wchar_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
         ERROR_SUCCESS;
}

std::wstring TrimRootBackslash(std::wstring path) {
  if (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

bool IsAbsoluteFilePath(const std::wstring& path) {
  if (!path.empty() && path[0] == L'\\') return true;
  return path.size() > 3 && std::iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
}

}  // namespace fw::agent

std::wstring AgentRegPaths::CommonRoot() const {
  std::wstring root;
  if (fw::agent::ReadStringValue(fw::agent::kUuidKey, m_productKeyName.c_str(), root)) return root;
  return fw::agent::kDefaultCommonRoot;
}

std::wstring AgentRegPaths::FileRoot() const {
  const std::wstring setup = SetupKey();
  std::wstring root;
  if (!fw::agent::ReadStringValue(setup, L"FileRoot", root)) fw::agent::ReadStringValue(setup, L"AgentRoot", root);
  return fw::agent::TrimRootBackslash(root);
}

std::wstring AgentRegPaths::DataRoot() const {
  std::wstring root;
  fw::agent::ReadStringValue(SetupKey(), L"DataRoot", root);
  return fw::agent::TrimRootBackslash(root);
}

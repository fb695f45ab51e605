#include "agent_locator.h"

#include <windows.h>

#include <utility>

#include "utf8_text.h"

namespace host {
namespace {

constexpr const wchar_t* kExtensionAgents = L"SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\ExtensionAgents";

class Key {
 public:
  explicit Key(const std::wstring& path) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  explicit operator bool() const { return key_ != nullptr; }
  HKEY get() const { return key_; }

  // A REG_SZ or REG_EXPAND_SZ value, expanded; empty when missing.
  std::wstring String(const wchar_t* name) const {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS)
      return {};
    value.resize(wcslen(value.c_str()));
    if (type != REG_EXPAND_SZ) return value;
    const DWORD needed = ExpandEnvironmentStringsW(value.c_str(), nullptr, 0);
    std::wstring expanded(needed, L'\0');
    ExpandEnvironmentStringsW(value.c_str(), expanded.data(), needed);
    expanded.resize(wcslen(expanded.c_str()));
    return expanded;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

std::vector<LocatedAgent> RegisteredAgents() {
  std::vector<LocatedAgent> agents;
  Key list(kExtensionAgents);
  if (!list) return agents;
  // In the order of the registry's enumeration, as the service loads them.
  std::vector<std::pair<std::wstring, std::wstring>> entries;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256;
    wchar_t data[1024];
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    const LSTATUS status = RegEnumValueW(list.get(), i, name, &nameLength, nullptr, &type,
                                         reinterpret_cast<BYTE*>(data), &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) continue;
    entries.emplace_back(name, std::wstring(data, wcsnlen(data, dataSize / sizeof(wchar_t))));
  }
  for (const auto& [name, keyPath] : entries) {
    LocatedAgent agent;
    Key key(keyPath);
    if (!key) {
      agent.problem = "extension agent entry " + Utf8FromWide(name) + " names the missing key HKLM\\" + Utf8FromWide(keyPath);
    } else {
      agent.path = Utf8FromWide(key.String(L"Pathname"));
      if (agent.path.empty()) agent.problem = "HKLM\\" + Utf8FromWide(keyPath) + " has no \"Pathname\" value";
    }
    agents.push_back(std::move(agent));
  }
  return agents;
}

}  // namespace host

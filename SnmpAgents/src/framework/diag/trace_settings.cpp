#include "trace_settings.h"

#include <algorithm>
#include <cwctype>
#include <vector>

#include "trace_format.h"
#include "win32_handle.h"

namespace fw::diag {

namespace {

// One settings key, opened for queries; closed on destruction.
class SettingsKey {
 public:
  explicit SettingsKey(const std::wstring& path) {
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, m_key.Out());
    if (rc == ERROR_ACCESS_DENIED) {
      rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, m_key.Out());
    }
    if (rc != ERROR_SUCCESS) m_key.Release();
  }

  bool IsOpen() const { return static_cast<bool>(m_key); }

  bool ReadDword(const wchar_t* name, DWORD& value) const {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    const LONG rc = RegQueryValueExW(m_key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(data)) return false;
    value = data;
    return true;
  }

  bool ReadFlag(const wchar_t* name) const {
    DWORD value = 0;
    return ReadDword(name, value) && value != 0;
  }

  DWORD ReadLevel(const wchar_t* name) const {
    DWORD value = 0;
    return ReadDword(name, value) ? value : 0;
  }

  bool ReadString(const wchar_t* name, std::wstring& value) const {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(m_key.Get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return false;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(m_key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
      return false;
    }
    value.assign(data.data(), std::min<std::size_t>(size / sizeof(wchar_t), data.size() - 1));
    const std::size_t end = value.find(L'\0');
    if (end != std::wstring::npos) value.resize(end);
    return true;
  }

 private:
  CRegistryKey m_key;
};

std::wstring ExpandEnvironment(const std::wstring& text) {
  const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (needed == 0) return text;
  std::vector<wchar_t> expanded(needed + 1, L'\0');
  const DWORD written = ExpandEnvironmentStringsW(text.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
  if (written == 0 || written > expanded.size()) return text;
  return std::wstring(expanded.data());
}

void ReadFileSettings(const SettingsKey& key, TraceSettings& settings) {
  settings.fileLevel = key.ReadLevel(L"FileDebugLevel");
  if (settings.fileLevel == 0) return;
  DWORD limit = 0;
  if (key.ReadDword(L"TraceFileLimit", limit)) settings.fileLimit = DecodeTraceFileLimit(limit);
  std::wstring path;
  if (key.ReadString(L"TraceFile", path)) {
    settings.filePath = ExpandEnvironment(path);
    if (settings.filePath.size() > kMaxTraceFilePath) settings.filePath.resize(kMaxTraceFilePath);
  }
  settings.memoryMapped = key.ReadFlag(L"TraceFileMemoryMapped");
}

}  // namespace

ULONGLONG DecodeTraceFileLimit(DWORD value) {
  if (value & 0x80000000u) return value & 0x7FFFFFFFu;
  if (value != 0) return static_cast<ULONGLONG>(value) << 20;
  return kDefaultTraceFileLimit;
}

std::wstring TraceFileMutexName(std::wstring_view path) {
  std::wstring name = L"CFileDebug_";
  name.append(path);
  for (wchar_t& c : name) {
    if (c == L'\\' || c == L':') c = L'_';
    c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
  }
  return name;
}

TraceSettings ReadTraceSettings(std::wstring_view baseKey, std::wstring_view appName) {
  TraceSettings settings;
  const std::wstring base(baseKey);
  {
    const SettingsKey key(base);
    if (!key.IsOpen()) return settings;
    key.ReadDword(L"DynamicUpdate", settings.dynamicUpdate);
    DWORD enabled = 1;
    settings.traceEnabled = !(key.ReadDword(L"TraceEnabled", enabled) && enabled == 0);
  }
  const SettingsKey key(FormatWide(L"%s\\%s", base, appName));
  if (!key.IsOpen()) return settings;
  settings.timeStampOn = key.ReadFlag(L"TimeStampOn");
  settings.dateStampOn = key.ReadFlag(L"DateStampOn");
  settings.threadIdOn = key.ReadFlag(L"ThreadIdOn");
  settings.cpuIdOn = key.ReadFlag(L"CpuIdOn");
  settings.appNameOn = key.ReadFlag(L"AppNameOn");
  settings.memUsageOn = key.ReadFlag(L"MemUsageOn");
  settings.handleCountOn = key.ReadFlag(L"HandleCountOn");
  settings.conLevel = key.ReadLevel(L"ConDebugLevel");
  settings.winLevel = key.ReadLevel(L"WinDebugLevel");
  ReadFileSettings(key, settings);
  return settings;
}

}  // namespace fw::diag

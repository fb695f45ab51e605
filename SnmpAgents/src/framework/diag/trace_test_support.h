// Shared by the trace facility's tests: a private registry key for the settings, and
// readers for the files the trace writes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "debug_trace.h"

namespace fw::diag::testing {

// A settings key of its own below HKEY_LOCAL_MACHINE, removed with all it holds at the end.
class ScratchSettingsKey {
 public:
  explicit ScratchSettingsKey(const wchar_t* name) {
    m_path = std::wstring(L"SOFTWARE\\FerrowindTests\\") + name + L"-" + std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_path.c_str());
  }
  ~ScratchSettingsKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_path.c_str()); }
  ScratchSettingsKey(const ScratchSettingsKey&) = delete;
  ScratchSettingsKey& operator=(const ScratchSettingsKey&) = delete;

  const std::wstring& Path() const { return m_path; }

  // subkey empty: the base key itself.
  bool Set(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data, DWORD size) const {
    HKEY key = nullptr;
    const std::wstring path = subkey.empty() ? m_path : m_path + L"\\" + subkey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    const bool ok = !name || RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
  }
  bool CreateKey(const std::wstring& subkey = {}) const { return Set(subkey, nullptr, 0, nullptr, 0); }
  bool SetDword(const std::wstring& subkey, const wchar_t* name, DWORD value) const {
    return Set(subkey, name, REG_DWORD, &value, sizeof(value));
  }
  bool SetString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) const {
    return Set(subkey, name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }

 private:
  std::wstring m_path;
};

inline std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
  CloseHandle(file);
  return bytes;
}

inline bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  CloseHandle(file);
  return ok;
}

// UTF-16 LE bytes (after an optional byte order mark) as wide text, surrogate pairs joined
// where wchar_t holds a whole code point.
inline std::wstring DecodeUtf16Le(const std::string& bytes, bool skipBom = true) {
  std::size_t at = skipBom && bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0 ? 2 : 0;
  std::wstring text;
  for (; at + 1 < bytes.size(); at += 2) {
    unsigned unit = static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned char>(bytes[at + 1]) << 8);
    if (sizeof(wchar_t) == 4 && unit >= 0xD800 && unit < 0xDC00 && at + 3 < bytes.size()) {
      const unsigned low = static_cast<unsigned char>(bytes[at + 2]) | (static_cast<unsigned char>(bytes[at + 3]) << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        at += 2;
      }
    }
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

inline std::wstring TempDirFor(const wchar_t* name) {
  wchar_t base[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, base);
  std::wstring dir = std::wstring(base) + L"fwdiag-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

// The process trace written to a file of its own at one level, for tests that check the
// lines a component traces: settings under "SOFTWARE\\Debug\\<name><pid>", removed with
// the file when the object goes.
class ProcessTraceFile {
 public:
  ProcessTraceFile(const wchar_t* name, DWORD level)
      : m_app(std::wstring(name) + std::to_wstring(GetCurrentProcessId())),
        m_key(L"SOFTWARE\\Debug\\" + m_app),
        m_file(TempDirFor(name) + L"\\trace.log") {
    DeleteFileW(m_file.c_str());
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      return;
    }
    RegSetValueExW(key, L"FileDebugLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), sizeof(level));
    RegSetValueExW(key, L"TraceFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_file.c_str()),
                   static_cast<DWORD>((m_file.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    g_DebugTrace.Initialize(m_app.c_str(), false);
  }
  ~ProcessTraceFile() {
    g_DebugTrace.Initialize(L"", false);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_key.c_str());
    DeleteFileW(m_file.c_str());
  }
  ProcessTraceFile(const ProcessTraceFile&) = delete;
  ProcessTraceFile& operator=(const ProcessTraceFile&) = delete;

  bool Active() const { return DBG_TRACE_ACTIVE(); }
  std::wstring Text() const { return DecodeUtf16Le(ReadFileBytes(m_file)); }

 private:
  std::wstring m_app, m_key, m_file;
};

}  // namespace fw::diag::testing

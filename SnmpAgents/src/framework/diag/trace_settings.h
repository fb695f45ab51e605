// The trace settings as the registry gives them: "SOFTWARE\Debug" below HKEY_LOCAL_MACHINE
// and its subkey named after the application.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace fw::diag {

inline constexpr wchar_t kTraceSettingsKey[] = L"SOFTWARE\\Debug";
inline constexpr ULONGLONG kDefaultTraceFileLimit = 50ull << 20;
inline constexpr std::size_t kMaxTraceFilePath = 259;

struct TraceSettings {
  bool traceEnabled = false;
  DWORD dynamicUpdate = 0;

  bool timeStampOn = false;
  bool dateStampOn = false;
  bool threadIdOn = false;
  bool cpuIdOn = false;
  bool appNameOn = false;
  bool memUsageOn = false;
  bool handleCountOn = false;

  DWORD conLevel = 0;
  DWORD winLevel = 0;
  DWORD fileLevel = 0;
  ULONGLONG fileLimit = kDefaultTraceFileLimit;
  std::wstring filePath;
  bool memoryMapped = false;
};

// Reads baseKey and baseKey\appName below HKEY_LOCAL_MACHINE; missing or mistyped values
// keep their defaults.
TraceSettings ReadTraceSettings(std::wstring_view baseKey, std::wstring_view appName);

// A "TraceFileLimit" value: the top bit set gives bytes in the lower 31 bits, any other
// non-zero value megabytes; 0 keeps the default.
ULONGLONG DecodeTraceFileLimit(DWORD value);

// "CFileDebug_" and the path with '\' and ':' as '_', all upper case: one mutex for every
// process that appends to the same file.
std::wstring TraceFileMutexName(std::wstring_view path);

}  // namespace fw::diag

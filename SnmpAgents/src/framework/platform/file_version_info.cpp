#include "file_version_info.h"

#include <cwctype>
#include <string>

#include "debug_trace.h"
#include "trace_format.h"

namespace {

using GetSystemWow64DirectoryFn = UINT(WINAPI*)(LPWSTR, UINT);

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  if (prefix.empty() || text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::towupper(static_cast<std::wint_t>(text[i])) != std::towupper(static_cast<std::wint_t>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

std::wstring SystemDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

std::wstring Wow64SystemDirectory() {
  const auto getDirectory = reinterpret_cast<GetSystemWow64DirectoryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemWow64DirectoryW")));
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = getDirectory ? getDirectory(buffer, MAX_PATH) : 0;
  return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

}  // namespace

bool CFileVersionInfo::LoadFrom(const std::wstring& path, DWORD& error) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0) {
    error = GetLastError();
    return false;
  }
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
    error = GetLastError();
    return false;
  }
  m_data.swap(data);
  return true;
}

bool CFileVersionInfo::Load(const wchar_t* path) {
  m_data.clear();
  if (!path || !*path) return false;
  const std::wstring file(path);
  DWORD error = ERROR_SUCCESS;
  if (LoadFrom(file, error)) return true;
  if (error == ERROR_FILE_NOT_FOUND) {
    const std::wstring systemDir = SystemDirectory();
    DBG_TRACE(3, L"\nCFileVersionInfo    : System dir is: \"%s\"", systemDir);
    DBG_TRACE(3, L"\nCFileVersionInfo    : Module system location is: \"%s\"", file);
    const std::wstring wow64Dir = StartsWithNoCase(file, systemDir) ? Wow64SystemDirectory() : std::wstring();
    if (!wow64Dir.empty()) {
      const std::wstring wow64Path = fw::diag::FormatWide(L"%s%s", wow64Dir, file.substr(systemDir.size()));
      DBG_TRACE(3, L"\nCFileVersionInfo    : Check WOW64 system path: \"%s\"", wow64Path);
      if (LoadFrom(wow64Path, error)) return true;
    }
  }
  DBG_TRACE(1, L"\nCFileVersionInfo    : ERROR 0x%X! GetFileVersionInfoSize() (\"%s\") FAILED!", error, file);
  SetLastError(error);
  return false;
}

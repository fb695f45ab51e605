#include "os_version.h"

#include "debug_trace.h"
#include "file_version_info.h"

namespace {

// Windows 8 and later report the version of the application's manifest, not their own.
bool MayBeCompatibilityVersion(const OSVERSIONINFOEXW& version) {
  return version.dwMajorVersion >= 7 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
}

bool ReadKernel32Version(OSVERSIONINFOEXW& version) {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32");
  wchar_t path[MAX_PATH] = {};
  if (!kernel32 || GetModuleFileNameW(kernel32, path, MAX_PATH) == 0) return false;
  CFileVersionInfo info;
  const VS_FIXEDFILEINFO* fixed = info.Load(path) ? info.GetFixedInfo() : nullptr;
  if (!fixed) return false;
  version.dwMajorVersion = HIWORD(fixed->dwFileVersionMS);
  version.dwMinorVersion = LOWORD(fixed->dwFileVersionMS);
  version.dwBuildNumber = HIWORD(fixed->dwFileVersionLS);
  return true;
}

}  // namespace

bool COSVersion::Get(OSVERSIONINFOEXW& version) {
  version = OSVERSIONINFOEXW{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return false;
  DBG_TRACE(4, L"\nCOSVersion          : OS version returned by GetVersionEx API: Major %d Minor %d Build %d",
            version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber);
  DBG_TRACE(4, L"\nCOSVersion          : OS product type: 0x%02X, platform id: 0x%02X, suite mask: 0x%02X",
            version.wProductType, version.dwPlatformId, version.wSuiteMask);
  if (MayBeCompatibilityVersion(version)) {
    DBG_TRACE(4, L"\nCOSVersion          : Use file version info of kernel32.dll to retrieve the real OS version...");
    if (ReadKernel32Version(version)) {
      DBG_TRACE(4, L"\nCOSVersion          : OS version read from kernel32.dll: Major %d Minor %d Build %d",
                version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber);
    }
  }
  return true;
}

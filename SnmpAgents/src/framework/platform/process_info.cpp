#include "process_info.h"

#include <psapi.h>

#include "debug_trace.h"
#include "os_version.h"
#include "win32_handle.h"

namespace {

constexpr DWORD kQueryAndRead = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

}  // namespace

bool CProcess::GetWellKnownName(DWORD processId, std::wstring& name) {
  OSVERSIONINFOEXW version{};
  if (!COSVersion::Get(version)) return false;
  const DWORD major = version.dwMajorVersion;
  const DWORD minor = version.dwMinorVersion;
  if (processId == 0 && major >= 4 && major <= 6) {
    name = L"System Idle Process";
    return true;
  }
  const bool system = (major == 4 && processId == 2) || (major == 5 && minor == 0 && processId == 8) ||
                      (major == 5 && minor >= 1 && minor <= 2 && processId == 4) || (major == 6 && processId == 4);
  if (!system) return false;
  name = L"System";
  return true;
}

bool CProcess::GetName(DWORD processId, std::wstring& name) {
  DWORD error = ERROR_SUCCESS;
  bool found = false;
  if (const CKernelHandle process{OpenProcess(kQueryAndRead, FALSE, processId)}) {
    wchar_t baseName[MAX_PATH] = {};
    const DWORD length = GetModuleBaseNameW(process.Get(), nullptr, baseName, MAX_PATH - 1);
    if (length > 0) {
      name.assign(baseName, length);
      found = true;
    } else {
      error = GetLastError();
      DBG_TRACE(1, L"\nCProcess            : ## ERROR 0x%08X! GetModuleBaseName hProcess 0x%X FAILED!", error,
                process.Get());
    }
  } else {
    DBG_TRACE(4, L"\nCProcess (GetName)  : Could not open process PID %d, try to get name of Windows default process...",
              processId);
    found = GetWellKnownName(processId, name);
  }
  if (found) {
    DBG_TRACE(4, L"\nCProcess (GetName)  : -> process #%d name = \"%s\"", processId, name);
  } else if (error == ERROR_SUCCESS) {
    DBG_TRACE(4, L"\nCProcess (GetName)  : -> no name for process #%d", processId);
  } else {
    DBG_TRACE(1, L"\nCProcess            : ## ERROR 0x%08X! Could not get process name for process with PID %d!", error,
              processId);
  }
  return found;
}

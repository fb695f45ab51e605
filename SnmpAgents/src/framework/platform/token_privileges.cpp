#include "token_privileges.h"

#include <vector>

#include "debug_trace.h"

bool CTokenPrivileges::IsEnabledNow(HANDLE token, const LUID& luid, bool& enabled) {
  DWORD size = 0;
  if (GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
      size < sizeof(TOKEN_PRIVILEGES)) {
    return false;
  }
  // DWORD-aligned storage: TOKEN_PRIVILEGES starts with a DWORD and holds LUIDs.
  std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
  if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return false;
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  enabled = false;
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
    if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart) {
      enabled = (entry.Attributes & (SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED)) != 0;
    }
  }
  return true;
}

bool CTokenPrivileges::SetPrivilege(HANDLE token, const wchar_t* privilege, bool enable, bool* wasEnabled) {
  if (!privilege || !*privilege || !token || token == INVALID_HANDLE_VALUE) return false;
  LUID luid{};
  if (!LookupPrivilegeValueW(nullptr, privilege, &luid)) {
    DBG_TRACE(1, L"\nCTokenPrivileges    : ERROR 0x%X! LookupPrivilegeValue() \"%s\" FAILED!", GetLastError(), privilege);
    return false;
  }
  if (wasEnabled) {
    bool enabled = false;
    *wasEnabled = IsEnabledNow(token, luid, enabled) && enabled;
  }
  const wchar_t* attribute = enable ? L"SE_PRIVILEGE_ENABLED" : L"SE_PRIVILEGE_REMOVED";
  DBG_TRACE(4, L"\nCTokenPrivileges    : AdjustTokenPrivileges for \"%s\": %s!", privilege, attribute);
  TOKEN_PRIVILEGES change{};
  change.PrivilegeCount = 1;
  change.Privileges[0].Luid = luid;
  change.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : SE_PRIVILEGE_REMOVED;
  SetLastError(ERROR_SUCCESS);
  const bool adjusted = AdjustTokenPrivileges(token, FALSE, &change, sizeof(change), nullptr, nullptr) &&
                        GetLastError() == ERROR_SUCCESS;
  if (!adjusted) {
    DBG_TRACE(1, L"\nCTokenPrivileges    : ERROR 0x%X! AdjustTokenPrivileges() \"%s\" FAILED!", GetLastError(), privilege);
  }
  return adjusted;
}

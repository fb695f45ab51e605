// Access tokens: one token per process, holding the privileges of the account.
#include "errors.h"
#include "handles.h"
#include "wide_text.h"

#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace {

struct PrivilegeName {
  DWORD luid;
  const wchar_t* name;
};

// The privileges Windows defines, with their well-known LUIDs.
constexpr PrivilegeName kPrivileges[] = {
    {2, L"SeCreateTokenPrivilege"},
    {3, L"SeAssignPrimaryTokenPrivilege"},
    {4, L"SeLockMemoryPrivilege"},
    {5, L"SeIncreaseQuotaPrivilege"},
    {6, L"SeMachineAccountPrivilege"},
    {7, L"SeTcbPrivilege"},
    {8, L"SeSecurityPrivilege"},
    {9, L"SeTakeOwnershipPrivilege"},
    {10, L"SeLoadDriverPrivilege"},
    {11, L"SeSystemProfilePrivilege"},
    {12, L"SeSystemtimePrivilege"},
    {13, L"SeProfileSingleProcessPrivilege"},
    {14, L"SeIncreaseBasePriorityPrivilege"},
    {15, L"SeCreatePagefilePrivilege"},
    {16, L"SeCreatePermanentPrivilege"},
    {17, L"SeBackupPrivilege"},
    {18, L"SeRestorePrivilege"},
    {19, L"SeShutdownPrivilege"},
    {20, L"SeDebugPrivilege"},
    {21, L"SeAuditPrivilege"},
    {22, L"SeSystemEnvironmentPrivilege"},
    {23, L"SeChangeNotifyPrivilege"},
    {24, L"SeRemoteShutdownPrivilege"},
    {25, L"SeUndockPrivilege"},
    {26, L"SeSyncAgentPrivilege"},
    {27, L"SeEnableDelegationPrivilege"},
    {28, L"SeManageVolumePrivilege"},
    {29, L"SeImpersonatePrivilege"},
    {30, L"SeCreateGlobalPrivilege"},
    {31, L"SeTrustedCredManAccessPrivilege"},
    {32, L"SeRelabelPrivilege"},
    {33, L"SeIncreaseWorkingSetPrivilege"},
    {34, L"SeTimeZonePrivilege"},
    {35, L"SeCreateSymbolicLinkPrivilege"},
    {36, L"SeDelegateSessionUserImpersonatePrivilege"},
};

constexpr DWORD kChangeNotify = 23;
constexpr DWORD kImpersonate = 29;
constexpr DWORD kCreateGlobal = 30;
constexpr DWORD kUserSet[] = {19, 23, 25, 33, 34};
constexpr DWORD kEnabledByDefault = SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED;

bool SameLuid(const LUID& a, const LUID& b) { return a.LowPart == b.LowPart && a.HighPart == b.HighPart; }

LUID_AND_ATTRIBUTES Held(DWORD luid, DWORD attributes) { return LUID_AND_ATTRIBUTES{LUID{luid, 0}, attributes}; }

// The privileges of the process, shared by every handle to its token.
class ProcessPrivileges {
 public:
  static ProcessPrivileges& Instance() {
    static auto* privileges = new ProcessPrivileges;
    return *privileges;
  }
  std::mutex& Lock() { return lock_; }
  std::vector<LUID_AND_ATTRIBUTES>& Held() { return held_; }

 private:
  ProcessPrivileges() {
    if (geteuid() == 0) {
      for (const auto& p : kPrivileges) {
        const bool onByDefault = p.luid == kChangeNotify || p.luid == kImpersonate || p.luid == kCreateGlobal;
        held_.push_back(::Held(p.luid, onByDefault ? kEnabledByDefault : 0));
      }
      return;
    }
    for (DWORD luid : kUserSet) held_.push_back(::Held(luid, luid == kChangeNotify ? kEnabledByDefault : 0));
  }
  std::mutex lock_;
  std::vector<LUID_AND_ATTRIBUTES> held_;
};

class Token : public winapi::KernelObject {
 public:
  explicit Token(DWORD access) : access_(access) {}
  const char* TypeName() const override { return "Token"; }
  bool Allows(DWORD needed) const { return (access_ & needed) == needed; }

 private:
  DWORD access_;
};

DWORD TokenAccess(DWORD desired) {
  DWORD access = desired;
  if (access & MAXIMUM_ALLOWED) access |= TOKEN_ALL_ACCESS;
  if (access & GENERIC_READ) access |= STANDARD_RIGHTS_READ | TOKEN_QUERY;
  if (access & GENERIC_WRITE) access |= STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS |
                                        TOKEN_ADJUST_DEFAULT;
  if (access & GENERIC_EXECUTE) access |= STANDARD_RIGHTS_EXECUTE;
  if (access & GENERIC_ALL) access |= TOKEN_ALL_ACCESS;
  return access & ~(MAXIMUM_ALLOWED | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

bool IsLocalSystem(LPCWSTR systemName) {
  if (!systemName || !*systemName) return true;
  std::wstring_view name(systemName);
  while (name.starts_with(L"\\")) name.remove_prefix(1);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return winapi::EqualsNoCase(name, winapi::WideFromUtf8(host)) || winapi::EqualsNoCase(name, L"localhost") ||
         name == L".";
}

DWORD SizeForCount(size_t count) {
  return static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) + count * sizeof(LUID_AND_ATTRIBUTES));
}

std::vector<LUID_AND_ATTRIBUTES>::iterator FindHeld(std::vector<LUID_AND_ATTRIBUTES>& held, const LUID& luid) {
  for (auto it = held.begin(); it != held.end(); ++it) {
    if (SameLuid(it->Luid, luid)) return it;
  }
  return held.end();
}

// One planned change: the privilege (by LUID) and its attributes before and after.
struct Change {
  LUID luid;
  DWORD before;
  std::optional<DWORD> after;  // nullopt: removed from the token
};

}  // namespace

// OpenProcessToken
extern "C" WINADVAPI BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  if (!TokenHandle) return winapi::FailWith(ERROR_INVALID_PARAMETER);
  const HANDLE currentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
  // Only the current process has a token in this layer.
  if (ProcessHandle != currentProcess) {
    return winapi::FailWith(winapi::LookupHandle(ProcessHandle) ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
  }
  return winapi::GuardedBool([&] {
    *TokenHandle = winapi::InsertHandle(std::make_shared<Token>(TokenAccess(DesiredAccess)));
    return TRUE;
  });
}

// OpenThreadToken
extern "C" WINADVAPI BOOL WINAPI OpenThreadToken(HANDLE /*ThreadHandle*/, DWORD /*DesiredAccess*/,
                                                 BOOL /*OpenAsSelf*/, PHANDLE TokenHandle) {
  // Threads never impersonate here, so none has a token of its own.
  if (TokenHandle) *TokenHandle = nullptr;
  return winapi::FailWith(ERROR_NO_TOKEN);
}

// LookupPrivilegeValueW
extern "C" WINADVAPI BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (!lpName || !lpLuid) return winapi::FailWith(ERROR_INVALID_PARAMETER);
  if (!IsLocalSystem(lpSystemName)) return winapi::FailWith(RPC_S_SERVER_UNAVAILABLE);
  for (const auto& p : kPrivileges) {
    if (winapi::EqualsNoCase(lpName, p.name)) {
      *lpLuid = LUID{p.luid, 0};
      return TRUE;
    }
  }
  return winapi::FailWith(ERROR_NO_SUCH_PRIVILEGE);
}

// LookupPrivilegeNameW
extern "C" WINADVAPI BOOL WINAPI LookupPrivilegeNameW(LPCWSTR lpSystemName, PLUID lpLuid, LPWSTR lpName,
                                                      LPDWORD cchName) {
  if (!lpLuid || !cchName) return winapi::FailWith(ERROR_INVALID_PARAMETER);
  if (!IsLocalSystem(lpSystemName)) return winapi::FailWith(RPC_S_SERVER_UNAVAILABLE);
  for (const auto& p : kPrivileges) {
    if (lpLuid->HighPart != 0 || lpLuid->LowPart != p.luid) continue;
    const auto length = static_cast<DWORD>(wcslen(p.name));
    if (!lpName || *cchName <= length) {
      *cchName = length + 1;
      return winapi::FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(lpName, p.name, (length + 1) * sizeof(WCHAR));
    *cchName = length;
    return TRUE;
  }
  return winapi::FailWith(ERROR_NO_SUCH_PRIVILEGE);
}

// GetTokenInformation
extern "C" WINADVAPI BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                                     LPVOID TokenInformation, DWORD TokenInformationLength,
                                                     PDWORD ReturnLength) {
  auto token = winapi::LookupHandleAs<Token>(TokenHandle);
  if (!token) return winapi::FailWith(ERROR_INVALID_HANDLE);
  if (!token->Allows(TOKEN_QUERY)) return winapi::FailWith(ERROR_ACCESS_DENIED);
  if (!ReturnLength) return winapi::FailWith(ERROR_NOACCESS);
  if (TokenInformationClass != TokenPrivileges) {
    const bool known = TokenInformationClass >= TokenUser && TokenInformationClass <= TokenElevation;
    return winapi::FailWith(known ? ERROR_CALL_NOT_IMPLEMENTED : ERROR_INVALID_PARAMETER);
  }
  auto& privileges = ProcessPrivileges::Instance();
  std::lock_guard<std::mutex> guard(privileges.Lock());
  const auto& held = privileges.Held();
  *ReturnLength = SizeForCount(held.size());
  if (!TokenInformation || TokenInformationLength < *ReturnLength) {
    return winapi::FailWith(ERROR_INSUFFICIENT_BUFFER);
  }
  auto* out = static_cast<TOKEN_PRIVILEGES*>(TokenInformation);
  out->PrivilegeCount = static_cast<DWORD>(held.size());
  std::memcpy(out->Privileges, held.data(), held.size() * sizeof(LUID_AND_ATTRIBUTES));
  return TRUE;
}

// AdjustTokenPrivileges
extern "C" WINADVAPI BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                                       PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                                       PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  auto token = winapi::LookupHandleAs<Token>(TokenHandle);
  if (!token) return winapi::FailWith(ERROR_INVALID_HANDLE);
  const DWORD needed = PreviousState ? TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY : TOKEN_ADJUST_PRIVILEGES;
  if (!token->Allows(needed)) return winapi::FailWith(ERROR_ACCESS_DENIED);
  if (!DisableAllPrivileges && !NewState) return winapi::FailWith(ERROR_INVALID_PARAMETER);

  auto& privileges = ProcessPrivileges::Instance();
  std::lock_guard<std::mutex> guard(privileges.Lock());
  auto& held = privileges.Held();

  std::vector<Change> changes;
  bool notAllAssigned = false;
  if (DisableAllPrivileges) {
    for (const auto& p : held) {
      if (p.Attributes & SE_PRIVILEGE_ENABLED) changes.push_back({p.Luid, p.Attributes, p.Attributes & ~SE_PRIVILEGE_ENABLED});
    }
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const auto& wanted = NewState->Privileges[i];
      const auto it = FindHeld(held, wanted.Luid);
      if (it == held.end()) {
        notAllAssigned = true;  // the account does not hold it: skipped, as Windows does
        continue;
      }
      if (wanted.Attributes & SE_PRIVILEGE_REMOVED) {
        changes.push_back({it->Luid, it->Attributes, std::nullopt});
        continue;
      }
      const DWORD after = (wanted.Attributes & SE_PRIVILEGE_ENABLED) ? it->Attributes | SE_PRIVILEGE_ENABLED
                                                                     : it->Attributes & ~SE_PRIVILEGE_ENABLED;
      if (after != it->Attributes) changes.push_back({it->Luid, it->Attributes, after});
    }
  }

  // The previous state lists what changes; with too small a buffer nothing changes at all.
  const DWORD previousSize = SizeForCount(changes.size());
  if (PreviousState) {
    if (ReturnLength) *ReturnLength = previousSize;
    if (BufferLength < previousSize) return winapi::FailWith(ERROR_INSUFFICIENT_BUFFER);
    PreviousState->PrivilegeCount = static_cast<DWORD>(changes.size());
    for (size_t i = 0; i < changes.size(); ++i) {
      PreviousState->Privileges[i] = LUID_AND_ATTRIBUTES{changes[i].luid, changes[i].before};
    }
  }
  for (const auto& change : changes) {
    const auto it = FindHeld(held, change.luid);
    if (it == held.end()) continue;  // listed twice and removed already
    if (change.after) {
      it->Attributes = *change.after;
    } else {
      held.erase(it);
    }
  }
  winapi::FailWith(notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}

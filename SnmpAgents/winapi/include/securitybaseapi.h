// Access tokens and privileges (securitybaseapi.h, with OpenProcessToken from
// processthreadsapi.h and the privilege lookups from winbase.h).
//
// Privilege model of the layer: every process has one token, shared by all its token
// handles. A process running as root holds every privilege, like an elevated
// administrator, with SeChangeNotifyPrivilege, SeImpersonatePrivilege and
// SeCreateGlobalPrivilege enabled by default. Any other account holds the standard
// user set: SeShutdownPrivilege, SeChangeNotifyPrivilege (enabled by default),
// SeUndockPrivilege, SeIncreaseWorkingSetPrivilege and SeTimeZonePrivilege.
// Privileges only record state here; nothing in the layer checks them.
#pragma once
#include "windef.h"

#ifndef SE_CREATE_TOKEN_NAME
#define SE_CREATE_TOKEN_NAME L"SeCreateTokenPrivilege"
#define SE_ASSIGNPRIMARYTOKEN_NAME L"SeAssignPrimaryTokenPrivilege"
#define SE_LOCK_MEMORY_NAME L"SeLockMemoryPrivilege"
#define SE_INCREASE_QUOTA_NAME L"SeIncreaseQuotaPrivilege"
#define SE_MACHINE_ACCOUNT_NAME L"SeMachineAccountPrivilege"
#define SE_TAKE_OWNERSHIP_NAME L"SeTakeOwnershipPrivilege"
#define SE_LOAD_DRIVER_NAME L"SeLoadDriverPrivilege"
#define SE_SYSTEM_PROFILE_NAME L"SeSystemProfilePrivilege"
#define SE_SYSTEMTIME_NAME L"SeSystemtimePrivilege"
#define SE_PROF_SINGLE_PROCESS_NAME L"SeProfileSingleProcessPrivilege"
#define SE_INC_BASE_PRIORITY_NAME L"SeIncreaseBasePriorityPrivilege"
#define SE_CREATE_PAGEFILE_NAME L"SeCreatePagefilePrivilege"
#define SE_CREATE_PERMANENT_NAME L"SeCreatePermanentPrivilege"
#define SE_AUDIT_NAME L"SeAuditPrivilege"
#define SE_SYSTEM_ENVIRONMENT_NAME L"SeSystemEnvironmentPrivilege"
#define SE_CHANGE_NOTIFY_NAME L"SeChangeNotifyPrivilege"
#define SE_REMOTE_SHUTDOWN_NAME L"SeRemoteShutdownPrivilege"
#define SE_UNDOCK_NAME L"SeUndockPrivilege"
#define SE_SYNC_AGENT_NAME L"SeSyncAgentPrivilege"
#define SE_ENABLE_DELEGATION_NAME L"SeEnableDelegationPrivilege"
#define SE_MANAGE_VOLUME_NAME L"SeManageVolumePrivilege"
#define SE_IMPERSONATE_NAME L"SeImpersonatePrivilege"
#define SE_CREATE_GLOBAL_NAME L"SeCreateGlobalPrivilege"
#define SE_TRUSTED_CREDMAN_ACCESS_NAME L"SeTrustedCredManAccessPrivilege"
#define SE_RELABEL_NAME L"SeRelabelPrivilege"
#define SE_INC_WORKING_SET_NAME L"SeIncreaseWorkingSetPrivilege"
#define SE_TIME_ZONE_NAME L"SeTimeZonePrivilege"
#define SE_CREATE_SYMBOLIC_LINK_NAME L"SeCreateSymbolicLinkPrivilege"
#define SE_DELEGATE_SESSION_USER_IMPERSONATE_NAME L"SeDelegateSessionUserImpersonatePrivilege"
#endif

#define TOKEN_READ (STANDARD_RIGHTS_READ | TOKEN_QUERY)
#define TOKEN_WRITE (STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT)
#define TOKEN_EXECUTE STANDARD_RIGHTS_EXECUTE

#ifdef UNICODE
#define LookupPrivilegeValue LookupPrivilegeValueW
#define LookupPrivilegeName LookupPrivilegeNameW
#endif

WINAPI_BEGIN_DECLS
WINADVAPI BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
WINADVAPI BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                                      PHANDLE TokenHandle);
WINADVAPI BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid);
WINADVAPI BOOL WINAPI LookupPrivilegeNameW(LPCWSTR lpSystemName, PLUID lpLuid, LPWSTR lpName, LPDWORD cchName);
WINADVAPI BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                          LPVOID TokenInformation, DWORD TokenInformationLength,
                                          PDWORD ReturnLength);
WINADVAPI BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                            PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                            PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);
WINAPI_END_DECLS

// Service control manager over the registry's Services key and the stand-ins' pid files.
#include <winsvc.h>
#include <winapi_ext.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "errors.h"
#include "handles.h"
#include "paths.h"
#include "local_machine.h"
#include "registry_key.h"
#include "wide_text.h"

namespace {

using winapi::registry::KeyCloser;

constexpr const wchar_t* kServicesKey = L"SYSTEM\\CurrentControlSet\\Services";

class ServiceManager : public winapi::KernelObject {
 public:
  explicit ServiceManager(DWORD access) : access_(access) {}
  const char* TypeName() const override { return "ServiceManager"; }
  bool Allows(DWORD needed) const { return (access_ & needed) == needed; }

 private:
  DWORD access_;
};

class Service : public winapi::KernelObject {
 public:
  Service(std::wstring name, DWORD access) : name_(std::move(name)), access_(access) {}
  const char* TypeName() const override { return "Service"; }
  const std::wstring& Name() const { return name_; }
  bool Allows(DWORD needed) const { return (access_ & needed) == needed; }

 private:
  std::wstring name_;  // as stored in the registry
  DWORD access_;
};

DWORD ManagerAccess(DWORD desired) {
  DWORD access = desired;
  if (access & (MAXIMUM_ALLOWED | GENERIC_ALL)) access |= SC_MANAGER_ALL_ACCESS;
  if (access & GENERIC_READ) access |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
  if (access & GENERIC_WRITE) access |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
  if (access & GENERIC_EXECUTE) access |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  // Every caller may connect, as on Windows.
  return access | SC_MANAGER_CONNECT;
}

DWORD ServiceAccess(DWORD desired) {
  DWORD access = desired;
  if (access & (MAXIMUM_ALLOWED | GENERIC_ALL)) access |= SERVICE_ALL_ACCESS;
  if (access & GENERIC_READ) access |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                       SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
  if (access & GENERIC_WRITE) access |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
  if (access & GENERIC_EXECUTE) access |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP |
                                          SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
  return access;
}

HKEY OpenServiceKey(const std::wstring& name) {
  HKEY key = nullptr;
  const std::wstring path = std::wstring(kServicesKey) + L"\\" + name;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
  return key;
}

DWORD ReadDword(HKEY key, const wchar_t* name, DWORD fallback) {
  DWORD value = 0, type = 0, size = sizeof value;
  const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value ? value : fallback;
}

// String or string list without its terminators (lists keep their inner zeros).
std::wstring ReadText(HKEY key, const wchar_t* name) {
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return std::wstring();
  std::wstring text(size / sizeof(WCHAR), L'\0');
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS) {
    return std::wstring();
  }
  text.resize(size / sizeof(WCHAR));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

std::vector<std::wstring> SplitList(const std::wstring& list) {
  std::vector<std::wstring> items;
  size_t start = 0;
  while (start < list.size()) {
    const auto end = list.find(L'\0', start);
    const std::wstring item = list.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (!item.empty()) items.push_back(item);
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return items;
}

std::string PidFilePath(const std::wstring& service) {
  const std::string dir = winapi::StateDir() + "/run";
  winapi::MakeDirectories(dir);
  return dir + "/" + winapi::Utf8FromWide(service) + ".pid";
}

bool IsAlive(pid_t pid) {
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  // A zombie has ended; only its parent has not collected it yet.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return true;
  const char state = line[close + 2];
  return state != 'Z' && state != 'X';
}

struct RunState {
  DWORD state = SERVICE_STOPPED;
  DWORD pid = 0;
  DWORD exitCode = ERROR_SUCCESS;
};

RunState ServiceRunState(const std::wstring& service) {
  RunState run;
  std::ifstream file(PidFilePath(service));
  if (!file) return run;
  long pid = 0;
  if (!(file >> pid) || pid <= 0) return run;
  if (IsAlive(static_cast<pid_t>(pid))) {
    run.state = SERVICE_RUNNING;
    run.pid = static_cast<DWORD>(pid);
    return run;
  }
  run.exitCode = ERROR_PROCESS_ABORTED;  // it left its pid file behind: it did not stop cleanly
  return run;
}

SERVICE_STATUS_PROCESS StatusOf(const Service& service) {
  SERVICE_STATUS_PROCESS status{};
  KeyCloser key(OpenServiceKey(service.Name()));
  status.dwServiceType = key.Get() ? ReadDword(key.Get(), L"Type", SERVICE_WIN32_OWN_PROCESS) : SERVICE_WIN32_OWN_PROCESS;
  const RunState run = ServiceRunState(service.Name());
  status.dwCurrentState = run.state;
  status.dwProcessId = run.pid;
  status.dwWin32ExitCode = run.exitCode;
  if (run.state == SERVICE_RUNNING) status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  return status;
}

}  // namespace

// OpenSCManagerW
extern "C" WINADVAPI SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                                     DWORD dwDesiredAccess) {
  if (!winapi::IsLocalMachine(lpMachineName)) {
    winapi::FailWith(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (lpDatabaseName && *lpDatabaseName && !winapi::EqualsNoCase(lpDatabaseName, SERVICES_ACTIVE_DATABASEW)) {
    winapi::FailWith(ERROR_DATABASE_DOES_NOT_EXIST);
    return nullptr;
  }
  return winapi::GuardedHandle<SC_HANDLE>([&] {
    return winapi::InsertHandle(std::make_shared<ServiceManager>(ManagerAccess(dwDesiredAccess)));
  });
}

// OpenServiceW
extern "C" WINADVAPI SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  auto manager = winapi::LookupHandleAs<ServiceManager>(hSCManager);
  if (!manager) {
    winapi::FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!manager->Allows(SC_MANAGER_CONNECT)) {
    winapi::FailWith(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!lpServiceName) {
    winapi::FailWith(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  const std::wstring_view name(lpServiceName);
  if (name.empty() || name.size() > 256 || name.find_first_of(L"\\/") != std::wstring_view::npos) {
    winapi::FailWith(ERROR_INVALID_NAME);
    return nullptr;
  }
  return winapi::GuardedHandle<SC_HANDLE>([&]() -> SC_HANDLE {
    KeyCloser key(OpenServiceKey(std::wstring(name)));
    if (!key.Get()) {
      winapi::FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
      return nullptr;
    }
    // The stored spelling names the pid file, whatever case the caller used.
    std::wstring stored(name);
    if (auto open = winapi::LookupHandleAs<winapi::registry::RegistryKey>(key.Get())) {
      stored = open->NtPath().substr(open->NtPath().rfind(L'\\') + 1);
    }
    return static_cast<SC_HANDLE>(
        winapi::InsertHandle(std::make_shared<Service>(std::move(stored), ServiceAccess(dwDesiredAccess))));
  });
}

// CloseServiceHandle
extern "C" WINADVAPI BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  const bool known = winapi::LookupHandleAs<ServiceManager>(hSCObject) || winapi::LookupHandleAs<Service>(hSCObject);
  if (!known || !winapi::RemoveHandle(hSCObject)) return winapi::FailWith(ERROR_INVALID_HANDLE);
  return TRUE;
}

// QueryServiceStatus
extern "C" WINADVAPI BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  auto service = winapi::LookupHandleAs<Service>(hService);
  if (!service) return winapi::FailWith(ERROR_INVALID_HANDLE);
  if (!service->Allows(SERVICE_QUERY_STATUS)) return winapi::FailWith(ERROR_ACCESS_DENIED);
  if (!lpServiceStatus) return winapi::FailWith(ERROR_INVALID_ADDRESS);
  return winapi::GuardedBool([&] {
    const SERVICE_STATUS_PROCESS status = StatusOf(*service);
    std::memcpy(lpServiceStatus, &status, sizeof(SERVICE_STATUS));  // SERVICE_STATUS is its prefix
    return TRUE;
  });
}

// QueryServiceStatusEx
extern "C" WINADVAPI BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer,
                                                      DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
  auto service = winapi::LookupHandleAs<Service>(hService);
  if (!service) return winapi::FailWith(ERROR_INVALID_HANDLE);
  if (InfoLevel != SC_STATUS_PROCESS_INFO) return winapi::FailWith(ERROR_INVALID_LEVEL);
  if (!service->Allows(SERVICE_QUERY_STATUS)) return winapi::FailWith(ERROR_ACCESS_DENIED);
  if (!pcbBytesNeeded) return winapi::FailWith(ERROR_INVALID_ADDRESS);
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) return winapi::FailWith(ERROR_INSUFFICIENT_BUFFER);
  return winapi::GuardedBool([&] {
    const SERVICE_STATUS_PROCESS status = StatusOf(*service);
    std::memcpy(lpBuffer, &status, sizeof status);
    return TRUE;
  });
}

// QueryServiceConfigW
extern "C" WINADVAPI BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig,
                                                     DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
  auto service = winapi::LookupHandleAs<Service>(hService);
  if (!service) return winapi::FailWith(ERROR_INVALID_HANDLE);
  if (!service->Allows(SERVICE_QUERY_CONFIG)) return winapi::FailWith(ERROR_ACCESS_DENIED);
  if (!pcbBytesNeeded) return winapi::FailWith(ERROR_INVALID_ADDRESS);
  return winapi::GuardedBool([&] {
    KeyCloser key(OpenServiceKey(service->Name()));
    if (!key.Get()) return winapi::FailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    std::wstring dependencies;
    for (const auto& item : SplitList(ReadText(key.Get(), L"DependOnService"))) dependencies += item + L'\0';
    for (const auto& item : SplitList(ReadText(key.Get(), L"DependOnGroup"))) {
      dependencies += SC_GROUP_IDENTIFIERW + item + L'\0';
    }
    dependencies += L'\0';
    std::wstring startName = ReadText(key.Get(), L"ObjectName");
    if (startName.empty()) startName = L"LocalSystem";
    std::wstring displayName = ReadText(key.Get(), L"DisplayName");
    if (displayName.empty()) displayName = service->Name();
    // The strings follow the structure in the caller's buffer, each with its terminator.
    const std::wstring strings[] = {ReadText(key.Get(), L"ImagePath") + L'\0', ReadText(key.Get(), L"Group") + L'\0',
                                    dependencies, startName + L'\0', displayName + L'\0'};
    size_t needed = sizeof(QUERY_SERVICE_CONFIGW);
    for (const auto& s : strings) needed += s.size() * sizeof(WCHAR);
    *pcbBytesNeeded = static_cast<DWORD>(needed);
    if (!lpServiceConfig || cbBufSize < needed) return winapi::FailWith(ERROR_INSUFFICIENT_BUFFER);

    lpServiceConfig->dwServiceType = ReadDword(key.Get(), L"Type", SERVICE_WIN32_OWN_PROCESS);
    lpServiceConfig->dwStartType = ReadDword(key.Get(), L"Start", SERVICE_DEMAND_START);
    lpServiceConfig->dwErrorControl = ReadDword(key.Get(), L"ErrorControl", SERVICE_ERROR_NORMAL);
    lpServiceConfig->dwTagId = ReadDword(key.Get(), L"Tag", 0);
    auto* cursor = reinterpret_cast<WCHAR*>(lpServiceConfig + 1);
    LPWSTR* targets[] = {&lpServiceConfig->lpBinaryPathName, &lpServiceConfig->lpLoadOrderGroup,
                         &lpServiceConfig->lpDependencies, &lpServiceConfig->lpServiceStartName,
                         &lpServiceConfig->lpDisplayName};
    for (size_t i = 0; i < std::size(strings); ++i) {
      *targets[i] = cursor;
      std::memcpy(cursor, strings[i].data(), strings[i].size() * sizeof(WCHAR));
      cursor += strings[i].size();
    }
    return TRUE;
  });
}

// StartServiceW
extern "C" WINADVAPI BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD /*dwNumServiceArgs*/,
                                               LPCWSTR* /*lpServiceArgVectors*/) {
  if (!winapi::LookupHandleAs<Service>(hService)) return winapi::FailWith(ERROR_INVALID_HANDLE);
  return winapi::FailWith(ERROR_CALL_NOT_IMPLEMENTED);
}

// ControlService
extern "C" WINADVAPI BOOL WINAPI ControlService(SC_HANDLE hService, DWORD /*dwControl*/,
                                                LPSERVICE_STATUS /*lpServiceStatus*/) {
  if (!winapi::LookupHandleAs<Service>(hService)) return winapi::FailWith(ERROR_INVALID_HANDLE);
  return winapi::FailWith(ERROR_CALL_NOT_IMPLEMENTED);
}

// WinapiServicePidFile
extern "C" WINAPI_EXPORT DWORD WINAPI WinapiServicePidFile(LPCWSTR lpServiceName, LPWSTR lpPath, DWORD cchPath) {
  if (!lpServiceName || !*lpServiceName) {
    winapi::FailWith(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return winapi::GuardedLastError<DWORD>(0, [&] {
    const std::wstring path = winapi::WideFromUtf8(PidFilePath(lpServiceName));
    if (!lpPath || cchPath <= path.size()) return static_cast<DWORD>(path.size() + 1);
    std::memcpy(lpPath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(path.size());
  });
}

namespace winapi {

bool IsLocalMachine(LPCWSTR machine) {
  if (!machine || !*machine) return true;
  std::wstring_view name(machine);
  while (name.starts_with(L"\\")) name.remove_prefix(1);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::wstring local = winapi::WideFromUtf8(host);
  const std::wstring shortLocal = local.substr(0, local.find(L'.'));
  return winapi::EqualsNoCase(name, local) || winapi::EqualsNoCase(name, shortLocal) ||
         winapi::EqualsNoCase(name, L"localhost") || name == L".";
}

}  // namespace winapi

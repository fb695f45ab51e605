#include "service_mgr.h"

#include <winsvc.h>

#include <vector>

#include "debug_trace.h"
#include "win32_handle.h"

namespace {

constexpr DWORD kConfigBufferBytes = 1024;

bool QueryConfig(SC_HANDLE service, const wchar_t* serviceName) {
  std::vector<BYTE> buffer(kConfigBufferBytes);
  DWORD needed = 0;
  BOOL queried = QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                     static_cast<DWORD>(buffer.size()), &needed);
  if (!queried && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size()) {
    buffer.resize(needed);
    queried = QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed);
  }
  if (!queried) {
    DBG_TRACE(1, L"\nCServiceMgr         : ERROR! QueryServiceConfig \"%s\" FAILED (ErrorCode 0x%X)", serviceName,
              GetLastError());
    return false;
  }
  DBG_TRACE(4, L"\nCServiceMgr         : QueryServiceConfig for \"%s\" OK", serviceName);
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) != FALSE;
}

}  // namespace

bool CServiceMgr::IsServiceInstalled(const wchar_t* serviceName) {
  if (!serviceName || !*serviceName) return false;
  DBG_TRACE(4, L"\nCServiceMgr         : Open service control manager database \"%s\" at \"%s\"...", L"default",
            L"local system");
  CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  DBG_TRACE(4, L"\nCServiceMgr         : ... open service control manager database returned handle 0x%X",
            static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(manager.Get())));
  if (!manager.Get()) {
    DBG_TRACE(1, L"\nCServiceMgr         : ERROR 0x%X! Could NOT open service control manager database \"%s\" at \"%s\"!!",
              GetLastError(), L"default", L"local system");
    return false;
  }
  bool installed = false;
  {
    CServiceHandle service(OpenServiceW(manager.Get(), serviceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service.Get()) {
      DBG_TRACE(4, L"\nCServiceMgr         : WARNING! OpenService() \"%s\" failed (ErrorCode 0x%X)!", serviceName,
                GetLastError());
    } else {
      installed = QueryConfig(service.Get(), serviceName);
    }
  }
  if (CloseServiceHandle(manager.Release())) {
    DBG_TRACE(4, L"\nCServiceMgr         : Service control manager database successfully closed!");
  } else {
    DBG_TRACE(1, L"\nCServiceMgr         : ERROR 0x%X! FAILED to close service control manager database!",
              GetLastError());
  }
  return installed;
}

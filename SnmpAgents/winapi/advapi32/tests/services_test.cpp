// Service control manager conformance: handles, missing services, status and
// configuration sizing of an installed service.
#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conformance.h"

namespace {

using conformance::kSentinel;
using conformance::OnOurLayer;

constexpr const wchar_t* kLayerService = L"FerrowindConformanceSvc";
constexpr const wchar_t* kLayerServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\FerrowindConformanceSvc";

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ScHandle() {
    if (handle_) CloseServiceHandle(handle_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE Get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}

void SetString(HKEY key, const wchar_t* name, DWORD type, const std::wstring& text) {
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))));
}

// Our layer installs a service by its key; under Wine an existing service stands in.
class ServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnOurLayer()) {
      installed_ = L"PlugPlay";
      return;
    }
    installed_ = kLayerService;
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLayerServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    SetDword(key, L"Type", SERVICE_WIN32_OWN_PROCESS);
    SetDword(key, L"Start", SERVICE_DEMAND_START);
    SetString(key, L"ImagePath", REG_EXPAND_SZ, L"%SystemRoot%\\system32\\ferrowind.exe");
    SetString(key, L"DisplayName", REG_SZ, L"Ferrowind conformance service");
    SetString(key, L"DependOnService", REG_MULTI_SZ, std::wstring(L"RpcSs\0Tcpip", 11));
    RegCloseKey(key);
  }
  void TearDown() override {
    if (OnOurLayer()) RegDeleteTreeW(HKEY_LOCAL_MACHINE, kLayerServiceKey);
  }

  std::wstring installed_;
};

TEST_F(ServicesTest, ManagerAndMissingServices) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_NE(nullptr, manager.Get()) << "error " << GetLastError();
  ScHandle active(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
  EXPECT_NE(nullptr, active.Get()) << "error " << GetLastError();

  struct OpenCase {
    SC_HANDLE manager;
    const wchar_t* name;
    DWORD expectedError;
  };
  const OpenCase cases[] = {
      {manager.Get(), L"FerrowindNoSuchService", ERROR_SERVICE_DOES_NOT_EXIST},
      {nullptr, L"FerrowindNoSuchService", ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SetLastError(kSentinel);
    ScHandle service(OpenServiceW(c.manager, c.name, SERVICE_QUERY_STATUS));
    EXPECT_EQ(nullptr, service.Get());
    EXPECT_EQ(c.expectedError, GetLastError());
  }

  SERVICE_STATUS status{};
  SetLastError(kSentinel);
  EXPECT_FALSE(QueryServiceStatus(nullptr, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseServiceHandle(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(ServicesTest, InstalledServiceReportsStatusAndConfiguration) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_NE(nullptr, manager.Get());
  ScHandle service(OpenServiceW(manager.Get(), installed_.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
  ASSERT_NE(nullptr, service.Get()) << "error " << GetLastError();

  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service.Get(), &status)) << "error " << GetLastError();
  EXPECT_NE(0u, status.dwServiceType & SERVICE_WIN32);
  EXPECT_GE(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_LE(status.dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));

  DWORD needed = 0;
  BYTE small[8];
  SetLastError(kSentinel);
  EXPECT_FALSE(QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, small, sizeof small, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(sizeof(SERVICE_STATUS_PROCESS), needed);
  SERVICE_STATUS_PROCESS process{};
  ASSERT_TRUE(QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                   sizeof process, &needed));
  EXPECT_EQ(status.dwCurrentState, process.dwCurrentState);
  if (process.dwCurrentState == SERVICE_STOPPED) {
    EXPECT_EQ(0u, process.dwProcessId);
  }

  needed = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(QueryServiceConfigW(service.Get(), nullptr, 0, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGW));
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(service.Get(), config, needed, &needed)) << "error " << GetLastError();
  const auto inside = [&](const void* p) {
    return p >= buffer.data() && p < buffer.data() + buffer.size();
  };
  for (const WCHAR* text : {config->lpBinaryPathName, config->lpDisplayName, config->lpServiceStartName,
                            config->lpDependencies, config->lpLoadOrderGroup}) {
    EXPECT_TRUE(inside(text)) << "strings live in the caller's buffer";
  }
  EXPECT_NE(0u, config->dwServiceType & SERVICE_WIN32);
  if (OnOurLayer()) {
    EXPECT_EQ(std::wstring(L"%SystemRoot%\\system32\\ferrowind.exe"), config->lpBinaryPathName);
    EXPECT_EQ(std::wstring(L"Ferrowind conformance service"), config->lpDisplayName);
    EXPECT_EQ(std::wstring(L"RpcSs"), config->lpDependencies);
    EXPECT_EQ(std::wstring(L"Tcpip"), config->lpDependencies + 6);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config->dwStartType);
  }
}

TEST_F(ServicesTest, ServiceHandleRightsAreEnforced) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_NE(nullptr, manager.Get());
  ScHandle configOnly(OpenServiceW(manager.Get(), installed_.c_str(), SERVICE_QUERY_CONFIG));
  ASSERT_NE(nullptr, configOnly.Get()) << "error " << GetLastError();
  SERVICE_STATUS status{};
  SetLastError(kSentinel);
  EXPECT_FALSE(QueryServiceStatus(configOnly.Get(), &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

}  // namespace

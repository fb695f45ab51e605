// The factory of the test agent's plugin module: attached to the management service
// when it runs, so the demo shows settings and forwarding; detached otherwise.
#include "test_agent.h"

#include <windows.h>
#include <winsvc.h>

#include <new>

namespace {

// Only the service manager's word counts: a process of that name elsewhere on the
// machine (another state directory) is not this agent's service.
bool ManagementServiceRunning() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  SC_HANDLE service = OpenServiceW(manager, L"MgtCore", SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  const bool running = service && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return running;
}

}  // namespace

CSnmpAgent* CreateAgentInstance() {
  using fw::testing::CTestAgent;
  const auto service = ManagementServiceRunning() ? CTestAgent::Service::MgtCore : CTestAgent::Service::Detached;
  return new (std::nothrow) CTestAgent(true, service);
}

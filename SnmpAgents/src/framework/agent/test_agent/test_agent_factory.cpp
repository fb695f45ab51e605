// The factory of the test agent's plugin module: attached to the management service
// when it runs, so the demo shows settings and forwarding; detached otherwise.
#include "test_agent.h"

#include <windows.h>
#include <winsvc.h>

#include <memory>
#include <new>

#include "win32_handle.h"

namespace {

// Only the service manager's word counts: a process of that name elsewhere on the
// machine (another state directory) is not this agent's service.
bool ManagementServiceRunning() {
  const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  const CServiceHandle service(OpenServiceW(manager.Get(), L"MgtCore", SERVICE_QUERY_STATUS));
  SERVICE_STATUS status{};
  return service && QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}

// Decides at each attach, on the main thread: the service manager is no business of
// DllMain, which creates the agent.
class CServiceProbingTarnClient final : public CTarnClient {
 public:
  using CTarnClient::CTarnClient;
  using CTarnClient::Request;

  bool Attach() override {
    m_detached = !ManagementServiceRunning();
    return m_detached || CTarnClient::Attach();
  }
  bool Detach() override { return m_detached || CTarnClient::Detach(); }
  bool EnableEvents(bool enable, bool fireCached) override {
    return m_detached || CTarnClient::EnableEvents(enable, fireCached);
  }
  LONG Request(Tarn& record, DWORD timeoutSeconds) override {
    if (!m_detached) return CTarnClient::Request(record, timeoutSeconds);
    record.Set(L"ST", kTarnStatusFailed);
    return kTarnStatusFailed;
  }

 private:
  bool m_detached = true;
};

}  // namespace

CSnmpAgent* CreateAgentInstance() {
  using fw::testing::CTestAgent;
  auto* agent = new (std::nothrow) CTestAgent(true, CTestAgent::Service::MgtCore);
  if (agent) agent->UseTarnClient(std::make_unique<CServiceProbingTarnClient>(agent->TarnEvents()));
  return agent;
}

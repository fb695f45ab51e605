// The factory of the test agent's plugin module: attached to the management service
// when it runs, so the demo shows settings and forwarding; detached otherwise.
#include "test_agent.h"

#include <new>

CSnmpAgent* CreateAgentInstance() {
  using fw::testing::CTestAgent;
  const auto service = CRelayClient::IsServerRunning() ? CTestAgent::Service::MgtCore : CTestAgent::Service::Detached;
  return new (std::nothrow) CTestAgent(true, service);
}

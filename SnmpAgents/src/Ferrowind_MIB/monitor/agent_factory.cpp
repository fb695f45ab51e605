// The factory of the Ferrowind_MIB module: the one cluster agent with its MIB region.
#include <new>

#include "cluster_agent.h"

CSnmpAgent* CreateAgentInstance() {
  auto* agent = new (std::nothrow) CClusterAgent();
  if (!agent) return nullptr;
  agent->m_ProductKeyName = L"Vornekt SNMP Agents";
  agent->AddMibRegion(kClusterAgentRegion, nullptr);
  return agent;
}

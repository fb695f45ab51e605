// The agent's side of management-service object values: the exchange runs with the
// agent's management client and mapping table, under the agent's name.
#include "snmp_agent.h"

#include "tarn_values.h"

SNMPSTATUS CAgentTarnRequests::RequestTarnGet(MibObject& object) { return m_agent.RequestTarnGet(object); }
SNMPSTATUS CAgentTarnRequests::RequestTarnCheckSet(MibObject& object) { return m_agent.RequestTarnCheckSet(object); }
SNMPSTATUS CAgentTarnRequests::RequestTarnSet(MibObject& object, SnmpVarBind* varbind) {
  return m_agent.RequestTarnSet(object, varbind);
}

SNMPSTATUS CSnmpAgent::RequestTarnGet(MibObject& object) {
  return CTarnValues(*m_pTarnClient, m_EnumMappingTable, g_AgentName.c_str()).Get(object);
}

SNMPSTATUS CSnmpAgent::RequestTarnCheckSet(MibObject& object) {
  return CTarnValues(*m_pTarnClient, m_EnumMappingTable, g_AgentName.c_str()).CheckSet(object);
}

SNMPSTATUS CSnmpAgent::RequestTarnSet(MibObject& object, SnmpVarBind* varbind) {
  return CTarnValues(*m_pTarnClient, m_EnumMappingTable, g_AgentName.c_str()).Set(object, varbind);
}

SNMPSTATUS CSnmpAgent::ConvertTarnStatus(LONG commandStatus) {
  return ::ConvertTarnStatus(commandStatus, g_AgentName.c_str());
}

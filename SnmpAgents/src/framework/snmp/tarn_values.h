// The values of MIB objects that carry a management-service attribute: read, check and
// write them through the management client, translating between service values and MIB
// values with the defaults, the enumeration offset and the agent's mapping table, and
// the service's command status into an SNMP error status.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <optional>

#include "mib_tree.h"
#include "relay_client.h"
#include "tarn_attribute.h"

// SNMP status for a command status, traced under the agent's name.
SNMPSTATUS ConvertTarnStatus(LONG commandStatus, const wchar_t* agentName);

class CTarnValues {
 public:
  CTarnValues(CRelayClient& client, const EnumMappingTable& mapping, const wchar_t* agentName)
      : m_client(client), m_mapping(mapping), m_agentName(agentName) {}

  SNMPSTATUS Get(MibObject& object);
  SNMPSTATUS CheckSet(MibObject& object);
  SNMPSTATUS Set(MibObject& object, SnmpVarBind* varbind);

 private:
  void Fetch(CTarnAttribute& record);
  SNMPSTATUS ReadText(MibObject& object, const CTarnAttribute& record);
  SNMPSTATUS ReadInteger(MibObject& object, const CTarnAttribute& record);
  SNMPSTATUS ReadCounter(MibObject& object, const CTarnAttribute& record);
  LONG MappedValue(const MibObject& object, LONG serviceValue, LONG fallback);
  // The service value of an INTEGER SET; nothing when it has none (bad value).
  std::optional<LONG> ServiceInteger(const MibObject& object, LONG mibValue);
  const std::map<LONG, LONG>* MappingList(const MibObject& object) const;

  CRelayClient& m_client;
  const EnumMappingTable& m_mapping;
  const wchar_t* m_agentName;
};

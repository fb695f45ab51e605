// The net-snmp side of the host: value conversion, the one request handler over every
// region of every agent, and SNMPv2 notifications from the agents' v1 traps.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "host_types.h"

struct variable_list;

namespace host {

class LoadedAgent;

// net-snmp varbind <-> host varbind. False when the type has no SNMP form here.
bool FromNetSnmp(const variable_list& in, VarBind& out);
bool ToNetSnmp(const VarBind& in, variable_list& out);

// The notification varbinds of RFC 3584 (SNMPv1 to SNMPv2): sysUpTime.0, snmpTrapOID.0,
// the trap's varbinds, snmpTrapEnterprise.0. Null when the trap cannot be expressed.
variable_list* BuildNotification(const Trap& trap);
// snmpTrapOID.0 of a v1 trap: enterprise.0.specific, or snmpTraps.(generic+1).
Oid NotificationOid(const Trap& trap);

// Registers every region of the agent with the master, which waits up to timeoutSeconds
// for each answer; false (and logs) on failure.
bool RegisterRegions(LoadedAgent& agent, int timeoutSeconds);
// Ends the agents' query threads (after their current query); before the agents close.
void StopQueries();

}  // namespace host

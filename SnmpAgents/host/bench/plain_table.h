// The yardstick of the host's walk benchmarks: the objects of the test agent's benchmark
// table (.1.3.6.1.4.1.99999.2.3.1.N = INTEGER N) or of a dump, with one net-snmp handler
// over an ordered map, the usual way to serve a large table. Served by a plain AgentX
// subagent (plain_subagent) or inside snmpd itself (plain_dlmod).
#pragma once
#include <string>
#include <vector>

namespace plain {

// Fills the table with ROWS objects, or from a dump ("OID LETTER VALUE" lines) registered
// under root; registers the handler. False when a dump line cannot be read.
bool RegisterTable(long rows, const std::string& dump, const std::string& root);

}  // namespace plain

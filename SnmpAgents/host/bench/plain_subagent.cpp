// A plain AgentX subagent serving the yardstick table (see plain_table.h).
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <signal.h>

#include <cstdlib>
#include <string>

#include "plain_table.h"

namespace {
volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }
}  // namespace

// plain_subagent SOCKET ROWS: the test agent's benchmark table.
// plain_subagent SOCKET --dump FILE ROOT: the objects of a dump, registered under ROOT.
int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const bool dump = std::string(argv[2]) == "--dump";
  if (dump && argc < 5) return 2;
  const long rows = dump ? 0 : std::strtol(argv[2], nullptr, 10);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, argv[1]);
  init_agent("plain-subagent");
  plain::RegisterTable(rows, dump ? argv[3] : "", dump ? argv[4] : "");
  init_snmp("plain-subagent");
  signal(SIGTERM, OnStop);
  signal(SIGINT, OnStop);
  while (!g_stop) agent_check_and_process(1);
  snmp_shutdown("plain-subagent");
  return 0;
}

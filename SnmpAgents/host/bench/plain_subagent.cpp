// The yardstick of the host's walk benchmark: a plain AgentX subagent serving the same
// objects as the test agent's benchmark table (.1.3.6.1.4.1.99999.2.3.1.N = INTEGER N),
// with one net-snmp handler over an ordered map, the usual way to serve a large table.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <signal.h>

#include <cstdlib>
#include <map>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

using Key = std::vector<oid>;
std::map<Key, long> g_objects;

int Handle(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* info,
           netsnmp_request_info* requests) {
  for (netsnmp_request_info* r = requests; r; r = r->next) {
    const Key asked(r->requestvb->name, r->requestvb->name + r->requestvb->name_length);
    if (info->mode == MODE_GET) {
      auto it = g_objects.find(asked);
      if (it == g_objects.end()) {
        netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
        continue;
      }
      snmp_set_var_typed_value(r->requestvb, ASN_INTEGER, &it->second, sizeof it->second);
    } else if (info->mode == MODE_GETNEXT) {
      auto it = g_objects.upper_bound(asked);
      if (it == g_objects.end()) {
        netsnmp_set_request_error(info, r, SNMP_ENDOFMIBVIEW);
        continue;
      }
      snmp_set_var_objid(r->requestvb, it->first.data(), it->first.size());
      snmp_set_var_typed_value(r->requestvb, ASN_INTEGER, &it->second, sizeof it->second);
    }
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const long rows = std::strtol(argv[2], nullptr, 10);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, argv[1]);
  init_agent("plain-subagent");
  static const oid root[] = {1, 3, 6, 1, 4, 1, 99999, 2};
  for (long i = 1; i <= rows; ++i) g_objects[{1, 3, 6, 1, 4, 1, 99999, 2, 3, 1, static_cast<oid>(i)}] = i;
  netsnmp_register_handler(
      netsnmp_create_handler_registration("plain", Handle, root, OID_LENGTH(root), HANDLER_CAN_RONLY));
  init_snmp("plain-subagent");
  signal(SIGTERM, OnStop);
  signal(SIGINT, OnStop);
  while (!g_stop) agent_check_and_process(1);
  snmp_shutdown("plain-subagent");
  return 0;
}

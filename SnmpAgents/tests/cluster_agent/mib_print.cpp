// Builds the cluster MIB in process from the running cluster service (the layer's
// environment names it) and prints every object as net-snmp prints a walked varbind with
// numeric OIDs, after the conversion the host applies: the end-to-end test compares a
// walk through snmpd with it line by line.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "mib_print_build.h"
#include "snmp_bridge.h"

int main() {
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OID_OUTPUT_FORMAT, NETSNMP_OID_OUTPUT_NUMERIC);
  setenv("MIBS", "", 1);
  init_snmp("mib_print");
  std::vector<host::VarBind> objects;
  if (!BuildClusterMib(objects)) {
    std::fprintf(stderr, "mib_print: no complete build from the cluster service\n");
    return 1;
  }
  for (const host::VarBind& object : objects) {
    netsnmp_variable_list vars{};
    std::vector<oid> name(object.name.begin(), object.name.end());
    snmp_set_var_objid(&vars, name.data(), name.size());
    if (host::ToNetSnmp(object, vars)) {
      static char line[1 << 16];
      snprint_variable(line, sizeof line, vars.name, vars.name_length, &vars);
      std::printf("%s\n", line);
    }
    snmp_free_var_internals(&vars);
  }
  return 0;
}

#include "mib_print_build.h"

#include "cluster_mib_builder.h"

namespace {

host::VarBind ToHost(const SnmpVarBind& in) {
  host::VarBind out;
  for (UINT i = 0; i < in.name.idLength; ++i) out.name.push_back(in.name.ids[i]);
  out.value.type = in.value.asnType;
  switch (in.value.asnType) {
    case ASN_OCTETSTRING:
    case ASN_IPADDRESS:
      if (in.value.asnValue.string.stream) {
        out.value.bytes.assign(reinterpret_cast<const char*>(in.value.asnValue.string.stream),
                               in.value.asnValue.string.length);
      }
      break;
    default: out.value.integer = in.value.asnValue.number; break;
  }
  return out;
}

}  // namespace

bool BuildClusterMib(std::vector<host::VarBind>& objects) {
  CCluster cluster;
  if (!cluster.Open(nullptr)) return false;
  cluster.EnumerateAll();
  CClusterIpAddressFinder finder;
  CClusterMibBuilder builder(cluster, finder);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  builder.SetMibTableMutex(mutex);
  CSnmpMibTree tree(nullptr);
  const bool built = builder.BuildMib(tree);
  SnmpVarBind varbind = EmptyVarBind();
  SNMPSTATUS status = 0;
  while (tree.MibGetVarbind(&varbind, SNMP_PDU_GETNEXT, &status, nullptr) && status == 0) {
    objects.push_back(ToHost(varbind));
  }
  SnmpUtilVarBindFree(&varbind);
  CloseHandle(mutex);
  return built;
}

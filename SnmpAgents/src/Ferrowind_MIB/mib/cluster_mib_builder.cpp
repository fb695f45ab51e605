#include "cluster_mib_builder.h"

#include <string>
#include <vector>

#include "cluster_snapshot.h"
#include "debug_trace.h"
#include "mib_catalogue.h"
#include "mib_table_lock.h"
#include "trace_text.h"

namespace {

constexpr BYTE kNoAddress[4] = {0, 0, 0, 0};

// The UTF-16LE code units of a MULTI_SZ's strings, each with its terminator, then the
// closing zero; empty when it holds no non-empty string.
std::string AdminExtensionBytes(const CByteBuffer& multiSz) {
  const auto* text = reinterpret_cast<const wchar_t*>(multiSz.data());
  const size_t length = multiSz.size() / sizeof(wchar_t);
  std::string bytes;
  size_t start = 0;
  while (start < length && text[start] != L'\0') {
    size_t end = start;
    while (end < length && text[end] != L'\0') ++end;
    fw::diag::AppendUtf16Le(bytes, std::wstring_view(text + start, end - start));
    bytes.append(2, '\0');
    start = end + 1;
  }
  if (!bytes.empty()) bytes.append(2, '\0');
  return bytes;
}

// The cells of one row of one table (or the scalars, without indexes).
class CMibRow {
 public:
  CMibRow(CSnmpMibTree& tree, std::initializer_list<DWORD> indexes) : m_tree(tree) {
    for (DWORD index : indexes) m_indexes[m_count++] = index;
  }

  void Number(MibId id, LONG value) {
    const MibObjectDef& def = MibDef(id);
    if (m_count == 0) {
      m_tree.AddConstEntry(def.OidTemplate, def.Name, value, AsnTypeOf(def.Syntax));
      return;
    }
    m_tree.AddConstTableEntry(def.OidTemplate, def.Name, value, AsnTypeOf(def.Syntax), m_indexes[0], m_indexes[1],
                              m_indexes[2], m_indexes[3]);
  }

  void Text(MibId id, const wchar_t* text) {
    const MibObjectDef& def = MibDef(id);
    if (m_count == 0) {
      m_tree.AddConstEntry(def.OidTemplate, def.Name, text, AsnTypeOf(def.Syntax));
      return;
    }
    m_tree.AddConstTableEntry(def.OidTemplate, def.Name, text, AsnTypeOf(def.Syntax), m_indexes[0], m_indexes[1],
                              m_indexes[2], m_indexes[3]);
  }

  void Bytes(MibId id, const BYTE* bytes, size_t length) {
    const MibObjectDef& def = MibDef(id);
    m_tree.AddConstTableEntry(def.OidTemplate, def.Name, bytes, static_cast<UINT>(length), AsnTypeOf(def.Syntax),
                              m_indexes[0], m_indexes[1], m_indexes[2], m_indexes[3]);
  }

  void State(MibId id, bool read, LONG state) { Number(id, MapState(MibDef(id).Source, read, state)); }

  // Every column of `table` taken from `list` (null when the list was not read), by the
  // catalogue's presence rules and mappings.
  void Properties(MibTable table, MibList list, const CByteBuffer* data, bool networkFound = false) {
    if (!data) return;
    for (const MibObjectDef& def : MibCatalogue()) {
      if (def.Table != table || def.List != list) continue;
      const bool ipColumn = def.Presence == MibPresence::IpColumns || def.Presence == MibPresence::IpColumnsIfFound;
      if (ipColumn && !networkFound) continue;
      Property(def, *data);
    }
  }

 private:
  void Property(const MibObjectDef& def, const CByteBuffer& list) {
    switch (def.Source) {
      case MibSource::AdminExtensions: {
        CByteBuffer multiSz;
        if (!FindMultiSzProperty(list, multiSz, def.Property)) return;
        const std::string bytes = AdminExtensionBytes(multiSz);
        if (!bytes.empty()) Bytes(def.Id, reinterpret_cast<const BYTE*>(bytes.data()), bytes.size());
        return;
      }
      case MibSource::IisServiceType: {
        std::wstring text;
        if (FindSzProperty(list, text, def.Property) && !text.empty()) Number(def.Id, MapIisServiceType(text.c_str()));
        return;
      }
      default: break;
    }
    if (def.Syntax == MibSyntax::Text) {
      std::wstring text;
      if (FindSzProperty(list, text, def.Property)) Text(def.Id, text.c_str());
      return;
    }
    DWORD value = 0;
    const bool found = FindDwordProperty(list, value, def.Property);
    if (found) {
      Number(def.Id, def.Source == MibSource::AsRead ? static_cast<LONG>(value)
                                                     : MibMapOf(def.Source).Map(static_cast<LONG>(value)));
      return;
    }
    if (def.Presence == MibPresence::IfListRead) Number(def.Id, def.Default);
  }

  CSnmpMibTree& m_tree;
  DWORD m_indexes[4] = {MIB_NO_INDEX, MIB_NO_INDEX, MIB_NO_INDEX, MIB_NO_INDEX};
  size_t m_count = 0;
};

// A property list read by name: the list, or null when the read failed.
template <class Read>
const CByteBuffer* ReadList(CByteBuffer& list, Read read) {
  return read(list) == ERROR_SUCCESS ? &list : nullptr;
}


}  // namespace

CClusterMibBuilder::CClusterMibBuilder(CCluster& cluster, CClusterIpAddressFinder& ipAddressFinder)
    : m_cluster(cluster), m_ipAddressFinder(ipAddressFinder), m_source(std::make_unique<CClusterSnapshot>(cluster)) {}

bool CClusterMibBuilder::BuildMib(CSnmpMibTree& published) {
  CMibTableLock hold(m_hMibTableMutex, m_dwMutexTimeoutMs);
  if (!hold.Held()) {
    DBG_TRACE(1, L"\nFERROWIND_MIB       : BuildMib() ERROR! Time out waiting for MIB table!");
    return false;
  }
  CSnmpMibTree staging(nullptr);
  const bool built = BuildInto(staging);
  published.Publish(staging);
  return built;
}

bool CClusterMibBuilder::BuildInto(CSnmpMibTree& staging) {
  try {
    DBG_TRACE(3, L"\nFERROWIND_MIB       : Delete Cluster MIB ...");
    staging.Clear();
    DBG_TRACE(3, L"\nFERROWIND_MIB       : ... Cluster MIB deleted!");
    DBG_TRACE(3, L"\nFERROWIND_MIB       : Create Cluster MIB ...");
    m_source->BeginBuild();
    AddAgentInformation(staging);
    AddClusterInformation(staging);
    AddTables(staging);
    DBG_TRACE(3, L"\nFERROWIND_MIB       : ... Cluster MIB created!");
    return true;
  } catch (...) {
    DBG_TRACE(1, L"\nFERROWIND_MIB       : BuildMib() - ACCESS VIOLATION!");
    return false;
  }
}

void CClusterMibBuilder::AddAgentInformation(CSnmpMibTree& tree) {
  CMibRow scalars(tree, {});
  for (const MibObjectDef& def : MibCatalogue()) {
    if (def.Table != MibTable::Agent || def.Source != MibSource::Constant) continue;
    if (def.Text) scalars.Text(def.Id, def.Text);
    else scalars.Number(def.Id, def.Default);
  }
}

void CClusterMibBuilder::AddClusterInformation(CSnmpMibTree& tree) {
  CMibRow scalars(tree, {});
  CLUSTERVERSIONINFO info{};
  std::wstring name;
  if (m_cluster.GetClusterInfo(info, name)) {
    scalars.Text(MibId::ClusterName, name.c_str());
    scalars.Number(MibId::ClusterVersionMajor, info.MajorVersion);
    scalars.Number(MibId::ClusterVersionMinor, info.MinorVersion);
    scalars.Number(MibId::ClusterBuildNumber, info.BuildNumber);
    scalars.Text(MibId::ClusterVendorId, info.szVendorId);
    scalars.Text(MibId::ClusterCSDVersion, info.szCSDVersion);
    scalars.Number(MibId::AgentClusterServiceState, 2);
  } else {
    DBG_TRACE(1, L"\nCCLuster            : ERROR! GetClusterInfo() FAILED!");
    scalars.Text(MibId::ClusterName, L"");
    scalars.Number(MibId::ClusterVersionMajor, 0);
    scalars.Number(MibId::ClusterVersionMinor, 0);
    scalars.Number(MibId::ClusterBuildNumber, 0);
    scalars.Text(MibId::ClusterVendorId, L"");
    scalars.Text(MibId::ClusterCSDVersion, L"");
    scalars.Number(MibId::AgentClusterServiceState, 3);
  }

  std::wstring quorumName;
  std::wstring quorumDevice;
  DWORD maxLogSize = 0;
  if (!m_cluster.GetQuorumResource(quorumName, quorumDevice, maxLogSize)) {
    quorumName.clear();
    quorumDevice.clear();
    maxLogSize = 0;
  }
  scalars.Text(MibId::ClusterQuorumResourceName, quorumName.c_str());
  scalars.Text(MibId::ClusterQuorumResourceDevice, quorumDevice.c_str());
  scalars.Number(MibId::ClusterQuorumResourceMaxLog, static_cast<LONG>(maxLogSize));

  CIpAddress address;
  std::wstring text;
  m_ipAddressFinder.GetClusterIPAddress(m_cluster, address);
  if (address.Bytes.size() == 4 || address.Bytes.size() == 16) {
    IPAddressToText(address.Bytes.data(), address.Bytes.size(), text, true);
  }
  scalars.Text(MibId::ClusterIPAddress, text.c_str());
}

void CClusterMibBuilder::AddTables(CSnmpMibTree& tree) {
  AddNetworks(tree);
  AddNodes(tree);
  AddNetInterfaces(tree);
  AddResourceTypes(tree);
  AddGroups(tree);
  AddResources(tree);
  AddPreferredNodes(tree);
  AddDependencies(tree);
}

void CClusterMibBuilder::AddNetworks(CSnmpMibTree& tree) {
  CMibRow(tree, {}).Number(MibId::NetworkNumber, static_cast<LONG>(m_cluster.GetNetworkCount()));
  CClusterNetwork network;
  for (DWORD position = 0; m_cluster.GetNetwork(network, position); ++position) {
    const DWORD w = position + 1;
    const wchar_t* name = network.Name.c_str();
    LONG state = -1;
    const bool stateRead = GetNetworkState(state, name) == ERROR_SUCCESS;
    CMibRow row(tree, {w});
    row.Number(MibId::NetworkIndex, static_cast<LONG>(w));
    row.Text(MibId::NetworkName, name);
    row.State(MibId::NetworkState, stateRead, state);
    CByteBuffer list;
    row.Properties(MibTable::Network, MibList::ReadOnly, ReadList(list, [&](CByteBuffer& out) {
                     return GetNetworkControlData(out, CLUSCTL_NETWORK_GET_RO_COMMON_PROPERTIES, name);
                   }));
    row.Properties(MibTable::Network, MibList::Common, ReadList(list, [&](CByteBuffer& out) {
                     return GetNetworkControlData(out, CLUSCTL_NETWORK_GET_COMMON_PROPERTIES, name);
                   }));
  }
}

void CClusterMibBuilder::AddNodes(CSnmpMibTree& tree) {
  static constexpr MibId kAddressColumns[] = {MibId::NodeIpAddress, MibId::NodeIpAddress2, MibId::NodeIpAddress3,
                                              MibId::NodeIpAddress4};
  CMibRow(tree, {}).Number(MibId::NodeNumber, static_cast<LONG>(m_cluster.GetNodeCount()));
  CClusterNode node;
  for (DWORD position = 0; m_cluster.GetNode(node, position); ++position) {
    const DWORD n = position + 1;
    const wchar_t* name = node.Name.c_str();
    DBG_TRACE(3, L"\nFERROWIND_MIB       : Insert MIB objects for cluster node \"%s\" ...", name);
    CMibRow row(tree, {n});
    row.Number(MibId::NodeIndex, static_cast<LONG>(n));
    row.Text(MibId::NodeName, name);
    LONG state = -1;
    const bool stateRead = GetNodeState(state, name) == ERROR_SUCCESS;
    row.State(MibId::NodeState, stateRead, state);
    CByteBuffer list;
    row.Properties(MibTable::Node, MibList::Common, ReadList(list, [&](CByteBuffer& out) {
                     return GetNodeControlData(out, CLUSCTL_NODE_GET_COMMON_PROPERTIES, name);
                   }));
    DBG_TRACE(3, L"\nFERROWIND_MIB       : Searching IP address for cluster node \"%s\" ...", name);
    std::vector<CIpAddress> addresses;
    m_source->NodeIPAddresses(addresses, node);
    for (size_t i = 0; i < std::size(kAddressColumns); ++i) {
      if (i < addresses.size()) row.Bytes(kAddressColumns[i], addresses[i].Bytes.data(), addresses[i].Bytes.size());
      else row.Bytes(kAddressColumns[i], kNoAddress, sizeof kNoAddress);
    }
  }
}

void CClusterMibBuilder::AddNetInterfaces(CSnmpMibTree& tree) {
  CMibRow(tree, {}).Number(MibId::NetInterfaceNumber, static_cast<LONG>(m_cluster.GetNetInterfaceCount()));
  CClusterNetInterface netInterface;
  for (DWORD position = 0; m_cluster.GetNetInterface(netInterface, position); ++position) {
    CClusterNode node;
    CClusterNetwork network;
    if (!m_source->NodeAndNetworkOfNetInterface(node, network, netInterface)) {
      DBG_TRACE(1, L"\nERROR! NODE for network interface not found!!");
      continue;
    }
    const wchar_t* name = netInterface.Name.c_str();
    const DWORD n = node.Index + 1;
    const DWORD w = network.Index + 1;
    CMibRow row(tree, {n, w});
    row.Number(MibId::NetInterfaceNodeIndex, static_cast<LONG>(n));
    row.Number(MibId::NetInterfaceNetworkIndex, static_cast<LONG>(w));
    row.Text(MibId::NetInterfaceName, name);
    LONG state = -1;
    const bool stateRead = GetNetInterfaceState(state, name) == ERROR_SUCCESS;
    row.State(MibId::NetInterfaceState, stateRead, state);
    CByteBuffer list;
    row.Properties(MibTable::NetInterface, MibList::Common, ReadList(list, [&](CByteBuffer& out) {
                     return GetNetInterfaceControlData(out, CLUSCTL_NETINTERFACE_GET_COMMON_PROPERTIES, name);
                   }));
    row.Properties(MibTable::NetInterface, MibList::ReadOnly, ReadList(list, [&](CByteBuffer& out) {
                     return m_source->NetInterfaceReadOnlyList(out, netInterface);
                   }));
  }
}

void CClusterMibBuilder::AddResourceTypes(CSnmpMibTree& tree) {
  CMibRow(tree, {}).Number(MibId::ResourceTypeNumber, static_cast<LONG>(m_cluster.GetResourceTypeCount()));
  CClusterResourceType type;
  for (DWORD position = 0; m_cluster.GetResourceType(type, position); ++position) {
    const DWORD t = position + 1;
    const wchar_t* name = type.Name.c_str();
    CMibRow row(tree, {t});
    row.Number(MibId::ResourceTypeIndex, static_cast<LONG>(t));
    row.Text(MibId::ResourceTypeName, name);
    CByteBuffer list;
    row.Properties(MibTable::ResourceType, MibList::Common, ReadList(list, [&](CByteBuffer& out) {
                     return GetResourceTypeControlData(out, CLUSCTL_RESOURCE_TYPE_GET_COMMON_PROPERTIES, name);
                   }));
    row.Properties(MibTable::ResourceType, MibList::ReadOnly, ReadList(list, [&](CByteBuffer& out) {
                     return GetResourceTypeControlData(out, CLUSCTL_RESOURCE_TYPE_GET_RO_COMMON_PROPERTIES, name);
                   }));
  }
}

void CClusterMibBuilder::AddGroups(CSnmpMibTree& tree) {
  CMibRow(tree, {}).Number(MibId::GroupNumber, static_cast<LONG>(m_cluster.GetGroupCount()));
  CClusterGroup group;
  for (DWORD position = 0; m_cluster.GetGroup(group, position); ++position) {
    const DWORD g = position + 1;
    const wchar_t* name = group.Name.c_str();
    CMibRow row(tree, {g});
    row.Number(MibId::GroupIndex, static_cast<LONG>(g));
    row.Text(MibId::GroupName, name);
    CByteBuffer list;
    row.Properties(MibTable::Group, MibList::Common, ReadList(list, [&](CByteBuffer& out) {
                     return GetGroupControlData(out, CLUSCTL_GROUP_GET_COMMON_PROPERTIES, name);
                   }));
    LONG state = -1;
    const bool stateRead = GetGroupState(state, name) == ERROR_SUCCESS;
    row.State(MibId::GroupState, stateRead, state);
    CClusterNode owner;
    if (m_source->OwnerNodeOfGroup(owner, group)) {
      row.Number(MibId::GroupNodeIndex, static_cast<LONG>(owner.Index + 1));
    } else {
      DBG_TRACE(1, L"\nFERROWIND_MIB       : ERROR! Node for cluster group \"%s\" NOT found", name);
      row.Number(MibId::GroupNodeIndex, 0);
    }
  }
}

void CClusterMibBuilder::AddResources(CSnmpMibTree& tree) {
  LONG rows = 0;
  CClusterGroup group;
  for (DWORD position = 0; m_cluster.GetGroup(group, position); ++position) {
    const DWORD g = position + 1;
    DBG_TRACE(2, L"\n\nFERROWIND_MIB       : Insert resources for group \"%s\" at index %d", group.Name.c_str(),
              static_cast<int>(g));
    std::vector<CClusterResource> resources;
    m_source->GroupResources(resources, group);
    for (const CClusterResource& resource : resources) {
      const DWORD r = resource.Index;
      const wchar_t* name = resource.Name.c_str();
      DBG_TRACE(2, L"\nFERROWIND_MIB       : ... insert resource \"%s\" at index %d", name, static_cast<int>(r));
      ++rows;
      LONG state = -1;
      const bool stateRead = GetResourceState(state, name) == ERROR_SUCCESS;
      CMibRow row(tree, {g, r});
      row.Number(MibId::ResourceGroupIndex, static_cast<LONG>(g));
      row.Number(MibId::ResourceIndex, static_cast<LONG>(r));
      row.Text(MibId::ResourceName, name);
      row.State(MibId::ResourceState, stateRead, state);
      CClusterResourceType type;
      if (m_source->ResourceTypeOfResource(type, resource)) {
        row.Number(MibId::ResourceResourceTypeIndex, static_cast<LONG>(type.Index + 1));
      } else {
        DBG_TRACE(1, L"\n   ERROR! Resource type for resource \"%s\" NOT found", name);
        row.Number(MibId::ResourceResourceTypeIndex, -1);
      }
      CByteBuffer list;
      row.Properties(MibTable::Resource, MibList::Common, ReadList(list, [&](CByteBuffer& out) {
                       return GetResourceControlData(out, CLUSCTL_RESOURCE_GET_COMMON_PROPERTIES, name);
                     }));
      CClusterNetwork network;
      const bool networkFound = m_source->NetworkOfResource(network, resource);
      const CByteBuffer* privateList =
          ReadList(list, [&](CByteBuffer& out) { return m_source->ResourcePrivateList(out, resource); });
      row.Properties(MibTable::Resource, MibList::Private, privateList, networkFound);
      if (privateList && networkFound) {
        row.Number(MibId::IPAddressResourceNetworkIndex, static_cast<LONG>(network.Index + 1));
        row.Text(MibId::ResourceNetworkName, network.Name.c_str());
      }
    }
  }
  CMibRow(tree, {}).Number(MibId::ResourceNumber, rows);
}

void CClusterMibBuilder::AddPreferredNodes(CSnmpMibTree& tree) {
  DWORD k = 0;
  CClusterGroup group;
  for (DWORD position = 0; m_cluster.GetGroup(group, position); ++position) {
    const DWORD g = position + 1;
    std::vector<CClusterNode> preferred;
    m_source->PreferredNodes(preferred, group);
    for (const CClusterNode& node : preferred) {
      ++k;
      CMibRow row(tree, {g, k});
      row.Number(MibId::PreferredNodeGroupIndex, static_cast<LONG>(g));
      row.Number(MibId::PreferredNodeRank, static_cast<LONG>(k));
      row.Number(MibId::PreferredNodeIndex, static_cast<LONG>(m_source->NodeRowOfName(node.Name)));
    }
  }
  CMibRow(tree, {}).Number(MibId::PreferredNodeNumber, static_cast<LONG>(k));
}

void CClusterMibBuilder::AddDependencies(CSnmpMibTree& tree) {
  LONG count = 0;
  CClusterGroup group;
  for (DWORD position = 0; m_cluster.GetGroup(group, position); ++position) {
    const DWORD g = position + 1;
    std::vector<CClusterResource> resources;
    m_source->GroupResources(resources, group);
    for (const CClusterResource& resource : resources) {
      const DWORD q = resource.Index + 1;
      std::vector<CClusterResource> dependencies;
      m_source->ResourceDependencies(dependencies, resource);
      for (const CClusterResource& dependency : dependencies) {
        CClusterGroup holder;
        if (!m_source->GroupOfResource(holder, dependency)) continue;
        ++count;
        const DWORD d = dependency.Index;
        CMibRow row(tree, {g, q, holder.Index, d});
        row.Number(MibId::DependencyConditionGroupIndex, static_cast<LONG>(g));
        row.Number(MibId::DependencyConditionResourceIndex, static_cast<LONG>(q));
        row.Number(MibId::DependencyDependentGroupIndex, static_cast<LONG>(holder.Index));
        row.Number(MibId::DependencyDependentResourceIndex, static_cast<LONG>(d));
      }
    }
  }
  CMibRow(tree, {}).Number(MibId::ResourceDependencyNumber, count);
}

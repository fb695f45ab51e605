#include "cluster_snapshot.h"

#include "debug_trace.h"

void CClusterSnapshot::BeginBuild() {
  m_nodes.reset();
  m_nodePositions.clear();
  m_interfaceEnds.reset();
  m_nodeAddresses.reset();
  m_interfaceLists.clear();
  m_groupContents.clear();
  m_privateLists.clear();
  m_allGroupsRead = false;
  m_groupOfResource.clear();
}

void CClusterSnapshot::ReadNodes() {
  if (m_nodes) return;
  m_nodes.emplace();
  CClusterNode node;
  for (DWORD position = 0; m_cluster.GetNode(node, position); ++position) {
    m_nodes->push_back(node);
    m_nodePositions.emplace(node.Name, position);  // the first node of a name wins
  }
}

void CClusterSnapshot::ReadInterfaceEnds() {
  if (m_interfaceEnds) return;
  m_interfaceEnds.emplace();
  std::vector<CNetInterfaceEnds> ends;
  m_cluster.ReadNetInterfaceEnds(ends);
  for (auto& end : ends) m_interfaceEnds->emplace(end.Interface, std::move(end));
}

const CClusterSnapshot::ListRead& CClusterSnapshot::InterfaceReadOnlyList(const std::wstring& name) {
  auto found = m_interfaceLists.find(name);
  if (found != m_interfaceLists.end()) return found->second;
  ListRead read;
  read.Result = GetNetInterfaceControlData(read.List, CLUSCTL_NETINTERFACE_GET_RO_COMMON_PROPERTIES, name.c_str());
  return m_interfaceLists.emplace(name, std::move(read)).first->second;
}

// The client-access addresses of every node in one pass over the interfaces, in the
// order of the interface list.
void CClusterSnapshot::ReadNodeAddresses() {
  if (m_nodeAddresses) return;
  ReadInterfaceEnds();
  m_nodeAddresses.emplace();
  CClusterNetInterface netInterface;
  for (DWORD position = 0; m_cluster.GetNetInterface(netInterface, position); ++position) {
    const auto ends = m_interfaceEnds->find(netInterface.Name);
    if (ends == m_interfaceEnds->end()) continue;
    const std::wstring& nodeName = ends->second.Node.Name;
    const CClusterNetwork& network = ends->second.Network;
    const ListRead& read = InterfaceReadOnlyList(netInterface.Name);
    CIpAddress address;
    std::wstring text;
    std::wstring adapterId;
    if (read.Result == ERROR_SUCCESS) {
      if (FindSzProperty(read.List, text, L"Address") && !text.empty()) ParseIPAddress(address, text.c_str());
      FindSzProperty(read.List, adapterId, L"AdapterId");
    }
    if (!ServesClients(nodeName.c_str(), adapterId, address, network.Role)) continue;
    auto& addresses = (*m_nodeAddresses)[nodeName];
    addresses.push_back(address);
    DBG_TRACE(2, L"\nCCLuster            : Cluster node \"%s\": %d. IP address: %s", nodeName.c_str(),
              static_cast<int>(addresses.size()), address.GetText().c_str());
  }
}

bool CClusterSnapshot::OwnerNodeOfGroup(CClusterNode& node, const CClusterGroup& group) {
  ReadNodes();
  if (m_nodes->empty()) return false;
  std::wstring owner;
  GetGroupOwnerNode(owner, group.Name.c_str());
  const auto found = m_nodePositions.find(owner);
  if (owner.empty() || found == m_nodePositions.end()) return false;
  node = (*m_nodes)[found->second];
  return true;
}

bool CClusterSnapshot::NodeAndNetworkOfNetInterface(CClusterNode& node, CClusterNetwork& network,
                                                    const CClusterNetInterface& netInterface) {
  ReadInterfaceEnds();
  const auto found = m_interfaceEnds->find(netInterface.Name);
  if (found == m_interfaceEnds->end()) return false;
  node = found->second.Node;
  network = found->second.Network;
  return true;
}

void CClusterSnapshot::NodeIPAddresses(std::vector<CIpAddress>& addresses, const CClusterNode& node) {
  if (node.Name.empty()) return;
  DBG_TRACE(3, L"\nCCLuster            : Searching IP addresses for cluster node \"%s\" ...", node.Name.c_str());
  ReadNodeAddresses();
  const auto found = m_nodeAddresses->find(node.Name);
  if (found != m_nodeAddresses->end()) addresses.insert(addresses.end(), found->second.begin(), found->second.end());
}

DWORD CClusterSnapshot::NetInterfaceReadOnlyList(CByteBuffer& list, const CClusterNetInterface& netInterface) {
  const ListRead& read = InterfaceReadOnlyList(netInterface.Name);
  if (read.Result == ERROR_SUCCESS) list = read.List;
  return read.Result;
}

const CClusterSnapshot::GroupContents& CClusterSnapshot::ContentsOf(const CClusterGroup& group) {
  auto found = m_groupContents.find(group.Index);
  if (found != m_groupContents.end()) return found->second;
  GroupContents contents;
  contents.Result = GetGroupResourceNames(contents.Resources, group.Name.c_str());
  for (CClusterResource& resource : contents.Resources) {
    CByteBuffer readOnly;
    const bool readOnlyRead =
        GetResourceControlData(readOnly, CLUSCTL_RESOURCE_GET_RO_COMMON_PROPERTIES, resource.Name.c_str()) ==
        ERROR_SUCCESS;
    ListRead& privateRead = m_privateLists[resource.Name];
    privateRead.Result =
        GetResourceControlData(privateRead.List, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, resource.Name.c_str());
    TakeResourceProperties(resource, readOnlyRead ? &readOnly : nullptr,
                           privateRead.Result == ERROR_SUCCESS ? &privateRead.List : nullptr);
  }
  return m_groupContents.emplace(group.Index, std::move(contents)).first->second;
}

DWORD CClusterSnapshot::GroupResources(std::vector<CClusterResource>& resources, const CClusterGroup& group) {
  const GroupContents& contents = ContentsOf(group);
  resources.insert(resources.end(), contents.Resources.begin(), contents.Resources.end());
  return contents.Result;
}

DWORD CClusterSnapshot::ResourcePrivateList(CByteBuffer& list, const CClusterResource& resource) {
  auto found = m_privateLists.find(resource.Name);
  if (found == m_privateLists.end()) {
    ListRead read;
    read.Result = GetResourceControlData(read.List, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, resource.Name.c_str());
    found = m_privateLists.emplace(resource.Name, std::move(read)).first;
  }
  if (found->second.Result == ERROR_SUCCESS) list = found->second.List;
  return found->second.Result;
}

bool CClusterSnapshot::ResourceTypeOfResource(CClusterResourceType& type, const CClusterResource& resource) {
  return m_cluster.FindResourceTypeOfResource(type, resource);
}

bool CClusterSnapshot::NetworkOfResource(CClusterNetwork& network, const CClusterResource& resource) {
  return m_cluster.FindNetworkOfResource(network, resource);
}

DWORD CClusterSnapshot::ResourceDependencies(std::vector<CClusterResource>& dependencies,
                                             const CClusterResource& resource) {
  return GetResourceDependencyNames(dependencies, resource.Name.c_str());
}

// Which group holds each resource, the first group in list order winning.
void CClusterSnapshot::ReadAllGroupContents() {
  if (m_allGroupsRead) return;
  m_allGroupsRead = true;
  CClusterGroup group;
  for (DWORD position = 0; m_cluster.GetGroup(group, position); ++position) {
    for (const CClusterResource& resource : ContentsOf(group).Resources) m_groupOfResource.emplace(resource.Name, group);
  }
}

bool CClusterSnapshot::GroupOfResource(CClusterGroup& group, const CClusterResource& resource) {
  ReadAllGroupContents();
  const auto found = m_groupOfResource.find(resource.Name);
  if (found == m_groupOfResource.end()) return false;
  group = found->second;
  return true;
}

DWORD CClusterSnapshot::PreferredNodes(std::vector<CClusterNode>& nodes, const CClusterGroup& group) {
  return GetGroupPreferredNodeNames(nodes, group.Name.c_str());
}

DWORD CClusterSnapshot::NodeRowOfName(const std::wstring& name) {
  ReadNodes();
  const auto found = m_nodePositions.find(name);
  return found == m_nodePositions.end() ? 0 : found->second + 1;
}

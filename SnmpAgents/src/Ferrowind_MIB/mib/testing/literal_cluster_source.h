// The relations exactly as the cluster access layer's searches read them, once for every
// object that asks: the reference that the build's own source must equal.
#pragma once

#include "cluster_mib_source.h"

class CLiteralClusterSource final : public CClusterMibSource {
 public:
  explicit CLiteralClusterSource(CCluster& cluster) : m_cluster(cluster) {}

  void BeginBuild() override {}

  bool OwnerNodeOfGroup(CClusterNode& node, const CClusterGroup& group) override {
    return m_cluster.FindOwnerNodeOfGroup(node, group.Name.c_str());
  }
  bool NodeAndNetworkOfNetInterface(CClusterNode& node, CClusterNetwork& network,
                                    const CClusterNetInterface& netInterface) override {
    return m_cluster.FindNodeAndNetworkOfNetInterface(node, network, netInterface.Name.c_str());
  }
  void NodeIPAddresses(std::vector<CIpAddress>& addresses, const CClusterNode& node) override {
    m_cluster.GetNodeIPAddresses(addresses, node.Name.c_str());
  }
  DWORD NetInterfaceReadOnlyList(CByteBuffer& list, const CClusterNetInterface& netInterface) override {
    return GetNetInterfaceControlData(list, CLUSCTL_NETINTERFACE_GET_RO_COMMON_PROPERTIES, netInterface.Name.c_str());
  }
  DWORD GroupResources(std::vector<CClusterResource>& resources, const CClusterGroup& group) override {
    return GetGroupResources(resources, group.Name.c_str());
  }
  DWORD ResourcePrivateList(CByteBuffer& list, const CClusterResource& resource) override {
    return GetResourceControlData(list, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, resource.Name.c_str());
  }
  bool ResourceTypeOfResource(CClusterResourceType& type, const CClusterResource& resource) override {
    return m_cluster.FindResourceTypeOfResource(type, resource);
  }
  bool NetworkOfResource(CClusterNetwork& network, const CClusterResource& resource) override {
    return m_cluster.FindNetworkOfResource(network, resource);
  }
  DWORD ResourceDependencies(std::vector<CClusterResource>& dependencies, const CClusterResource& resource) override {
    return GetResourceDependencies(dependencies, resource.Name.c_str());
  }
  bool GroupOfResource(CClusterGroup& group, const CClusterResource& resource) override {
    return m_cluster.FindGroupOfResource(group, resource);
  }
  DWORD PreferredNodes(std::vector<CClusterNode>& nodes, const CClusterGroup& group) override {
    return GetGroupPreferredNodes(nodes, group.Name.c_str());
  }
  DWORD NodeRowOfName(const std::wstring& name) override {
    CClusterNode node;
    for (DWORD position = 0; m_cluster.GetNode(node, position); ++position) {
      if (lstrcmpiW(node.Name.c_str(), name.c_str()) == 0) return position + 1;
    }
    return 0;
  }

 private:
  CCluster& m_cluster;
};

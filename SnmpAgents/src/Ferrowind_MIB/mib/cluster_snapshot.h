// The relations of one MIB build, each read once: the node and network of every
// interface from one pass over the node and network pairs, each group's owner and
// contents once, each resource's lists once. Lookups are then answered from what was
// read, with the results of the searches that read the cluster for every object.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cluster_mib_source.h"

// Orders names as the cluster compares them: case-insensitively.
struct CClusterNameLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const { return lstrcmpiW(a.c_str(), b.c_str()) < 0; }
};
template <class Value>
using CClusterNameMap = std::map<std::wstring, Value, CClusterNameLess>;

class CClusterSnapshot final : public CClusterMibSource {
 public:
  explicit CClusterSnapshot(CCluster& cluster) : m_cluster(cluster) {}

  void BeginBuild() override;

  bool OwnerNodeOfGroup(CClusterNode& node, const CClusterGroup& group) override;
  bool NodeAndNetworkOfNetInterface(CClusterNode& node, CClusterNetwork& network,
                                    const CClusterNetInterface& netInterface) override;
  void NodeIPAddresses(std::vector<CIpAddress>& addresses, const CClusterNode& node) override;
  DWORD NetInterfaceReadOnlyList(CByteBuffer& list, const CClusterNetInterface& netInterface) override;

  DWORD GroupResources(std::vector<CClusterResource>& resources, const CClusterGroup& group) override;
  DWORD ResourcePrivateList(CByteBuffer& list, const CClusterResource& resource) override;
  bool ResourceTypeOfResource(CClusterResourceType& type, const CClusterResource& resource) override;
  bool NetworkOfResource(CClusterNetwork& network, const CClusterResource& resource) override;
  DWORD ResourceDependencies(std::vector<CClusterResource>& dependencies, const CClusterResource& resource) override;
  bool GroupOfResource(CClusterGroup& group, const CClusterResource& resource) override;

  DWORD PreferredNodes(std::vector<CClusterNode>& nodes, const CClusterGroup& group) override;
  DWORD NodeRowOfName(const std::wstring& name) override;

 private:
  struct ListRead {
    DWORD Result = ERROR_SUCCESS;
    CByteBuffer List;
  };
  struct GroupContents {
    DWORD Result = ERROR_SUCCESS;
    std::vector<CClusterResource> Resources;
  };

  void ReadNodes();
  void ReadInterfaceEnds();
  void ReadNodeAddresses();
  const GroupContents& ContentsOf(const CClusterGroup& group);
  void ReadAllGroupContents();
  const ListRead& InterfaceReadOnlyList(const std::wstring& name);

  CCluster& m_cluster;
  std::optional<std::vector<CClusterNode>> m_nodes;
  CClusterNameMap<DWORD> m_nodePositions;
  std::optional<CClusterNameMap<CNetInterfaceEnds>> m_interfaceEnds;
  std::optional<CClusterNameMap<std::vector<CIpAddress>>> m_nodeAddresses;
  CClusterNameMap<ListRead> m_interfaceLists;
  std::map<DWORD, GroupContents> m_groupContents;  // by group position
  CClusterNameMap<ListRead> m_privateLists;
  bool m_allGroupsRead = false;
  CClusterNameMap<CClusterGroup> m_groupOfResource;
};

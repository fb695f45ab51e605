// The agent's one connection to the cluster: the cluster handle, the notification port
// and six cached lists of the cluster's objects, each index being the position at which
// the object was enumerated. Lookups hand out copies, never references into a list.
#pragma once

#include <windows.h>
#include <clusapi.h>

#include <atomic>
#include <string>
#include <vector>

#include "cluster_records.h"
#include "critical_section.h"

// The node and network that a network interface connects.
struct CNetInterfaceEnds {
  std::wstring Interface;
  CClusterNode Node;
  CClusterNetwork Network;
};

// Whether an interface on a network of this role gives its node a client-access address;
// traces the adapter and the role.
bool ServesClients(const wchar_t* nodeName, const std::wstring& adapterId, CIpAddress& address, DWORD role);

class CCluster {
 public:
  CCluster() = default;
  virtual ~CCluster();
  CCluster(const CCluster&) = delete;
  CCluster& operator=(const CCluster&) = delete;

  // Connection and notification port.
  bool Open(const wchar_t* clusterName);
  bool Close();
  bool OpenNotifyPort(DWORD filter, HCHANGE existingPort, DWORD_PTR notifyKey);
  bool CloseNotifyPort();
  HCHANGE GetNotifyPort() const { return m_hNotifyPort; }
  HCLUSTER GetClusterHandle() const { return m_hCluster; }

  // Re-read one list (the caller holds the lock and sets the list's flag). The result is
  // the failing Cluster API code, 0 when the list is complete.
  DWORD EnumerateNodes() FW_REQUIRES(m_lock);
  DWORD EnumerateGroups() FW_REQUIRES(m_lock);
  DWORD EnumerateNetworks() FW_REQUIRES(m_lock);
  DWORD EnumerateNetInterfaces() FW_REQUIRES(m_lock);
  DWORD EnumerateResources() FW_REQUIRES(m_lock);
  DWORD EnumerateResourceTypes() FW_REQUIRES(m_lock);
  // All six lists under the lock; true when every list is complete.
  bool EnumerateAll();

  // Lookups by position: false (output unchanged) outside 0 .. count-1.
  DWORD GetNodeCount();
  bool GetNode(CClusterNode& node, DWORD position);
  DWORD GetGroupCount();
  bool GetGroup(CClusterGroup& group, DWORD position);
  DWORD GetNetworkCount();
  bool GetNetwork(CClusterNetwork& network, DWORD position);
  DWORD GetNetInterfaceCount();
  bool GetNetInterface(CClusterNetInterface& netInterface, DWORD position);
  DWORD GetResourceCount();
  bool GetResource(CClusterResource& resource, DWORD position);
  DWORD GetResourceTypeCount();
  bool GetResourceType(CClusterResourceType& resourceType, DWORD position);

  // Lookups by name, case-insensitive; the first match is copied out.
  bool FindNode(CClusterNode& node, const wchar_t* name);
  bool FindGroup(CClusterGroup& group, const wchar_t* name);
  bool FindNetwork(CClusterNetwork& network, const wchar_t* name);
  bool FindNetInterface(CClusterNetInterface& netInterface, const wchar_t* name);
  bool FindResource(CClusterResource& resource, const wchar_t* name);

  // Cross-references.
  bool FindOwnerNodeOfGroup(CClusterNode& node, const wchar_t* groupName);
  bool FindNodeAndNetworkOfNetInterface(CClusterNode& node, CClusterNetwork& network, const wchar_t* interfaceName);
  bool FindNetworkOfResource(CClusterNetwork& network, const CClusterResource& resource);
  bool FindResourceTypeOfResource(CClusterResourceType& resourceType, const CClusterResource& resource);
  bool FindGroupOfResource(CClusterGroup& group, const CClusterResource& resource);
  bool GetNodeIPAddresses(std::vector<CIpAddress>& addresses, const wchar_t* nodeName);
  // Every node and network pair once, in the order of the pair search, for callers that
  // look up many interfaces; false without an open cluster.
  bool ReadNetInterfaceEnds(std::vector<CNetInterfaceEnds>& ends);

  // Cluster facts; without an open cluster they fail with last error 6.
  bool GetClusterInfo(CLUSTERVERSIONINFO& info, std::wstring& clusterName);
  bool GetQuorumResource(std::wstring& resourceName, std::wstring& deviceName, DWORD& maxLogSize);
  bool GetQuorumResourceName(std::wstring& resourceName);
  bool GetVirtualIPAddress(CIpAddress& address, const wchar_t* resourceName);
  bool GetClusterIPAddress(CIpAddress& address);

  enum ListFlag { NodesFlag, GroupsFlag, NetworksFlag, NetInterfacesFlag, ResourcesFlag, ResourceTypesFlag, FlagCount };
  void SetEnumerated(ListFlag flag) {
    CCriticalSectionLock guard(m_lock);
    m_enumerated[flag] = true;
  }
  // Re-reads one list under the lock and marks it filled.
  void Reenumerate(ListFlag flag);

 private:
  void CloseNotifyPortLocked() FW_REQUIRES(m_lock);
  void FillLazily(ListFlag flag) FW_REQUIRES(m_lock);
  bool PairSearchLocked(CClusterNode& node, CClusterNetwork& network, const wchar_t* interfaceName) FW_REQUIRES(m_lock);
  // Calls visit(node, network, interface name) for each pair with an interface, in node
  // then network order, until visit returns true; failures are traced and skipped.
  template <class Visit>
  bool ForEachInterfacePairLocked(Visit visit) FW_REQUIRES(m_lock);
  bool QuorumResourceNameLocked(std::wstring& resourceName) FW_REQUIRES(m_lock);
  // Enumerates one kind: `add` builds the record of (name, position).
  template <class Add>
  DWORD EnumerateKind(DWORD type, const wchar_t* openFailure, Add add) FW_REQUIRES(m_lock);

  // Guards the lists and the handles' replacement.
  CCriticalSection m_lock;
  std::vector<CClusterNode> m_nodes FW_GUARDED_BY(m_lock);
  std::vector<CClusterGroup> m_groups FW_GUARDED_BY(m_lock);
  std::vector<CClusterNetwork> m_networks FW_GUARDED_BY(m_lock);
  std::vector<CClusterNetInterface> m_netInterfaces FW_GUARDED_BY(m_lock);
  std::vector<CClusterResource> m_resources FW_GUARDED_BY(m_lock);
  std::vector<CClusterResourceType> m_resourceTypes FW_GUARDED_BY(m_lock);
  // Read without the lock by the watcher and by CloseMib's caller: atomic handles.
  std::atomic<HCLUSTER> m_hCluster{nullptr};
  std::atomic<HCHANGE> m_hNotifyPort{nullptr};
  bool m_enumerated[FlagCount] FW_GUARDED_BY(m_lock) = {};
};

#include "cluster.h"

#include <new>

#include "debug_trace.h"
#include "win32_handle.h"

namespace {

constexpr DWORD kNameLength = 260;
constexpr DWORD kRegistryValueBytes = 200;

bool SameName(const std::wstring& a, const wchar_t* b) { return b && lstrcmpiW(a.c_str(), b) == 0; }

template <class Record>
bool CopyAt(const std::vector<Record>& list, Record& out, DWORD position) {
  if (position >= list.size()) return false;
  out = list[position];
  return true;
}

template <class Record>
bool CopyNamed(const std::vector<Record>& list, Record& out, const wchar_t* name) {
  if (!name) return false;
  for (const auto& record : list) {
    if (SameName(record.Name, name)) {
      out = record;
      return true;
    }
  }
  return false;
}

using ClusterKey = CUniqueHandle<HKEY, &ClusterRegCloseKey>;

}  // namespace

CCluster::~CCluster() { Close(); }

bool CCluster::Open(const wchar_t* clusterName) {
  CCriticalSectionLock guard(m_lock);
  if (m_hCluster) {
    if (m_hNotifyPort) CloseClusterNotifyPort(m_hNotifyPort);
    m_hNotifyPort = nullptr;
    CloseCluster(m_hCluster);
    m_hCluster = nullptr;
  }
  m_hCluster = OpenCluster(clusterName && *clusterName ? clusterName : nullptr);
  if (!m_hCluster) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, L"\nCCLuster            : ERROR 0x%X! Open cluster FAILED!", error);
    SetLastError(error);
    return false;
  }
  DBG_TRACE(3, L"\nCCLuster            : Open cluster API OK!");
  return true;
}

void CCluster::CloseNotifyPortLocked() {
  if (!m_hNotifyPort) return;
  CloseClusterNotifyPort(m_hNotifyPort);
  DBG_TRACE(3, L"\nCCLuster            : Cluster notification port closed");
  m_hNotifyPort = nullptr;
}

bool CCluster::Close() {
  CCriticalSectionLock guard(m_lock);
  if (m_hCluster) {
    CloseNotifyPortLocked();
    CloseCluster(m_hCluster);
    DBG_TRACE(3, L"\nCCLuster            : Cluster API closed");
    m_hCluster = nullptr;
  }
  m_nodes.clear();
  m_groups.clear();
  m_networks.clear();
  m_netInterfaces.clear();
  m_resources.clear();
  m_resourceTypes.clear();
  for (auto& flag : m_enumerated) flag = false;
  return false;
}

bool CCluster::OpenNotifyPort(DWORD filter, HCHANGE existingPort, DWORD_PTR notifyKey) {
  CCriticalSectionLock guard(m_lock);
  if (!m_hCluster) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  CloseNotifyPortLocked();
  m_hNotifyPort = CreateClusterNotifyPort(existingPort, m_hCluster, filter, notifyKey);
  if (!m_hNotifyPort) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, L"\nCCLuster            : ERROR 0x%X! Failed to open cluster notification port", error);
    SetLastError(error);
    return false;
  }
  return true;
}

bool CCluster::CloseNotifyPort() {
  CCriticalSectionLock guard(m_lock);
  CloseNotifyPortLocked();
  return m_hNotifyPort != nullptr;
}

template <class Add>
DWORD CCluster::EnumerateKind(DWORD type, const wchar_t* openFailure, Add add) {
  if (!m_hCluster) {
    DBG_TRACE(1, L"\nCCluster            : ERROR! Invalid cluster handle!!");
    return ERROR_INVALID_HANDLE;
  }
  const CUniqueHandle<HCLUSENUM, &ClusterCloseEnum> enumeration(ClusterOpenEnum(m_hCluster, type));
  if (!enumeration) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, openFailure, error);
    return error;
  }
  DWORD result = ERROR_SUCCESS;
  for (DWORD position = 0;; ++position) {
    WCHAR name[kNameLength];
    DWORD length = kNameLength;
    DWORD entryType = 0;
    result = ClusterEnum(enumeration.Get(), position, &entryType, name, &length);
    if (result != ERROR_SUCCESS) break;
    add(name, position);
  }
  return result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result;
}

DWORD CCluster::EnumerateNodes() {
  m_nodes.clear();
  DBG_TRACE(3, L"\nCCLuster            : Start enumeration of cluster nodes ...");
  const DWORD result = EnumerateKind(CLUSTER_ENUM_NODE, L"\nCCluster            : ERROR 0x%X! ::ClusterOpenEnum FAILED!!",
                                     [this](const wchar_t* name, DWORD position) FW_REQUIRES(m_lock) {
                                       CClusterNode node(name, position);
                                       LONG state = -1;
                                       if (GetNodeState(state, name) == ERROR_SUCCESS) node.State = state;
                                       m_nodes.push_back(node);
                                     });
  DBG_TRACE(3, L"\nCCLuster            : ... enumeration of cluster nodes finished!");
  DBG_TRACE(1, L"\nCCluster            : Cluster contains %d nodes", static_cast<int>(m_nodes.size()));
  return result;
}

DWORD CCluster::EnumerateGroups() {
  m_groups.clear();
  DBG_TRACE(3, L"\nCCluster            : Start enumeraton of cluster groups ...");
  const DWORD result = EnumerateKind(CLUSTER_ENUM_GROUP, L"\nCCluster            : ERROR 0x%X! ClusterOpenEnum FAILED!!",
                                     [this](const wchar_t* name, DWORD position) FW_REQUIRES(m_lock) { m_groups.emplace_back(name, position); });
  DBG_TRACE(3, L"\nCCluster            : ... enumeration of cluster groups finished");
  DBG_TRACE(2, L"\nCCluster            : Cluster contains %d groups", static_cast<int>(m_groups.size()));
  return result;
}

DWORD CCluster::EnumerateNetworks() {
  m_networks.clear();
  const DWORD result =
      EnumerateKind(CLUSTER_ENUM_NETWORK, L"\nCCluster            : ERROR 0x%X! ::ClusterOpenEnum FAILED!!",
                    [this](const wchar_t* name, DWORD position) FW_REQUIRES(m_lock) { m_networks.emplace_back(name, position); });
  DBG_TRACE(1, L"\nCCluster            : Found %d cluster networks", static_cast<int>(m_networks.size()));
  return result;
}

DWORD CCluster::EnumerateNetInterfaces() {
  DBG_TRACE(3, L"\nCCLuster            : Start enumeration of cluster network interface ...");
  m_netInterfaces.clear();
  const DWORD result = EnumerateKind(CLUSTER_ENUM_NETINTERFACE,
                                     L"\nCCluster            : ERROR 0x%X! ::ClusterOpenEnum FAILED!!",
                                     [this](const wchar_t* name, DWORD position) FW_REQUIRES(m_lock) {
                                       CClusterNetInterface netInterface(name, position);
                                       LONG state = -1;
                                       if (GetNetInterfaceState(state, name) == ERROR_SUCCESS) netInterface.State = state;
                                       m_netInterfaces.push_back(netInterface);
                                     });
  DBG_TRACE(3, L"\nCCLuster            : ... cluster network interface enumeration finished!");
  DBG_TRACE(2, L"\nCCluster            : Found %d cluster networks interfaces", static_cast<int>(m_netInterfaces.size()));
  return result;
}

DWORD CCluster::EnumerateResources() {
  m_resources.clear();
  DWORD result = ERROR_INVALID_HANDLE;
  if (!m_hCluster) {
    DBG_TRACE(1, L"\nCCluster            : ERROR! Invalid cluster handle!!");
  } else {
    DBG_TRACE(3, L"\nCCLuster            : Start enumeration of cluster resources ...");
    result = EnumerateKind(CLUSTER_ENUM_RESOURCE, L"\nCCluster            : ERROR 0x%X! ClusterOpenEnum FAILED!!",
                           [this](const wchar_t* name, DWORD position) FW_REQUIRES(m_lock) {
                             CClusterResource resource(name, position);
                             ReadResourceProperties(resource);
                             m_resources.push_back(resource);
                           });
    DBG_TRACE(3, L"\nCCLuster            : ... cluster resource enumeration finished!");
  }
  DBG_TRACE(2, L"\nCCluster            : Found %d cluster resources", static_cast<int>(m_resources.size()));
  return result;
}

DWORD CCluster::EnumerateResourceTypes() {
  m_resourceTypes.clear();
  return EnumerateKind(CLUSTER_ENUM_RESTYPE, L"\nCCluster            : ERROR 0x%X! ::ClusterOpenEnum FAILED!!",
                       [this](const wchar_t* name, DWORD position) FW_REQUIRES(m_lock) { m_resourceTypes.emplace_back(name, position); });
}

bool CCluster::EnumerateAll() {
  CCriticalSectionLock guard(m_lock);
  try {
    const struct {
      DWORD (CCluster::*enumerate)();
      ListFlag flag;
    } steps[] = {
        {&CCluster::EnumerateNetworks, NetworksFlag},   {&CCluster::EnumerateNetInterfaces, NetInterfacesFlag},
        {&CCluster::EnumerateNodes, NodesFlag},         {&CCluster::EnumerateGroups, GroupsFlag},
        {&CCluster::EnumerateResources, ResourcesFlag}, {&CCluster::EnumerateResourceTypes, ResourceTypesFlag},
    };
    bool complete = true;
    for (const auto& step : steps) {
      complete = (this->*step.enumerate)() == ERROR_SUCCESS && complete;
      m_enumerated[step.flag] = true;
    }
    return complete;
  } catch (...) {
    DBG_TRACE(1, L"\n\nCCluster            : ## ERROR! EnumerateAll(): ACCESS VIOLATION! ##\n");
    return false;
  }
}

void CCluster::Reenumerate(ListFlag flag) {
  CCriticalSectionLock guard(m_lock);
  m_enumerated[flag] = false;
  FillLazily(flag);
  m_enumerated[flag] = true;
}

bool ServesClients(const wchar_t* nodeName, const std::wstring& adapterId, CIpAddress& address, DWORD role) {
  DBG_TRACE(3, L"\nCCLuster            : Cluster node \"%s\": Found adapter %s IP %s Role: %d!", nodeName,
            adapterId.c_str(), address.GetText().c_str(), role);
  switch (role) {
    case ClusterNetworkRoleNone:
      DBG_TRACE(3, L"\nCCLuster            :   Nework not used by cluster");
      return false;
    case ClusterNetworkRoleInternalUse:
      DBG_TRACE(3, L"\nCCLuster            :   Nework used for internal cluster communication");
      return false;
    case ClusterNetworkRoleClientAccess:
      DBG_TRACE(3, L"\nCCLuster            :   Nework used to connect client systems to the cluster");
      return true;
    case ClusterNetworkRoleInternalAndClient:
      DBG_TRACE(3, L"\nCCLuster            :   Nework used to connect client systems and for internal cluster communication");
      return true;
    default: return false;
  }
}

void CCluster::FillLazily(ListFlag flag) {
  if (m_enumerated[flag]) return;
  switch (flag) {
    case NodesFlag: EnumerateNodes(); break;
    case GroupsFlag: EnumerateGroups(); break;
    case NetworksFlag: EnumerateNetworks(); break;
    case NetInterfacesFlag: EnumerateNetInterfaces(); break;
    case ResourcesFlag: EnumerateResources(); break;
    case ResourceTypesFlag: EnumerateResourceTypes(); break;
    case FlagCount: return;
  }
  m_enumerated[flag] = true;
}

#define FW_CLUSTER_POSITION_LOOKUPS(Kind, Record, List, Flag)   \
  DWORD CCluster::Get##Kind##Count() {                          \
    CCriticalSectionLock guard(m_lock);                                         \
    FillLazily(Flag);                                           \
    return static_cast<DWORD>(List.size());                     \
  }                                                             \
  bool CCluster::Get##Kind(Record& out, DWORD position) {       \
    CCriticalSectionLock guard(m_lock);                                         \
    FillLazily(Flag);                                           \
    return CopyAt(List, out, position);                         \
  }

FW_CLUSTER_POSITION_LOOKUPS(Node, CClusterNode, m_nodes, NodesFlag)
FW_CLUSTER_POSITION_LOOKUPS(Group, CClusterGroup, m_groups, GroupsFlag)
FW_CLUSTER_POSITION_LOOKUPS(Network, CClusterNetwork, m_networks, NetworksFlag)
FW_CLUSTER_POSITION_LOOKUPS(NetInterface, CClusterNetInterface, m_netInterfaces, NetInterfacesFlag)
FW_CLUSTER_POSITION_LOOKUPS(Resource, CClusterResource, m_resources, ResourcesFlag)
FW_CLUSTER_POSITION_LOOKUPS(ResourceType, CClusterResourceType, m_resourceTypes, ResourceTypesFlag)
#undef FW_CLUSTER_POSITION_LOOKUPS

#define FW_CLUSTER_NAME_LOOKUP(Kind, Record, List, Flag)         \
  bool CCluster::Find##Kind(Record& out, const wchar_t* name) {  \
    if (!name) return false;                                     \
    CCriticalSectionLock guard(m_lock);                                          \
    FillLazily(Flag);                                            \
    return CopyNamed(List, out, name);                           \
  }

FW_CLUSTER_NAME_LOOKUP(Node, CClusterNode, m_nodes, NodesFlag)
FW_CLUSTER_NAME_LOOKUP(Group, CClusterGroup, m_groups, GroupsFlag)
FW_CLUSTER_NAME_LOOKUP(Network, CClusterNetwork, m_networks, NetworksFlag)
FW_CLUSTER_NAME_LOOKUP(NetInterface, CClusterNetInterface, m_netInterfaces, NetInterfacesFlag)
FW_CLUSTER_NAME_LOOKUP(Resource, CClusterResource, m_resources, ResourcesFlag)
#undef FW_CLUSTER_NAME_LOOKUP

bool CCluster::FindOwnerNodeOfGroup(CClusterNode& node, const wchar_t* groupName) {
  CCriticalSectionLock guard(m_lock);
  FillLazily(NodesFlag);
  for (const auto& candidate : m_nodes) {
    std::wstring owner;
    GetGroupOwnerNode(owner, groupName);
    if (!owner.empty() && SameName(candidate.Name, owner.c_str())) {
      node = candidate;
      return true;
    }
  }
  return false;
}

template <class Visit>
bool CCluster::ForEachInterfacePairLocked(Visit visit) {
  FillLazily(NodesFlag);
  FillLazily(NetworksFlag);
  for (const auto& candidateNode : m_nodes) {
    for (const auto& candidateNetwork : m_networks) {
      WCHAR name[kNameLength];
      DWORD length = kNameLength;
      const DWORD result =
          GetClusterNetInterface(m_hCluster, candidateNode.Name.c_str(), candidateNetwork.Name.c_str(), name, &length);
      if (result != ERROR_SUCCESS) {
        DBG_TRACE(1, L"\nCCLuster            : ERROR 0x%X! GetClusterNetInterface FAILED!", result);
        continue;
      }
      if (visit(candidateNode, candidateNetwork, name)) return true;
    }
  }
  return false;
}

bool CCluster::PairSearchLocked(CClusterNode& node, CClusterNetwork& network, const wchar_t* interfaceName) {
  if (!m_hCluster || !interfaceName) return false;
  return ForEachInterfacePairLocked(
      [&](const CClusterNode& candidateNode, const CClusterNetwork& candidateNetwork, const wchar_t* name) {
        if (lstrcmpiW(name, interfaceName) != 0) return false;
        node = candidateNode;
        network = candidateNetwork;
        return true;
      });
}

bool CCluster::ReadNetInterfaceEnds(std::vector<CNetInterfaceEnds>& ends) {
  if (!m_hCluster) return false;
  CCriticalSectionLock guard(m_lock);
  if (!m_hCluster) return false;
  ForEachInterfacePairLocked([&](const CClusterNode& node, const CClusterNetwork& network, const wchar_t* name) {
    ends.push_back({name, node, network});
    return false;
  });
  return true;
}

bool CCluster::FindNodeAndNetworkOfNetInterface(CClusterNode& node, CClusterNetwork& network,
                                                const wchar_t* interfaceName) {
  if (!m_hCluster) return false;
  CCriticalSectionLock guard(m_lock);
  return PairSearchLocked(node, network, interfaceName);
}

bool CCluster::FindNetworkOfResource(CClusterNetwork& network, const CClusterResource& resource) {
  if (!m_hCluster) return false;
  CCriticalSectionLock guard(m_lock);
  FillLazily(NetworksFlag);
  return !resource.Network.empty() && CopyNamed(m_networks, network, resource.Network.c_str());
}

bool CCluster::FindResourceTypeOfResource(CClusterResourceType& resourceType, const CClusterResource& resource) {
  CCriticalSectionLock guard(m_lock);
  FillLazily(ResourceTypesFlag);
  return !resource.Type.empty() && CopyNamed(m_resourceTypes, resourceType, resource.Type.c_str());
}

bool CCluster::FindGroupOfResource(CClusterGroup& group, const CClusterResource& resource) {
  CCriticalSectionLock guard(m_lock);
  FillLazily(GroupsFlag);
  for (const auto& candidate : m_groups) {
    std::vector<CClusterResource> contents;
    GetGroupResources(contents, candidate.Name.c_str());
    for (const auto& contained : contents) {
      if (SameName(contained.Name, resource.Name.c_str())) {
        group = candidate;
        return true;
      }
    }
  }
  return false;
}

bool CCluster::GetNodeIPAddresses(std::vector<CIpAddress>& addresses, const wchar_t* nodeName) {
  if (!nodeName || !*nodeName) return false;
  CCriticalSectionLock guard(m_lock);
  DBG_TRACE(3, L"\nCCLuster            : Searching IP addresses for cluster node \"%s\" ...", nodeName);
  FillLazily(NetInterfacesFlag);
  FillLazily(NodesFlag);
  FillLazily(NetworksFlag);
  bool appended = false;
  for (const auto& netInterface : m_netInterfaces) {
    CClusterNode node;
    CClusterNetwork network;
    if (!PairSearchLocked(node, network, netInterface.Name.c_str())) continue;
    if (lstrcmpiW(node.Name.c_str(), nodeName) != 0) continue;
    CIpAddress address;
    std::wstring adapterId;
    GetNetInterfaceAddress(netInterface.Name.c_str(), address);
    GetNetInterfaceAdapterId(netInterface.Name.c_str(), adapterId);
    if (!ServesClients(nodeName, adapterId, address, network.Role)) continue;
    addresses.push_back(address);
    appended = true;
    DBG_TRACE(2, L"\nCCLuster            : Cluster node \"%s\": %d. IP address: %s", nodeName,
              static_cast<int>(addresses.size()), addresses.back().GetText().c_str());
  }
  return appended;
}

bool CCluster::GetClusterInfo(CLUSTERVERSIONINFO& info, std::wstring& clusterName) {
  CCriticalSectionLock guard(m_lock);
  const DWORD result = GetClusterInformationRecord(info, clusterName, m_hCluster);
  SetLastError(result);
  return result == ERROR_SUCCESS;
}

bool CCluster::GetQuorumResource(std::wstring& resourceName, std::wstring& deviceName, DWORD& maxLogSize) {
  CCriticalSectionLock guard(m_lock);
  if (!m_hCluster) {
    DBG_TRACE(1, L"\nGetQuorumResource(): ERROR Invalid cluster handle - cluster not opened!");
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  WCHAR resource[kNameLength] = {};
  WCHAR device[kNameLength] = {};
  DWORD resourceLength = kNameLength, deviceLength = kNameLength, logSize = 0;
  const DWORD result =
      GetClusterQuorumResource(m_hCluster, resource, &resourceLength, device, &deviceLength, &logSize);
  if (result == ERROR_SUCCESS) {
    resourceName = resource;
    deviceName = device;
    maxLogSize = logSize;
  }
  SetLastError(result);
  return result == ERROR_SUCCESS;
}

bool CCluster::QuorumResourceNameLocked(std::wstring& resourceName) {
  if (!m_hCluster) {
    DBG_TRACE(1, L"\nGetQuorumResource(): ERROR Invalid cluster handle! Cluster not opened?");
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  WCHAR resource[kNameLength] = {};
  WCHAR device[kNameLength] = {};
  DWORD resourceLength = kNameLength, deviceLength = kNameLength, logSize = 0;
  const DWORD result =
      GetClusterQuorumResource(m_hCluster, resource, &resourceLength, device, &deviceLength, &logSize);
  if (result == ERROR_SUCCESS) resourceName = resource;
  SetLastError(result);
  return result == ERROR_SUCCESS;
}

bool CCluster::GetQuorumResourceName(std::wstring& resourceName) {
  CCriticalSectionLock guard(m_lock);
  if (!m_hCluster) {
    DBG_TRACE(1, L"\nGetQuorumResource(): ERROR Invalid cluster handle - cluster not opened!");
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return QuorumResourceNameLocked(resourceName);
}

bool CCluster::GetVirtualIPAddress(CIpAddress& address, const wchar_t* resourceName) {
  CCriticalSectionLock guard(m_lock);
  bool found = false;
  DWORD error = ERROR_INVALID_HANDLE;
  if (!m_hCluster) {
    DBG_TRACE(1, L"\nCCLuster            : GetClusterIPAddress(): ERROR Invalid cluster handle - cluster not opened!");
  } else if (!resourceName || !*resourceName) {
    for (const auto& resource : m_resources) {
      if (resource.Address.empty()) continue;
      DBG_TRACE(3, L"\nCCluster            : Cluster IP address %s found at resource \"%s\"!", resource.Address.c_str(),
                resource.Name.c_str());
      ParseIPAddress(address, resource.Address.c_str());
      found = true;
      break;
    }
  } else {
    DBG_TRACE(3, L"\nCCluster            : Look up for registry value \"%ws\" inside cluster resource \"%s\"", L"Address",
              resourceName);
    const CUniqueHandle<HRESOURCE, &CloseClusterResource> resource(OpenClusterResource(m_hCluster, resourceName));
    if (!resource) {
      error = GetLastError();
      DBG_TRACE(1, L"\nCCLuster            : GetClusterIPAddress(): ERROR 0x%X OpenClusterResource(\"%s\") FAILED!", error,
                resourceName);
    } else {
      const ClusterKey resourceKey(GetClusterResourceKey(resource.Get(), KEY_READ));
      if (!resourceKey) {
        error = GetLastError();
        DBG_TRACE(1, L"\nGetVirtualIPAddress(): ERROR 0x%X GetClusterResourceKey(0x%X) FAILED", error, KEY_READ);
      } else {
        ClusterKey parameters;
        error = static_cast<DWORD>(ClusterRegOpenKey(resourceKey.Get(), L"Parameters", KEY_READ, parameters.Out()));
        if (error != ERROR_SUCCESS) {
          DBG_TRACE(1, L"\nCCLuster            : GetClusterIPAddress(): ERROR 0x%X ClusterRegOpenKey(0x%X) FAILED!", error,
                    KEY_READ);
        } else {
          BYTE value[kRegistryValueBytes] = {};
          DWORD type = 0, size = sizeof value;
          error = static_cast<DWORD>(ClusterRegQueryValue(parameters.Get(), L"Address", &type, value, &size));
          if (error != ERROR_SUCCESS) {
            DBG_TRACE(1, L"\nCCLuster            : GetClusterIPAddress(): ERROR 0x%X ClusterRegQueryValue(0x%X) FAILED!",
                      error, KEY_READ);
          } else {
            found = true;
            // Terminated within the buffer whatever the value holds.
            std::wstring text(reinterpret_cast<const WCHAR*>(value), size / sizeof(WCHAR));
            text = text.c_str();
            if (!text.empty()) ParseIPAddress(address, text.c_str());
            DBG_TRACE(3, L"\nCCluster            : Cluster IP address found in registry resource value \"%ws\"!",
                      L"Address");
          }
        }
      }
    }
  }
  DBG_TRACE(2, L"\nCCLuster            : Cluster IP address = \"%s\"", address.GetText().c_str());
  SetLastError(found ? ERROR_SUCCESS : error);
  return found;
}

bool CCluster::GetClusterIPAddress(CIpAddress& address) {
  CCriticalSectionLock guard(m_lock);
  if (!m_hCluster) {
    DBG_TRACE(1, L"\nCCluster            : GetClusterIPAddress(): ERROR Invalid cluster handle - cluster NOT open!");
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  std::wstring quorum;
  if (!QuorumResourceNameLocked(quorum)) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, L"\nCCluster            : ERROR 0x%X! GetClusterQuorumResource() FAILED!", error);
    SetLastError(error);
    return false;
  }
  FillLazily(GroupsFlag);
  for (const auto& group : m_groups) {
    std::vector<CClusterResource> contents;
    GetGroupResources(contents, group.Name.c_str(), m_hCluster);
    bool holdsQuorum = false;
    for (const auto& resource : contents) holdsQuorum = holdsQuorum || SameName(resource.Name, quorum.c_str());
    if (!holdsQuorum) continue;
    DBG_TRACE(1, L"\nCCluster            : Quorum resource \"%s\" found in group \"%s\"!", quorum.c_str(),
              group.Name.c_str());
    for (const auto& resource : contents) {
      if (resource.Address.empty()) continue;
      DBG_TRACE(2, L"\nCCluster            : Cluster IP address %s found at resource \"%s\"!", resource.Address.c_str(),
                resource.Name.c_str());
      ParseIPAddress(address, resource.Address.c_str());
      return true;
    }
    return false;
  }
  DBG_TRACE(1, L"\nCCluster            : ERROR! Quorum resource group NOT found!");
  return false;
}

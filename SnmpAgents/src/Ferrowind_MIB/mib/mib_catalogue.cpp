#include "mib_catalogue.h"

#include <array>
#include <cwchar>

namespace {

using enum MibId;
using enum MibSyntax;
using enum MibPresence;
constexpr MibSource Computed = MibSource::Computed, Constant = MibSource::Constant, AsRead = MibSource::AsRead,
                    Boolean = MibSource::Boolean, RestartAction = MibSource::RestartAction,
                    IisServiceType = MibSource::IisServiceType, AdminExtensions = MibSource::AdminExtensions;
using enum MibList;
using T = MibTable;

#define R L".1.3.6.1.4.1.884.2.10.2.9.1"

// One row a line: id, table, OID template, name, syntax, presence, source, list, property,
// default (or constant), text constant.
constexpr MibObjectDef kCatalogue[] = {
  {AgentVersionMajor, T::Agent, R ".1.1.0", L"vnkWpAgentVersionMajor", Integer, Always, Constant, None, nullptr, 4, nullptr},
  {AgentVersionMinor, T::Agent, R ".1.2.0", L"vnkWpAgentVersionMinor", Integer, Always, Constant, None, nullptr, 0, nullptr},
  {AgentVersionString, T::Agent, R ".1.3.0", L"vnkWpAgentVersionString", Text, Always, Constant, None, nullptr, 0, L"VNK-NT-CLUSTER-MIB revision 4.0"},
  {AgentClusterServiceState, T::Agent, R ".1.4.0", L"vnkWpAgentClusterServiceState", Integer, Always, Computed, None, nullptr, 0, nullptr},

  {ClusterName, T::Cluster, R ".2.1.0", L"vnkWpClusterName", Text, Always, Computed, None, nullptr, 0, nullptr},
  {ClusterVersionMajor, T::Cluster, R ".2.2.0", L"vnkWpClusterVersionMajor", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ClusterVersionMinor, T::Cluster, R ".2.3.0", L"vnkWpClusterVersionMinor", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ClusterBuildNumber, T::Cluster, R ".2.4.0", L"vnkWpClusterBuildNumber", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ClusterVendorId, T::Cluster, R ".2.5.0", L"vnkWpClusterVendorId", Text, Always, Computed, None, nullptr, 0, nullptr},
  {ClusterCSDVersion, T::Cluster, R ".2.6.0", L"vnkWpClusterCSDVersion", Text, Always, Computed, None, nullptr, 0, nullptr},
  {ClusterQuorumResourceName, T::Cluster, R ".2.7.0", L"vnkWpClusterQuorumResourceName", Text, Always, Computed, None, nullptr, 0, nullptr},
  {ClusterQuorumResourceDevice, T::Cluster, R ".2.8.0", L"vnkWpClusterQuorumResourceDevice", Text, Always, Computed, None, nullptr, 0, nullptr},
  {ClusterQuorumResourceMaxLog, T::Cluster, R ".2.9.0", L"vnkWpClusterQuorumResourceMaxLog", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ClusterIPAddress, T::Cluster, R ".2.10.0", L"vnkWpClusterIPAddress", Text, Always, Computed, None, nullptr, 0, nullptr},

  {NodeNumber, T::Node, R ".3.1.0", L"vnkWpNodeNumber", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {NodeIndex, T::Node, R ".3.2.1.1.0", L"vnkWpNodeIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {NodeName, T::Node, R ".3.2.1.2.0", L"vnkWpNodeName", Text, Always, Computed, None, nullptr, 0, nullptr},
  {NodeState, T::Node, R ".3.2.1.3.0", L"vnkWpNodeState", Integer, Always, MibSource::NodeState, None, nullptr, 0, nullptr},
  {NodeDescription, T::Node, R ".3.2.1.4.0", L"vnkWpNodeDescription", Text, IfFound, AsRead, Common, L"Description", 0, nullptr},
  {NodeIpAddress, T::Node, R ".3.2.1.5.0", L"vnkWpNodeIpAddress", IpAddress, Always, Computed, None, nullptr, 0, nullptr},
  {NodeIpAddress2, T::Node, R ".3.2.1.6.0", L"vnkWpNodeIpAddress2", IpAddress, Always, Computed, None, nullptr, 0, nullptr},
  {NodeIpAddress3, T::Node, R ".3.2.1.7.0", L"vnkWpNodeIpAddress3", IpAddress, Always, Computed, None, nullptr, 0, nullptr},
  {NodeIpAddress4, T::Node, R ".3.2.1.8.0", L"vnkWpNodeIpAddress4", IpAddress, Always, Computed, None, nullptr, 0, nullptr},

  {ResourceTypeNumber, T::ResourceType, R ".4.1.0", L"vnkWpResourceTypeNumber", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ResourceTypeIndex, T::ResourceType, R ".4.2.1.1.0", L"vnkWpResourceTypeIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ResourceTypeName, T::ResourceType, R ".4.2.1.2.0", L"vnkWpResourceTypeName", Text, Always, Computed, None, nullptr, 0, nullptr},
  {ResourceTypeAdminExtensions, T::ResourceType, R ".4.2.1.3.0", L"vnkWpResourceTypeAdminExtensions", Bytes, IfAnyString, AdminExtensions, Common, L"AdminExtensions", 0, nullptr},
  {ResourceTypeDebugControlFunctions, T::ResourceType, R ".4.2.1.4.0", L"vnkWpResourceTypeDebugControlFunctions", Integer, IfFound, Boolean, Common, L"DebugControlFunctions", 0, nullptr},
  {ResourceTypeDebugPrefix, T::ResourceType, R ".4.2.1.5.0", L"vnkWpResourceTypeDebugPrefix", Text, IfFound, AsRead, Common, L"DebugPrefix", 0, nullptr},
  {ResourceTypeDescription, T::ResourceType, R ".4.2.1.6.0", L"vnkWpResourceTypeDescription", Text, IfFound, AsRead, Common, L"Description", 0, nullptr},
  {ResourceTypeDllName, T::ResourceType, R ".4.2.1.7.0", L"vnkWpResourceTypeDllName", Text, IfFound, AsRead, ReadOnly, L"DllName", 0, nullptr},
  {ResourceTypeIsAlivePollInterval, T::ResourceType, R ".4.2.1.8.0", L"vnkWpResourceTypeIsAlivePollInterval", Integer, IfFound, AsRead, Common, L"IsAlivePollInterval", 0, nullptr},
  {ResourceTypeLooksAlivePollInterval, T::ResourceType, R ".4.2.1.9.0", L"vnkWpResourceTypeLooksAlivePollInterval", Integer, IfFound, AsRead, Common, L"LooksAlivePollInterval", 0, nullptr},

  {GroupNumber, T::Group, R ".5.1.0", L"vnkWpGroupNumber", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {GroupIndex, T::Group, R ".5.2.1.1.0", L"vnkWpGroupIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {GroupName, T::Group, R ".5.2.1.2.0", L"vnkWpGroupName", Text, Always, Computed, None, nullptr, 0, nullptr},
  {GroupState, T::Group, R ".5.2.1.3.0", L"vnkWpGroupState", Integer, Always, MibSource::GroupState, None, nullptr, 0, nullptr},
  {GroupNodeIndex, T::Group, R ".5.2.1.4.0", L"vnkWpGroupNodeIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {GroupAutoFailbackType, T::Group, R ".5.2.1.5.0", L"vnkWpGroupAutoFailbackType", Integer, IfListRead, Boolean, Common, L"AutoFailbackType", 1, nullptr},
  {GroupDescription, T::Group, R ".5.2.1.6.0", L"vnkWpGroupDescription", Text, IfFound, AsRead, Common, L"Description", 0, nullptr},
  {GroupFailbackWindowStart, T::Group, R ".5.2.1.7.0", L"vnkWpGroupFailbackWindowStart", Integer, IfFound, AsRead, Common, L"FailbackWindowStart", 0, nullptr},
  {GroupFailbackWindowEnd, T::Group, R ".5.2.1.8.0", L"vnkWpGroupFailbackWindowEnd", Integer, IfFound, AsRead, Common, L"FailbackWindowEnd", 0, nullptr},
  {GroupFailoverThreshold, T::Group, R ".5.2.1.9.0", L"vnkWpGroupFailoverThreshold", Integer, IfFound, AsRead, Common, L"FailoverThreshold", 0, nullptr},
  {GroupFailoverPeriod, T::Group, R ".5.2.1.10.0", L"vnkWpGroupFailoverPeriod", Integer, IfFound, AsRead, Common, L"FailoverPeriod", 0, nullptr},
  {GroupPersistentState, T::Group, R ".5.2.1.11.0", L"vnkWpGroupPersistentState", Integer, IfListRead, Boolean, Common, L"PersistentState", 1, nullptr},

  {ResourceNumber, T::Resource, R ".6.1.0", L"vnkWpResourceNumber", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ResourceGroupIndex, T::Resource, R ".6.2.1.1.0.0", L"vnkWpResourceGroupIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ResourceIndex, T::Resource, R ".6.2.1.2.0.0", L"vnkWpResourceIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ResourceName, T::Resource, R ".6.2.1.3.0.0", L"vnkWpResourceName", Text, Always, Computed, None, nullptr, 0, nullptr},
  {ResourceState, T::Resource, R ".6.2.1.4.0.0", L"vnkWpResourceState", Integer, Always, MibSource::ResourceState, None, nullptr, 0, nullptr},
  {ResourceNetworkName, T::Resource, R ".6.2.1.5.0.0", L"vnkWpResourceNetworkName", Text, IpColumns, Computed, None, nullptr, 0, nullptr},
  {ResourceResourceTypeIndex, T::Resource, R ".6.2.1.6.0.0", L"vnkWpResourceResourceTypeIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {ResourceDebugPrefix, T::Resource, R ".6.2.1.7.0.0", L"vnkWpResourceDebugPrefix", Text, IfFound, AsRead, Common, L"DebugPrefix", 0, nullptr},
  {ResourceDescription, T::Resource, R ".6.2.1.8.0.0", L"vnkWpResourceDescription", Text, IfFound, AsRead, Common, L"Description", 0, nullptr},
  {ResourceIsAlivePollInterval, T::Resource, R ".6.2.1.9.0.0", L"vnkWpResourceIsAlivePollInterval", Integer, IfFound, AsRead, Common, L"IsAlivePollInterval", 0, nullptr},
  {ResourceLooksAlivePollInterval, T::Resource, R ".6.2.1.10.0.0", L"vnkWpResourceLooksAlivePollInterval", Integer, IfFound, AsRead, Common, L"LooksAlivePollInterval", 0, nullptr},
  {ResourcePendingTimeout, T::Resource, R ".6.2.1.11.0.0", L"vnkWpResourcePendingTimeout", Integer, IfFound, AsRead, Common, L"PendingTimeout", 0, nullptr},
  {ResourcePersistentState, T::Resource, R ".6.2.1.12.0.0", L"vnkWpResourcePersistentState", Integer, IfListRead, Boolean, Common, L"PersistentState", 1, nullptr},
  {ResourceRestartAction, T::Resource, R ".6.2.1.13.0.0", L"vnkWpResourceRestartAction", Integer, IfListRead, RestartAction, Common, L"RestartAction", 1, nullptr},
  {ResourceRestartPeriod, T::Resource, R ".6.2.1.14.0.0", L"vnkWpResourceRestartPeriod", Integer, IfFound, AsRead, Common, L"RestartPeriod", 0, nullptr},
  {ResourceRestartThreshold, T::Resource, R ".6.2.1.15.0.0", L"vnkWpResourceRestartThreshold", Integer, IfFound, AsRead, Common, L"RestartThreshold", 0, nullptr},
  {ResourceSeparateMonitor, T::Resource, R ".6.2.1.16.0.0", L"vnkWpResourceSeparateMonitor", Integer, IfListRead, Boolean, Common, L"SeparateMonitor", 1, nullptr},
  {FileShareResourceMaxUsers, T::Resource, R ".6.2.1.17.0.0", L"vnkWpFileShareResourceMaxUsers", Integer, IfFound, AsRead, Private, L"MaxUsers", 0, nullptr},
  {FileShareResourcePath, T::Resource, R ".6.2.1.18.0.0", L"vnkWpFileShareResourcePath", Text, IfFound, AsRead, Private, L"Path", 0, nullptr},
  {FileShareResourceRemark, T::Resource, R ".6.2.1.19.0.0", L"vnkWpFileShareResourceRemark", Text, IfFound, AsRead, Private, L"Remark", 0, nullptr},
  {FileShareResourceShareName, T::Resource, R ".6.2.1.21.0.0", L"vnkWpFileShareResourceShareName", Text, IfFound, AsRead, Private, L"ShareName", 0, nullptr},
  {GenericApplicationResourceCommandLine, T::Resource, R ".6.2.1.22.0.0", L"vnkWpGenericApplicationResourceCommandLine", Text, IfFound, AsRead, Private, L"CommandLine", 0, nullptr},
  {GenericApplicationResourceCurrentDirectory, T::Resource, R ".6.2.1.23.0.0", L"vnkWpGenericApplicationResourceCurrentDirectory", Text, IfFound, AsRead, Private, L"CurrentDirectory", 0, nullptr},
  {GenericApplicationResourceInteractWithDesktop, T::Resource, R ".6.2.1.24.0.0", L"vnkWpGenericApplicationResourceInteractWithDesktop", Integer, IfListRead, Boolean, Private, L"InteractWithDesktop", 1, nullptr},
  {GenericApplicationResourceUseNetworkName, T::Resource, R ".6.2.1.25.0.0", L"vnkWpGenericApplicationResourceUseNetworkName", Integer, IfListRead, Boolean, Private, L"UseNetworkName", 1, nullptr},
  {GenericServiceResourceStartupParameters, T::Resource, R ".6.2.1.26.0.0", L"vnkWpGenericServiceResourceStartupParameters", Text, IfFound, AsRead, Private, L"StartupParameters", 0, nullptr},
  {GenericServiceResourceServiceName, T::Resource, R ".6.2.1.27.0.0", L"vnkWpGenericServiceResourceServiceName", Text, IfFound, AsRead, Private, L"ServiceName", 0, nullptr},
  {IISVirtualRootResourceAlias, T::Resource, R ".6.2.1.31.0.0", L"vnkWpIISVirtualRootResourceAlias", Text, IfFound, AsRead, Private, L"Alias", 0, nullptr},
  {IISVirtualRootResourceDirectory, T::Resource, R ".6.2.1.32.0.0", L"vnkWpIISVirtualRootResourceDirectory", Text, IfFound, AsRead, Private, L"Directory", 0, nullptr},
  {IISVirtualRootResourceServiceType, T::Resource, R ".6.2.1.33.0.0", L"vnkWpIISVirtualRootResourceServiceType", Integer, IfNonEmpty, IisServiceType, Private, L"ServiceName", 0, nullptr},
  {IPAddressResourceAddress, T::Resource, R ".6.2.1.34.0.0", L"vnkWpIPAddressResourceAddress", Text, IpColumnsIfFound, AsRead, Private, L"Address", 0, nullptr},
  {IPAddressResourceNetworkIndex, T::Resource, R ".6.2.1.35.0.0", L"vnkWpIPAddressResourceNetworkIndex", Integer, IpColumns, Computed, None, nullptr, 0, nullptr},
  {IPAddressResourceSubnetMask, T::Resource, R ".6.2.1.36.0.0", L"vnkWpIPAddressResourceSubnetMask", Text, IpColumnsIfFound, AsRead, Private, L"SubnetMask", 0, nullptr},
  {NetworkNameResourceName, T::Resource, R ".6.2.1.37.0.0", L"vnkWpNetworkNameResourceName", Text, IpColumnsIfFound, AsRead, Private, L"Name", 0, nullptr},
  {PhysicalDiskResourceDrive, T::Resource, R ".6.2.1.38.0.0", L"vnkWpPhysicalDiskResourceDrive", Text, IfFound, AsRead, Private, L"Drive", 0, nullptr},
  {PhysicalDiskResourceSignature, T::Resource, R ".6.2.1.39.0.0", L"vnkWpPhysicalDiskResourceSignature", Integer, IfFound, AsRead, Private, L"Signature", 0, nullptr},
  {PrintSpoolerResourceDefaultSpoolDirectory, T::Resource, R ".6.2.1.40.0.0", L"vnkWpPrintSpoolerResourceDefaultSpoolDirectory", Text, IfFound, AsRead, Private, L"DefaultSpoolDirectory", 0, nullptr},
  {PrintSpoolerResourceJobCompletionTimeout, T::Resource, R ".6.2.1.41.0.0", L"vnkWpPrintSpoolerResourceJobCompletionTimeout", Integer, IfFound, AsRead, Private, L"JobCompletionTimeout", 0, nullptr},

  {PreferredNodeNumber, T::PreferredNode, R ".7.1.0", L"vnkWpPreferredNodeNumber", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {PreferredNodeGroupIndex, T::PreferredNode, R ".7.2.1.1.0.0", L"vnkWpPreferredNodeGroupIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {PreferredNodeRank, T::PreferredNode, R ".7.2.1.2.0.0", L"vnkWpPreferredNodeRank", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {PreferredNodeIndex, T::PreferredNode, R ".7.2.1.3.0.0", L"vnkWpPreferredNodeIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},

  {ResourceDependencyNumber, T::Dependency, R ".8.1.0", L"vnkWpResourceDependencyNumber", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {DependencyConditionGroupIndex, T::Dependency, R ".8.2.1.1.0.0.0.0", L"vnkWpDependencyConditionGroupIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {DependencyConditionResourceIndex, T::Dependency, R ".8.2.1.2.0.0.0.0", L"vnkWpDependencyConditionResourceIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {DependencyDependentGroupIndex, T::Dependency, R ".8.2.1.3.0.0.0.0", L"vnkWpDependencyDependentGroupIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {DependencyDependentResourceIndex, T::Dependency, R ".8.2.1.4.0.0.0.0", L"vnkWpDependencyDependentResourceIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},

  {NetworkNumber, T::Network, R ".11.1.0", L"vnkWpNetworkNumber", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {NetworkIndex, T::Network, R ".11.2.1.1.0", L"vnkWpNetworkIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {NetworkName, T::Network, R ".11.2.1.2.0", L"vnkWpNetworkName", Text, Always, Computed, None, nullptr, 0, nullptr},
  {NetworkState, T::Network, R ".11.2.1.3.0", L"vnkWpNetworkState", Integer, Always, MibSource::NetworkState, None, nullptr, 0, nullptr},
  {NetworkAddress, T::Network, R ".11.2.1.4.0", L"vnkWpNetworkAddress", Text, IfFound, AsRead, ReadOnly, L"Address", 0, nullptr},
  {NetworkAddressMask, T::Network, R ".11.2.1.5.0", L"vnkWpNetworkAddressMask", Text, IfFound, AsRead, ReadOnly, L"AddressMask", 0, nullptr},
  {NetworkDescription, T::Network, R ".11.2.1.6.0", L"vnkWpNetworkDescription", Text, IfFound, AsRead, Common, L"Description", 0, nullptr},
  {NetworkRole, T::Network, R ".11.2.1.7.0", L"vnkWpNetworkRole", Integer, IfFound, MibSource::NetworkRole, Common, L"Role", 0, nullptr},

  {NetInterfaceNumber, T::NetInterface, R ".12.1.0", L"vnkWpNetInterfaceNumber", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {NetInterfaceNodeIndex, T::NetInterface, R ".12.2.1.1.0.0", L"vnkWpNetInterfaceNodeIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {NetInterfaceNetworkIndex, T::NetInterface, R ".12.2.1.2.0.0", L"vnkWpNetInterfaceNetworkIndex", Integer, Always, Computed, None, nullptr, 0, nullptr},
  {NetInterfaceName, T::NetInterface, R ".12.2.1.3.0.0", L"vnkWpNetInterfaceName", Text, Always, Computed, None, nullptr, 0, nullptr},
  {NetInterfaceState, T::NetInterface, R ".12.2.1.4.0.0", L"vnkWpNetInterfaceState", Integer, Always, MibSource::NetInterfaceState, None, nullptr, 0, nullptr},
  {NetInterfaceAdapter, T::NetInterface, R ".12.2.1.5.0.0", L"vnkWpNetInterfaceAdapter", Text, IfFound, AsRead, ReadOnly, L"Adapter", 0, nullptr},
  {NetInterfaceAddress, T::NetInterface, R ".12.2.1.6.0.0", L"vnkWpNetInterfaceAddress", Text, IfFound, AsRead, ReadOnly, L"Address", 0, nullptr},
  {NetInterfaceDescription, T::NetInterface, R ".12.2.1.7.0.0", L"vnkWpNetInterfaceDescription", Text, IfFound, AsRead, Common, L"Description", 0, nullptr},
  {NetInterfaceAdapterId, T::NetInterface, R ".12.2.1.8.0.0", L"vnkWpNetInterfaceAdapterId", Text, IfFound, AsRead, ReadOnly, L"AdapterId", 0, nullptr},
};

#undef R

constexpr bool RowsFollowTheIds() {
  for (size_t i = 0; i < std::size(kCatalogue); ++i) {
    if (static_cast<size_t>(kCatalogue[i].Id) != i) return false;
  }
  return std::size(kCatalogue) == static_cast<size_t>(MibId::Count);
}
static_assert(RowsFollowTheIds(), "catalogue rows must follow the order of MibId");

// Cluster value, MIB value.
constexpr MibValuePair kNodeStates[] = {{0, 2}, {1, 3}, {2, 4}, {3, 5}, {-1, 6}};
constexpr MibValuePair kGroupStates[] = {{0, 2}, {1, 3}, {3, 4}, {2, 5}, {-1, 6}};
constexpr MibValuePair kResourceStates[] = {{2, 2},   {3, 3},  {4, 4}, {129, 5}, {130, 6},
                                            {128, 7}, {-1, 8}, {0, 9}, {1, 10}};
constexpr MibValuePair kNetworkStates[] = {{3, 2}, {1, 3}, {2, 4}, {0, 5}};
constexpr MibValuePair kNetInterfaceStates[] = {{3, 2}, {1, 3}, {2, 4}, {0, 5}};
constexpr MibValuePair kNetworkRoles[] = {{0, 2}, {2, 3}, {1, 4}, {3, 5}};
constexpr MibValuePair kBooleans[] = {{1, 2}, {0, 3}};
constexpr MibValuePair kRestartActions[] = {{0, 2}, {1, 3}, {2, 4}};

// Table, other, unreadable.
const MibValueMap kMapN{kNodeStates, 1, 6};
const MibValueMap kMapG{kGroupStates, 1, 6};
const MibValueMap kMapR{kResourceStates, 1, 8};
const MibValueMap kMapW{kNetworkStates, 1, 1};
const MibValueMap kMapF{kNetInterfaceStates, 1, 1};
const MibValueMap kMapO{kNetworkRoles, 1, 1};
const MibValueMap kMapB{kBooleans, 1, 1};
const MibValueMap kMapA{kRestartActions, 1, 1};
const MibValueMap kIdentity{{}, 0, 0};

}  // namespace

std::span<const MibObjectDef> MibCatalogue() { return kCatalogue; }

const MibObjectDef& MibDef(MibId id) { return kCatalogue[static_cast<size_t>(id)]; }

BYTE AsnTypeOf(MibSyntax syntax) {
  switch (syntax) {
    case MibSyntax::Integer: return ASN_INTEGER;
    case MibSyntax::Text:
    case MibSyntax::Bytes: return ASN_OCTETSTRING;
    case MibSyntax::IpAddress: return ASN_IPADDRESS;
  }
  return ASN_NULL;
}

LONG MibValueMap::Map(LONG value) const {
  for (const MibValuePair& pair : Pairs) {
    if (pair.From == value) return pair.To;
  }
  return Other;
}

const MibValueMap& MibMapOf(MibSource source) {
  switch (source) {
    case MibSource::NodeState: return kMapN;
    case MibSource::GroupState: return kMapG;
    case MibSource::ResourceState: return kMapR;
    case MibSource::NetworkState: return kMapW;
    case MibSource::NetInterfaceState: return kMapF;
    case MibSource::NetworkRole: return kMapO;
    case MibSource::Boolean: return kMapB;
    case MibSource::RestartAction: return kMapA;
    default: return kIdentity;
  }
}

LONG MapState(MibSource source, bool read, LONG state) {
  const MibValueMap& map = MibMapOf(source);
  return read ? map.Map(state) : map.Unreadable;
}

LONG MapIisServiceType(const wchar_t* serviceName) {
  static constexpr struct {
    const wchar_t* Name;
    LONG Value;
  } kTypes[] = {{L"www", 2}, {L"ftp", 3}, {L"gopher", 4}};
  for (const auto& type : kTypes) {
    if (serviceName && std::wcscmp(serviceName, type.Name) == 0) return type.Value;
  }
  return 1;
}

UINT MibIndexArcs(const MibObjectDef& def) {
  static constexpr MibId kCounts[] = {MibId::NodeNumber,          MibId::ResourceTypeNumber,       MibId::GroupNumber,
                                      MibId::ResourceNumber,      MibId::PreferredNodeNumber,      MibId::NetworkNumber,
                                      MibId::ResourceDependencyNumber, MibId::NetInterfaceNumber};
  if (def.Table == MibTable::Agent || def.Table == MibTable::Cluster) return 0;
  for (MibId count : kCounts) {
    if (def.Id == count) return 0;
  }
  switch (def.Table) {
    case MibTable::Resource:
    case MibTable::PreferredNode:
    case MibTable::NetInterface: return 2;
    case MibTable::Dependency: return 4;
    default: return 1;
  }
}

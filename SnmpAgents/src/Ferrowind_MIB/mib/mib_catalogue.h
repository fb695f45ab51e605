// The objects of VNK-NT-CLUSTER-MIB revision 4.0: one table row per object with its OID
// template, name, syntax, presence rule and value source, and the value mappings of the
// cluster's states and properties. The build and the MIB module are both checked
// against this table.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <span>

// Every object of the MIB, in the order of the catalogue table.
enum class MibId : BYTE {
  AgentVersionMajor, AgentVersionMinor, AgentVersionString, AgentClusterServiceState,
  ClusterName, ClusterVersionMajor, ClusterVersionMinor, ClusterBuildNumber, ClusterVendorId, ClusterCSDVersion,
  ClusterQuorumResourceName, ClusterQuorumResourceDevice, ClusterQuorumResourceMaxLog, ClusterIPAddress,
  NodeNumber, NodeIndex, NodeName, NodeState, NodeDescription, NodeIpAddress, NodeIpAddress2, NodeIpAddress3,
  NodeIpAddress4,
  ResourceTypeNumber, ResourceTypeIndex, ResourceTypeName, ResourceTypeAdminExtensions,
  ResourceTypeDebugControlFunctions, ResourceTypeDebugPrefix, ResourceTypeDescription, ResourceTypeDllName,
  ResourceTypeIsAlivePollInterval, ResourceTypeLooksAlivePollInterval,
  GroupNumber, GroupIndex, GroupName, GroupState, GroupNodeIndex, GroupAutoFailbackType, GroupDescription,
  GroupFailbackWindowStart, GroupFailbackWindowEnd, GroupFailoverThreshold, GroupFailoverPeriod,
  GroupPersistentState,
  ResourceNumber, ResourceGroupIndex, ResourceIndex, ResourceName, ResourceState, ResourceNetworkName,
  ResourceResourceTypeIndex, ResourceDebugPrefix, ResourceDescription, ResourceIsAlivePollInterval,
  ResourceLooksAlivePollInterval, ResourcePendingTimeout, ResourcePersistentState, ResourceRestartAction,
  ResourceRestartPeriod, ResourceRestartThreshold, ResourceSeparateMonitor, FileShareResourceMaxUsers,
  FileShareResourcePath, FileShareResourceRemark, FileShareResourceShareName, GenericApplicationResourceCommandLine,
  GenericApplicationResourceCurrentDirectory, GenericApplicationResourceInteractWithDesktop,
  GenericApplicationResourceUseNetworkName, GenericServiceResourceStartupParameters,
  GenericServiceResourceServiceName, IISVirtualRootResourceAlias, IISVirtualRootResourceDirectory,
  IISVirtualRootResourceServiceType, IPAddressResourceAddress, IPAddressResourceNetworkIndex,
  IPAddressResourceSubnetMask, NetworkNameResourceName, PhysicalDiskResourceDrive, PhysicalDiskResourceSignature,
  PrintSpoolerResourceDefaultSpoolDirectory, PrintSpoolerResourceJobCompletionTimeout,
  PreferredNodeNumber, PreferredNodeGroupIndex, PreferredNodeRank, PreferredNodeIndex,
  ResourceDependencyNumber, DependencyConditionGroupIndex, DependencyConditionResourceIndex,
  DependencyDependentGroupIndex, DependencyDependentResourceIndex,
  NetworkNumber, NetworkIndex, NetworkName, NetworkState, NetworkAddress, NetworkAddressMask, NetworkDescription,
  NetworkRole,
  NetInterfaceNumber, NetInterfaceNodeIndex, NetInterfaceNetworkIndex, NetInterfaceName, NetInterfaceState,
  NetInterfaceAdapter, NetInterfaceAddress, NetInterfaceDescription, NetInterfaceAdapterId,
  Count
};

// The branch, or table, an object belongs to; a table's rows share its index.
enum class MibTable : BYTE {
  Agent, Cluster, Node, ResourceType, Group, Resource, PreferredNode, Dependency, Network, NetInterface
};

enum class MibSyntax : BYTE { Integer, Text, Bytes, IpAddress };

// The property list a column is taken from.
enum class MibList : BYTE { None, Common, ReadOnly, Private };

// Which rows carry the object.
enum class MibPresence : BYTE {
  Always,            // every row; a scalar once per build
  IfFound,           // the list was read and holds the property
  IfListRead,        // the list was read; the row's default when the property is missing
  IfNonEmpty,        // the property was found and is not empty
  IfAnyString,       // a MULTI_SZ found with at least one non-empty string
  IpColumns,         // the resource's private list was read and its "Network" is a listed network
  IpColumnsIfFound,  // as IpColumns, and the property was found
};

// How the value is made: computed by the build (indexes, names, counts, addresses), a
// constant, a mapped state, or a property taken as read or through a mapping.
enum class MibSource : BYTE {
  Computed,
  Constant,
  NodeState,          // table N
  GroupState,         // table G
  ResourceState,      // table R
  NetworkState,       // table W
  NetInterfaceState,  // table F
  AsRead,             // DWORD as read, or a text
  Boolean,            // table B
  RestartAction,      // table A
  NetworkRole,        // table O
  IisServiceType,     // "www", "ftp", "gopher" in exact case
  AdminExtensions,    // MULTI_SZ as UTF-16LE bytes
};

struct MibObjectDef {
  MibId Id;
  MibTable Table;
  const wchar_t* OidTemplate;  // a table column ends in one placeholder arc per index
  const wchar_t* Name;
  MibSyntax Syntax;
  MibPresence Presence;
  MibSource Source;
  MibList List;
  const wchar_t* Property;  // property name for list columns, else null
  LONG Default;             // the constant, or the value of a missing property (IfListRead)
  const wchar_t* Text;      // the text constant
};

std::span<const MibObjectDef> MibCatalogue();
const MibObjectDef& MibDef(MibId id);
BYTE AsnTypeOf(MibSyntax syntax);

// The MIB region of the cluster agent.
inline constexpr const wchar_t* kClusterMibRoot = L".1.3.6.1.4.1.884.2.10.2.9.1";

// A value mapping: listed cluster values, the MIB value of any other value, and of a
// state that could not be read.
struct MibValuePair {
  LONG From;
  LONG To;
};
struct MibValueMap {
  std::span<const MibValuePair> Pairs;
  LONG Other;
  LONG Unreadable;
  LONG Map(LONG value) const;
};

const MibValueMap& MibMapOf(MibSource source);
// A state read result: the mapped value, or the unreadable value when the read failed.
LONG MapState(MibSource source, bool read, LONG state);
LONG MapIisServiceType(const wchar_t* serviceName);

// Index arcs at the end of an object's OID template: 0 for a scalar (its ".0" instance
// arc aside), else the number of its table's indexes.
UINT MibIndexArcs(const MibObjectDef& def);

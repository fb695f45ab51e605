// Cluster API (clusapi.dll): the subset the system calls, with Win32's declarations.
// On Linux the calls go to the cluster service stand-in over a local socket.
#pragma once
#include "windef.h"
#include "winerror.h"
#include "winreg.h"

WINAPI_BEGIN_DECLS

typedef struct _HCLUSTER* HCLUSTER;
typedef struct _HNODE* HNODE;
typedef struct _HRESOURCE* HRESOURCE;
typedef struct _HGROUP* HGROUP;
typedef struct _HNETWORK* HNETWORK;
typedef struct _HNETINTERFACE* HNETINTERFACE;
typedef struct _HCHANGE* HCHANGE;
typedef struct _HCLUSENUM* HCLUSENUM;
typedef struct _HGROUPENUM* HGROUPENUM;
typedef struct _HRESENUM* HRESENUM;

#define MAX_CLUSTERNAME_LENGTH 15

typedef struct CLUSTERVERSIONINFO {
  DWORD dwVersionInfoSize;
  WORD MajorVersion;
  WORD MinorVersion;
  WORD BuildNumber;
  WCHAR szVendorId[64];
  WCHAR szCSDVersion[64];
  DWORD dwClusterHighestVersion;
  DWORD dwClusterLowestVersion;
  DWORD dwFlags;
  DWORD dwReserved;
} CLUSTERVERSIONINFO, *LPCLUSTERVERSIONINFO, *PCLUSTERVERSIONINFO;

typedef enum CLUSTER_CHANGE {
  CLUSTER_CHANGE_NODE_STATE = 0x00000001,
  CLUSTER_CHANGE_NODE_DELETED = 0x00000002,
  CLUSTER_CHANGE_NODE_ADDED = 0x00000004,
  CLUSTER_CHANGE_NODE_PROPERTY = 0x00000008,
  CLUSTER_CHANGE_REGISTRY_NAME = 0x00000010,
  CLUSTER_CHANGE_REGISTRY_ATTRIBUTES = 0x00000020,
  CLUSTER_CHANGE_REGISTRY_VALUE = 0x00000040,
  CLUSTER_CHANGE_REGISTRY_SUBTREE = 0x00000080,
  CLUSTER_CHANGE_RESOURCE_STATE = 0x00000100,
  CLUSTER_CHANGE_RESOURCE_DELETED = 0x00000200,
  CLUSTER_CHANGE_RESOURCE_ADDED = 0x00000400,
  CLUSTER_CHANGE_RESOURCE_PROPERTY = 0x00000800,
  CLUSTER_CHANGE_GROUP_STATE = 0x00001000,
  CLUSTER_CHANGE_GROUP_DELETED = 0x00002000,
  CLUSTER_CHANGE_GROUP_ADDED = 0x00004000,
  CLUSTER_CHANGE_GROUP_PROPERTY = 0x00008000,
  CLUSTER_CHANGE_RESOURCE_TYPE_DELETED = 0x00010000,
  CLUSTER_CHANGE_RESOURCE_TYPE_ADDED = 0x00020000,
  CLUSTER_CHANGE_RESOURCE_TYPE_PROPERTY = 0x00040000,
  CLUSTER_CHANGE_CLUSTER_RECONNECT = 0x00080000,
  CLUSTER_CHANGE_NETWORK_STATE = 0x00100000,
  CLUSTER_CHANGE_NETWORK_DELETED = 0x00200000,
  CLUSTER_CHANGE_NETWORK_ADDED = 0x00400000,
  CLUSTER_CHANGE_NETWORK_PROPERTY = 0x00800000,
  CLUSTER_CHANGE_NETINTERFACE_STATE = 0x01000000,
  CLUSTER_CHANGE_NETINTERFACE_DELETED = 0x02000000,
  CLUSTER_CHANGE_NETINTERFACE_ADDED = 0x04000000,
  CLUSTER_CHANGE_NETINTERFACE_PROPERTY = 0x08000000,
  CLUSTER_CHANGE_QUORUM_STATE = 0x10000000,
  CLUSTER_CHANGE_CLUSTER_STATE = 0x20000000,
  CLUSTER_CHANGE_CLUSTER_PROPERTY = 0x40000000,
  CLUSTER_CHANGE_HANDLE_CLOSE = (int)0x80000000,
  CLUSTER_CHANGE_ALL = (int)0xFFFFFFFF
} CLUSTER_CHANGE;

typedef enum CLUSTER_ENUM {
  CLUSTER_ENUM_NODE = 0x00000001,
  CLUSTER_ENUM_RESTYPE = 0x00000002,
  CLUSTER_ENUM_RESOURCE = 0x00000004,
  CLUSTER_ENUM_GROUP = 0x00000008,
  CLUSTER_ENUM_NETWORK = 0x00000010,
  CLUSTER_ENUM_NETINTERFACE = 0x00000020,
  CLUSTER_ENUM_INTERNAL_NETWORK = (int)0x80000000,
  CLUSTER_ENUM_ALL = 0x0000003F
} CLUSTER_ENUM;

typedef enum CLUSTER_GROUP_ENUM {
  CLUSTER_GROUP_ENUM_CONTAINS = 0x00000001,
  CLUSTER_GROUP_ENUM_NODES = 0x00000002,
  CLUSTER_GROUP_ENUM_ALL = 0x00000003
} CLUSTER_GROUP_ENUM;

typedef enum CLUSTER_RESOURCE_ENUM {
  CLUSTER_RESOURCE_ENUM_DEPENDS = 0x00000001,
  CLUSTER_RESOURCE_ENUM_PROVIDES = 0x00000002,
  CLUSTER_RESOURCE_ENUM_NODES = 0x00000004,
  CLUSTER_RESOURCE_ENUM_ALL = 0x00000007
} CLUSTER_RESOURCE_ENUM;

typedef enum CLUSTER_NODE_STATE {
  ClusterNodeStateUnknown = -1,
  ClusterNodeUp = 0,
  ClusterNodeDown = 1,
  ClusterNodePaused = 2,
  ClusterNodeJoining = 3
} CLUSTER_NODE_STATE;

typedef enum CLUSTER_GROUP_STATE {
  ClusterGroupStateUnknown = -1,
  ClusterGroupOnline = 0,
  ClusterGroupOffline = 1,
  ClusterGroupFailed = 2,
  ClusterGroupPartialOnline = 3,
  ClusterGroupPending = 4
} CLUSTER_GROUP_STATE;

typedef enum CLUSTER_RESOURCE_STATE {
  ClusterResourceStateUnknown = -1,
  ClusterResourceInherited = 0,
  ClusterResourceInitializing = 1,
  ClusterResourceOnline = 2,
  ClusterResourceOffline = 3,
  ClusterResourceFailed = 4,
  ClusterResourcePending = 128,
  ClusterResourceOnlinePending = 129,
  ClusterResourceOfflinePending = 130
} CLUSTER_RESOURCE_STATE;

typedef enum CLUSTER_NETWORK_STATE {
  ClusterNetworkStateUnknown = -1,
  ClusterNetworkUnavailable = 0,
  ClusterNetworkDown = 1,
  ClusterNetworkPartitioned = 2,
  ClusterNetworkUp = 3
} CLUSTER_NETWORK_STATE;

typedef enum CLUSTER_NETWORK_ROLE {
  ClusterNetworkRoleNone = 0,
  ClusterNetworkRoleInternalUse = 1,
  ClusterNetworkRoleClientAccess = 2,
  ClusterNetworkRoleInternalAndClient = 3
} CLUSTER_NETWORK_ROLE;

typedef enum CLUSTER_NETINTERFACE_STATE {
  ClusterNetInterfaceStateUnknown = -1,
  ClusterNetInterfaceUnavailable = 0,
  ClusterNetInterfaceFailed = 1,
  ClusterNetInterfaceUnreachable = 2,
  ClusterNetInterfaceUp = 3
} CLUSTER_NETINTERFACE_STATE;

// Control codes: object type in the top byte, function number shifted by 2, access in
// the low bits. Only the property reads are used.
#define CLUS_OBJECT_RESOURCE 1
#define CLUS_OBJECT_RESOURCE_TYPE 2
#define CLUS_OBJECT_GROUP 3
#define CLUS_OBJECT_NODE 4
#define CLUS_OBJECT_NETWORK 5
#define CLUS_OBJECT_NETINTERFACE 6
#define CLUS_OBJECT_CLUSTER 7

#define CLUSCTL_RESOURCE_GET_RO_COMMON_PROPERTIES 0x01000055
#define CLUSCTL_RESOURCE_GET_COMMON_PROPERTIES 0x01000059
#define CLUSCTL_RESOURCE_GET_RO_PRIVATE_PROPERTIES 0x0100007D
#define CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES 0x01000081
#define CLUSCTL_RESOURCE_TYPE_GET_RO_COMMON_PROPERTIES 0x02000055
#define CLUSCTL_RESOURCE_TYPE_GET_COMMON_PROPERTIES 0x02000059
#define CLUSCTL_RESOURCE_TYPE_GET_RO_PRIVATE_PROPERTIES 0x0200007D
#define CLUSCTL_RESOURCE_TYPE_GET_PRIVATE_PROPERTIES 0x02000081
#define CLUSCTL_GROUP_GET_RO_COMMON_PROPERTIES 0x03000055
#define CLUSCTL_GROUP_GET_COMMON_PROPERTIES 0x03000059
#define CLUSCTL_GROUP_GET_RO_PRIVATE_PROPERTIES 0x0300007D
#define CLUSCTL_GROUP_GET_PRIVATE_PROPERTIES 0x03000081
#define CLUSCTL_NODE_GET_RO_COMMON_PROPERTIES 0x04000055
#define CLUSCTL_NODE_GET_COMMON_PROPERTIES 0x04000059
#define CLUSCTL_NODE_GET_RO_PRIVATE_PROPERTIES 0x0400007D
#define CLUSCTL_NODE_GET_PRIVATE_PROPERTIES 0x04000081
#define CLUSCTL_NETWORK_GET_RO_COMMON_PROPERTIES 0x05000055
#define CLUSCTL_NETWORK_GET_COMMON_PROPERTIES 0x05000059
#define CLUSCTL_NETWORK_GET_RO_PRIVATE_PROPERTIES 0x0500007D
#define CLUSCTL_NETWORK_GET_PRIVATE_PROPERTIES 0x05000081
#define CLUSCTL_NETINTERFACE_GET_RO_COMMON_PROPERTIES 0x06000055
#define CLUSCTL_NETINTERFACE_GET_COMMON_PROPERTIES 0x06000059
#define CLUSCTL_NETINTERFACE_GET_RO_PRIVATE_PROPERTIES 0x0600007D
#define CLUSCTL_NETINTERFACE_GET_PRIVATE_PROPERTIES 0x06000081

// Property lists: a DWORD count, then per property a name value and a value list ended
// by an end mark. Every value is a syntax, a byte length and data padded to a DWORD.
typedef enum CLUSTER_PROPERTY_TYPE {
  CLUSPROP_TYPE_UNKNOWN = -1,
  CLUSPROP_TYPE_ENDMARK = 0,
  CLUSPROP_TYPE_LIST_VALUE = 1,
  CLUSPROP_TYPE_RESCLASS = 2,
  CLUSPROP_TYPE_RESERVED1 = 3,
  CLUSPROP_TYPE_NAME = 4
} CLUSTER_PROPERTY_TYPE;

typedef enum CLUSTER_PROPERTY_FORMAT {
  CLUSPROP_FORMAT_UNKNOWN = 0,
  CLUSPROP_FORMAT_BINARY = 1,
  CLUSPROP_FORMAT_DWORD = 2,
  CLUSPROP_FORMAT_SZ = 3,
  CLUSPROP_FORMAT_EXPAND_SZ = 4,
  CLUSPROP_FORMAT_MULTI_SZ = 5,
  CLUSPROP_FORMAT_ULARGE_INTEGER = 6,
  CLUSPROP_FORMAT_LONG = 7,
  CLUSPROP_FORMAT_EXPANDED_SZ = 8,
  CLUSPROP_FORMAT_SECURITY_DESCRIPTOR = 9,
  CLUSPROP_FORMAT_LARGE_INTEGER = 10,
  CLUSPROP_FORMAT_WORD = 11
} CLUSTER_PROPERTY_FORMAT;

#define CLUSPROP_SYNTAX_VALUE(type, format) ((DWORD)((((DWORD)(type)) << 16) | ((DWORD)(format))))

typedef enum CLUSTER_PROPERTY_SYNTAX {
  CLUSPROP_SYNTAX_ENDMARK = 0,
  CLUSPROP_SYNTAX_NAME = 0x00040003,
  CLUSPROP_SYNTAX_RESCLASS = 0x00020002,
  CLUSPROP_SYNTAX_LIST_VALUE_SZ = 0x00010003,
  CLUSPROP_SYNTAX_LIST_VALUE_EXPAND_SZ = 0x00010004,
  CLUSPROP_SYNTAX_LIST_VALUE_DWORD = 0x00010002,
  CLUSPROP_SYNTAX_LIST_VALUE_BINARY = 0x00010001,
  CLUSPROP_SYNTAX_LIST_VALUE_MULTI_SZ = 0x00010005,
  CLUSPROP_SYNTAX_LIST_VALUE_LONG = 0x00010007,
  CLUSPROP_SYNTAX_LIST_VALUE_EXPANDED_SZ = 0x00010008,
  CLUSPROP_SYNTAX_LIST_VALUE_SECURITY_DESCRIPTOR = 0x00010009,
  CLUSPROP_SYNTAX_LIST_VALUE_LARGE_INTEGER = 0x0001000A,
  CLUSPROP_SYNTAX_LIST_VALUE_ULARGE_INTEGER = 0x00010006,
  CLUSPROP_SYNTAX_LIST_VALUE_WORD = 0x0001000B
} CLUSTER_PROPERTY_SYNTAX;

typedef union CLUSPROP_SYNTAX {
  DWORD dw;
  struct {
    WORD wFormat;
    WORD wType;
  };
} CLUSPROP_SYNTAX, *PCLUSPROP_SYNTAX;

typedef struct CLUSPROP_VALUE {
  CLUSPROP_SYNTAX Syntax;
  DWORD cbLength;
} CLUSPROP_VALUE, *PCLUSPROP_VALUE;

typedef struct CLUSPROP_DWORD {
  CLUSPROP_VALUE Value;
  DWORD dw;
} CLUSPROP_DWORD, *PCLUSPROP_DWORD;

typedef struct CLUSPROP_SZ {
  CLUSPROP_VALUE Value;
  WCHAR sz[1];
} CLUSPROP_SZ, *PCLUSPROP_SZ;

typedef struct CLUSPROP_LIST {
  DWORD nPropertyCount;
  CLUSPROP_SZ PropertyName;
} CLUSPROP_LIST, *PCLUSPROP_LIST;

#define ALIGN_CLUSPROP(count) (((count) + 3) & ~3)

// Connection and cluster facts
WINAPI_EXPORT HCLUSTER WINAPI OpenCluster(LPCWSTR lpszClusterName);
WINAPI_EXPORT BOOL WINAPI CloseCluster(HCLUSTER hCluster);
WINAPI_EXPORT DWORD WINAPI GetClusterInformation(HCLUSTER hCluster, LPWSTR lpszClusterName, LPDWORD lpcchClusterName,
                                                 LPCLUSTERVERSIONINFO lpClusterInfo);
WINAPI_EXPORT DWORD WINAPI GetClusterQuorumResource(HCLUSTER hCluster, LPWSTR lpszResourceName,
                                                    LPDWORD lpcchResourceName, LPWSTR lpszDeviceName,
                                                    LPDWORD lpcchDeviceName, LPDWORD lpdwMaxQuorumLogSize);

// Notification ports
WINAPI_EXPORT HCHANGE WINAPI CreateClusterNotifyPort(HCHANGE hChange, HCLUSTER hCluster, DWORD dwFilter,
                                                     DWORD_PTR dwNotifyKey);
WINAPI_EXPORT DWORD WINAPI GetClusterNotify(HCHANGE hChange, DWORD_PTR* lpdwNotifyKey, LPDWORD lpdwFilterType,
                                            LPWSTR lpszName, LPDWORD lpcchName, DWORD dwMilliseconds);
WINAPI_EXPORT BOOL WINAPI CloseClusterNotifyPort(HCHANGE hChange);

// Enumerations
WINAPI_EXPORT HCLUSENUM WINAPI ClusterOpenEnum(HCLUSTER hCluster, DWORD dwType);
WINAPI_EXPORT DWORD WINAPI ClusterGetEnumCount(HCLUSENUM hEnum);
WINAPI_EXPORT DWORD WINAPI ClusterEnum(HCLUSENUM hEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszName,
                                       LPDWORD lpcchName);
WINAPI_EXPORT DWORD WINAPI ClusterCloseEnum(HCLUSENUM hEnum);

// Nodes
WINAPI_EXPORT HNODE WINAPI OpenClusterNode(HCLUSTER hCluster, LPCWSTR lpszNodeName);
WINAPI_EXPORT BOOL WINAPI CloseClusterNode(HNODE hNode);
WINAPI_EXPORT CLUSTER_NODE_STATE WINAPI GetClusterNodeState(HNODE hNode);
WINAPI_EXPORT DWORD WINAPI ClusterNodeControl(HNODE hNode, HNODE hHostNode, DWORD dwControlCode, LPVOID lpInBuffer,
                                              DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                              LPDWORD lpBytesReturned);

// Groups
WINAPI_EXPORT HGROUP WINAPI OpenClusterGroup(HCLUSTER hCluster, LPCWSTR lpszGroupName);
WINAPI_EXPORT BOOL WINAPI CloseClusterGroup(HGROUP hGroup);
WINAPI_EXPORT CLUSTER_GROUP_STATE WINAPI GetClusterGroupState(HGROUP hGroup, LPWSTR lpszNodeName,
                                                              LPDWORD lpcchNodeName);
WINAPI_EXPORT HGROUPENUM WINAPI ClusterGroupOpenEnum(HGROUP hGroup, DWORD dwType);
WINAPI_EXPORT DWORD WINAPI ClusterGroupGetEnumCount(HGROUPENUM hGroupEnum);
WINAPI_EXPORT DWORD WINAPI ClusterGroupEnum(HGROUPENUM hGroupEnum, DWORD dwIndex, LPDWORD lpdwType,
                                            LPWSTR lpszResourceName, LPDWORD lpcchName);
WINAPI_EXPORT DWORD WINAPI ClusterGroupCloseEnum(HGROUPENUM hGroupEnum);
WINAPI_EXPORT DWORD WINAPI ClusterGroupControl(HGROUP hGroup, HNODE hHostNode, DWORD dwControlCode,
                                               LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                                               DWORD nOutBufferSize, LPDWORD lpBytesReturned);

// Resources and resource types
WINAPI_EXPORT HRESOURCE WINAPI OpenClusterResource(HCLUSTER hCluster, LPCWSTR lpszResourceName);
WINAPI_EXPORT BOOL WINAPI CloseClusterResource(HRESOURCE hResource);
WINAPI_EXPORT CLUSTER_RESOURCE_STATE WINAPI GetClusterResourceState(HRESOURCE hResource, LPWSTR lpszNodeName,
                                                                    LPDWORD lpcchNodeName, LPWSTR lpszGroupName,
                                                                    LPDWORD lpcchGroupName);
WINAPI_EXPORT HRESENUM WINAPI ClusterResourceOpenEnum(HRESOURCE hResource, DWORD dwType);
WINAPI_EXPORT DWORD WINAPI ClusterResourceGetEnumCount(HRESENUM hResEnum);
WINAPI_EXPORT DWORD WINAPI ClusterResourceEnum(HRESENUM hResEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszName,
                                               LPDWORD lpcchName);
WINAPI_EXPORT DWORD WINAPI ClusterResourceCloseEnum(HRESENUM hResEnum);
WINAPI_EXPORT DWORD WINAPI ClusterResourceControl(HRESOURCE hResource, HNODE hHostNode, DWORD dwControlCode,
                                                  LPVOID lpInBuffer, DWORD cbInBufferSize, LPVOID lpOutBuffer,
                                                  DWORD cbOutBufferSize, LPDWORD lpBytesReturned);
WINAPI_EXPORT DWORD WINAPI ClusterResourceTypeControl(HCLUSTER hCluster, LPCWSTR lpszResourceTypeName,
                                                      HNODE hHostNode, DWORD dwControlCode, LPVOID lpInBuffer,
                                                      DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                                      LPDWORD lpBytesReturned);

// Networks and network interfaces
WINAPI_EXPORT HNETWORK WINAPI OpenClusterNetwork(HCLUSTER hCluster, LPCWSTR lpszNetworkName);
WINAPI_EXPORT BOOL WINAPI CloseClusterNetwork(HNETWORK hNetwork);
WINAPI_EXPORT CLUSTER_NETWORK_STATE WINAPI GetClusterNetworkState(HNETWORK hNetwork);
WINAPI_EXPORT DWORD WINAPI ClusterNetworkControl(HNETWORK hNetwork, HNODE hHostNode, DWORD dwControlCode,
                                                 LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                                                 DWORD nOutBufferSize, LPDWORD lpBytesReturned);
WINAPI_EXPORT HNETINTERFACE WINAPI OpenClusterNetInterface(HCLUSTER hCluster, LPCWSTR lpszInterfaceName);
WINAPI_EXPORT DWORD WINAPI GetClusterNetInterface(HCLUSTER hCluster, LPCWSTR lpszNodeName, LPCWSTR lpszNetworkName,
                                                  LPWSTR lpszInterfaceName, LPDWORD lpcchInterfaceName);
WINAPI_EXPORT BOOL WINAPI CloseClusterNetInterface(HNETINTERFACE hNetInterface);
WINAPI_EXPORT CLUSTER_NETINTERFACE_STATE WINAPI GetClusterNetInterfaceState(HNETINTERFACE hNetInterface);
WINAPI_EXPORT DWORD WINAPI ClusterNetInterfaceControl(HNETINTERFACE hNetInterface, HNODE hHostNode,
                                                      DWORD dwControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                                      LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                                      LPDWORD lpBytesReturned);

// Cluster registry
WINAPI_EXPORT HKEY WINAPI GetClusterKey(HCLUSTER hCluster, REGSAM samDesired);
WINAPI_EXPORT HKEY WINAPI GetClusterResourceKey(HRESOURCE hResource, REGSAM samDesired);
WINAPI_EXPORT LONG WINAPI ClusterRegOpenKey(HKEY hKey, LPCWSTR lpszSubKey, REGSAM samDesired, PHKEY phkResult);
WINAPI_EXPORT LONG WINAPI ClusterRegQueryValue(HKEY hKey, LPCWSTR lpszValueName, LPDWORD lpdwValueType,
                                               LPBYTE lpData, LPDWORD lpcbData);
WINAPI_EXPORT LONG WINAPI ClusterRegCloseKey(HKEY hKey);

WINAPI_END_DECLS

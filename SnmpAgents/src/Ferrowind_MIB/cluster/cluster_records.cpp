#include "cluster_records.h"

#include <resapi.h>

#include <cstring>
#include <cwchar>
#include <functional>
#include <new>

#include "debug_trace.h"
#include "dynamic_library_module.h"
#include "win32_handle.h"

namespace {

constexpr DWORD kNameLength = 260;
constexpr DWORD kPropertyBufferStep = 1024;
// A control call that keeps asking for more is given up after this many rounds.
constexpr int kMaxControlRounds = 16;

struct In6Address {
  BYTE bytes[16];
};
using RtlIpv6StringToAddressWFn = LONG(WINAPI*)(PCWSTR, PCWSTR*, In6Address*);
using RtlIpv6AddressToStringWFn = PWSTR(WINAPI*)(const In6Address*, PWSTR);

// The cluster handle of a read: the caller's, or an own connection for the call.
class ClusterConnection {
 public:
  explicit ClusterConnection(HCLUSTER given) : m_handle(given) {
    if (m_handle) return;
    m_own.Reset(OpenCluster(nullptr));
    m_handle = m_own.Get();
    if (!m_handle) m_error = GetLastError();
  }
  HCLUSTER get() const { return m_handle; }
  DWORD error() const { return m_error; }

 private:
  CUniqueHandle<HCLUSTER, &CloseCluster> m_own;
  HCLUSTER m_handle;
  DWORD m_error = ERROR_SUCCESS;
};

template <class Handle>
struct ObjectKind {
  Handle(WINAPI* open)(HCLUSTER, LPCWSTR);
  const wchar_t* openFailure;  // level 1, with error code and name
};

const ObjectKind<HNODE> kNode = {OpenClusterNode, L"\nCClusterNode        : ERROR 0x%X! OpenClusterNode \"%s\" FAILED!"};
const ObjectKind<HGROUP> kGroup = {OpenClusterGroup, L"\nCClusterGroup       : ERROR 0x%X! OpenClusterGroup \"%s\" FAILED!"};
const ObjectKind<HRESOURCE> kResource = {OpenClusterResource,
                                         L"\nCCLusterApi         : ERROR 0x%X! OpenClusterResource \"%s\" FAILED!"};
const ObjectKind<HNETWORK> kNetwork = {OpenClusterNetwork,
                                       L"\nCClusterNetwork     : ERROR 0x%X! OpenClusterNetwork \"%s\" FAILED!"};
const ObjectKind<HNETINTERFACE> kNetInterface = {
    OpenClusterNetInterface, L"\nCClusterNetInterface: ERROR 0x%X! OpenClusterNetInterface \"%s\" FAILED!"};

bool IsEmptyName(const wchar_t* name) { return !name || !*name; }

// Opens the object by name on a connection and runs `use` on its handle.
template <class Handle, BOOL(WINAPI* Close)(Handle), class Use>
DWORD WithObject(const ObjectKind<Handle>& kind, const wchar_t* name, HCLUSTER cluster, Use use) {
  if (IsEmptyName(name)) return ERROR_INVALID_PARAMETER;
  ClusterConnection connection(cluster);
  if (!connection.get()) return connection.error();
  const CUniqueHandle<Handle, Close> object(kind.open(connection.get(), name));
  if (!object) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, kind.openFailure, error, name);
    return error;
  }
  return use(object.Get(), connection.get());
}

// The control call of every kind: a property list into a buffer that grows on
// ERROR_MORE_DATA to the reported size plus 1024 bytes.
template <class Control>
DWORD ReadPropertyList(CByteBuffer& list, Control control) {
  DWORD size = 0;
  DWORD result = ERROR_MORE_DATA;
  CByteBuffer buffer;
  for (int round = 0; result == ERROR_MORE_DATA && round < kMaxControlRounds; ++round) {
    try {
      buffer.assign(static_cast<size_t>(size) + kPropertyBufferStep, 0);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    size = static_cast<DWORD>(buffer.size());
    result = control(buffer.data(), static_cast<DWORD>(buffer.size()), &size);
  }
  if (result != ERROR_SUCCESS) return result;
  if (size > buffer.size()) return ERROR_INVALID_DATA;  // a result larger than the buffer is not believed
  list.assign(buffer.begin(), buffer.begin() + size);
  return ERROR_SUCCESS;
}

template <class Handle, BOOL(WINAPI* Close)(Handle), class StateOf>
DWORD ReadState(const ObjectKind<Handle>& kind, LONG& state, const wchar_t* name, HCLUSTER cluster, StateOf stateOf) {
  return WithObject<Handle, Close>(kind, name, cluster, [&](Handle object, HCLUSTER) {
    state = static_cast<LONG>(stateOf(object));
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
}

template <class Handle, BOOL(WINAPI* Close)(Handle), class ControlFn>
DWORD ReadControlData(const ObjectKind<Handle>& kind, CByteBuffer& list, DWORD code, const wchar_t* name,
                      HCLUSTER cluster, ControlFn controlFn) {
  return WithObject<Handle, Close>(kind, name, cluster, [&](Handle object, HCLUSTER) {
    return ReadPropertyList(list, [&](BYTE* out, DWORD capacity, DWORD* returned) {
      return controlFn(object, nullptr, code, nullptr, 0, out, capacity, returned);
    });
  });
}

// Positions of a group or resource enumeration, with the entries of the wanted type.
template <class EnumHandle, class EnumFn>
void ForEachEntry(EnumHandle handle, DWORD wanted, EnumFn enumFn, const std::function<void(const wchar_t*, DWORD)>& take) {
  for (DWORD position = 0;; ++position) {
    WCHAR name[kNameLength];
    DWORD length = kNameLength;
    DWORD type = 0;
    if (enumFn(handle, position, &type, name, &length) != ERROR_SUCCESS) return;
    if (wanted == 0 || type == wanted) take(name, position);
  }
}

DWORD GroupEnumeration(const wchar_t* group, HCLUSTER cluster, DWORD type,
                       const std::function<void(const wchar_t*, DWORD)>& take) {
  if (IsEmptyName(group)) return ERROR_INVALID_PARAMETER;
  ClusterConnection connection(cluster);
  if (!connection.get()) {
    DBG_TRACE(1, L"\nCClusterGroup       : ERROR 0x%X! OpenCluster FAILED!", connection.error());
    return connection.error();
  }
  const CUniqueHandle<HGROUP, &CloseClusterGroup> handle(OpenClusterGroup(connection.get(), group));
  if (!handle) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, L"\nCClusterGroup       : ERROR 0x%X! ::OpenClusterGroup FAILED!", error);
    return error;
  }
  const CUniqueHandle<HGROUPENUM, &ClusterGroupCloseEnum> enumeration(ClusterGroupOpenEnum(handle.Get(), type));
  if (!enumeration) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, L"\nCClusterGroup       : ERROR 0x%X! ::ClusterGroupOpenEnum FAILED!", error);
    return error;
  }
  ForEachEntry(enumeration.Get(), type, ClusterGroupEnum, take);
  return ERROR_SUCCESS;
}

std::wstring Hex(unsigned value) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  do {
    text.insert(text.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value);
  return text;
}

}  // namespace

DWORD GetNodeState(LONG& state, const wchar_t* name, HCLUSTER cluster) {
  return ReadState<HNODE, CloseClusterNode>(kNode, state, name, cluster, GetClusterNodeState);
}

DWORD GetGroupState(LONG& state, const wchar_t* name, HCLUSTER cluster) {
  return ReadState<HGROUP, CloseClusterGroup>(kGroup, state, name, cluster,
                                              [](HGROUP g) { return GetClusterGroupState(g, nullptr, nullptr); });
}

DWORD GetResourceState(LONG& state, const wchar_t* name, HCLUSTER cluster) {
  return ReadState<HRESOURCE, CloseClusterResource>(
      kResource, state, name, cluster, [](HRESOURCE r) { return GetClusterResourceState(r, nullptr, nullptr, nullptr, nullptr); });
}

DWORD GetNetworkState(LONG& state, const wchar_t* name, HCLUSTER cluster) {
  return ReadState<HNETWORK, CloseClusterNetwork>(kNetwork, state, name, cluster, GetClusterNetworkState);
}

DWORD GetNetInterfaceState(LONG& state, const wchar_t* name, HCLUSTER cluster) {
  return ReadState<HNETINTERFACE, CloseClusterNetInterface>(kNetInterface, state, name, cluster,
                                                            GetClusterNetInterfaceState);
}

DWORD GetNodeControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster) {
  return ReadControlData<HNODE, CloseClusterNode>(kNode, list, code, name, cluster, ClusterNodeControl);
}

DWORD GetGroupControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster) {
  if (IsEmptyName(name)) return ERROR_INVALID_PARAMETER;
  ClusterConnection connection(cluster);
  if (!connection.get()) {
    DBG_TRACE(1, L"\nCClusterGroup       : ERROR 0x%X! OpenCluster FAILED!", connection.error());
    return connection.error();
  }
  return ReadControlData<HGROUP, CloseClusterGroup>(kGroup, list, code, name, connection.get(), ClusterGroupControl);
}

DWORD GetResourceControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster) {
  return ReadControlData<HRESOURCE, CloseClusterResource>(kResource, list, code, name, cluster, ClusterResourceControl);
}

DWORD GetNetworkControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster) {
  return ReadControlData<HNETWORK, CloseClusterNetwork>(kNetwork, list, code, name, cluster, ClusterNetworkControl);
}

DWORD GetNetInterfaceControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster) {
  return ReadControlData<HNETINTERFACE, CloseClusterNetInterface>(kNetInterface, list, code, name, cluster,
                                                                  ClusterNetInterfaceControl);
}

DWORD GetResourceTypeControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster) {
  if (IsEmptyName(name)) return ERROR_INVALID_PARAMETER;
  ClusterConnection connection(cluster);
  if (!connection.get()) return connection.error();
  const DWORD result = ReadPropertyList(list, [&](BYTE* out, DWORD capacity, DWORD* returned) {
    return ClusterResourceTypeControl(connection.get(), name, nullptr, code, nullptr, 0, out, capacity, returned);
  });
  if (result != ERROR_SUCCESS) {
    DBG_TRACE(1, L"\nCClusterResourceType: ERROR 0x%X! ClusterResourceTypeControl \"%s\" FAILED!", result, name);
  }
  return result;
}

bool FindSzProperty(const CByteBuffer& list, std::wstring& text, const wchar_t* name) {
  if (list.empty()) return false;
  LPWSTR value = nullptr;
  if (ResUtilFindSzProperty(const_cast<BYTE*>(list.data()), static_cast<DWORD>(list.size()), name, &value) !=
      ERROR_SUCCESS) {
    return false;
  }
  text = value ? value : L"";
  if (value) LocalFree(value);
  return true;
}

bool FindDwordProperty(const CByteBuffer& list, DWORD& number, const wchar_t* name) {
  if (list.empty()) return false;
  DWORD value = 0;
  if (ResUtilFindDwordProperty(const_cast<BYTE*>(list.data()), static_cast<DWORD>(list.size()), name, &value) !=
      ERROR_SUCCESS) {
    return false;
  }
  number = value;
  return true;
}

bool FindMultiSzProperty(const CByteBuffer& list, CByteBuffer& multiSz, const wchar_t* name) {
  if (list.empty()) return false;
  LPWSTR value = nullptr;
  DWORD bytes = 0;
  if (ResUtilFindMultiSzProperty(const_cast<BYTE*>(list.data()), static_cast<DWORD>(list.size()), name, &value,
                                 &bytes) != ERROR_SUCCESS) {
    return false;
  }
  const auto* first = reinterpret_cast<const BYTE*>(value);
  multiSz.assign(first, first + (value ? bytes : 0));
  if (value) LocalFree(value);
  return true;
}

DWORD GetGroupOwnerNode(std::wstring& node, const wchar_t* group, HCLUSTER cluster) {
  return WithObject<HGROUP, CloseClusterGroup>(kGroup, group, cluster, [&](HGROUP handle, HCLUSTER) {
    WCHAR name[kNameLength] = {};
    DWORD length = kNameLength;
    GetClusterGroupState(handle, name, &length);
    if (name[0]) node = name;
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
}

DWORD GetGroupPreferredNodeNames(std::vector<CClusterNode>& nodes, const wchar_t* group, HCLUSTER cluster) {
  return GroupEnumeration(group, cluster, CLUSTER_GROUP_ENUM_NODES,
                          [&](const wchar_t* name, DWORD position) { nodes.emplace_back(name, position); });
}

DWORD GetGroupPreferredNodes(std::vector<CClusterNode>& nodes, const wchar_t* group, HCLUSTER cluster) {
  const size_t first = nodes.size();
  const DWORD result = GetGroupPreferredNodeNames(nodes, group, cluster);
  for (size_t i = first; i < nodes.size(); ++i) {
    LONG state = -1;
    if (GetNodeState(state, nodes[i].Name.c_str()) == ERROR_SUCCESS) nodes[i].State = state;
  }
  return result;
}

DWORD GetGroupResourceNames(std::vector<CClusterResource>& resources, const wchar_t* group, HCLUSTER cluster) {
  return GroupEnumeration(group, cluster, CLUSTER_GROUP_ENUM_CONTAINS,
                          [&](const wchar_t* name, DWORD position) { resources.emplace_back(name, position); });
}

DWORD GetGroupResources(std::vector<CClusterResource>& resources, const wchar_t* group, HCLUSTER cluster) {
  const size_t first = resources.size();
  const DWORD result = GetGroupResourceNames(resources, group, cluster);
  for (size_t i = first; i < resources.size(); ++i) ReadResourceProperties(resources[i]);
  return result;
}

DWORD GetResourceDependencyNames(std::vector<CClusterResource>& resources, const wchar_t* resource,
                                 HCLUSTER cluster) {
  if (IsEmptyName(resource)) return ERROR_INVALID_PARAMETER;
  ClusterConnection connection(cluster);
  if (!connection.get()) return connection.error();
  const CUniqueHandle<HRESOURCE, &CloseClusterResource> handle(OpenClusterResource(connection.get(), resource));
  if (!handle) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, L"\nCClusterResource       : ERROR 0x%X! OpenClusterResource \"%s\" FAILED!!", error, resource);
    return error;
  }
  const CUniqueHandle<HRESENUM, &ClusterResourceCloseEnum> enumeration(
      ClusterResourceOpenEnum(handle.Get(), CLUSTER_RESOURCE_ENUM_DEPENDS));
  if (!enumeration) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, L"\nCClusterResource       : ERROR 0x%X! ::ClusterResourceOpenEnum FAILED!!", error);
    return error;
  }
  ForEachEntry(enumeration.Get(), 0, ClusterResourceEnum,
               [&](const wchar_t* name, DWORD position) { resources.emplace_back(name, position); });
  return ERROR_SUCCESS;
}

DWORD GetResourceDependencies(std::vector<CClusterResource>& resources, const wchar_t* resource, HCLUSTER cluster) {
  const size_t first = resources.size();
  const DWORD result = GetResourceDependencyNames(resources, resource, cluster);
  for (size_t i = first; i < resources.size(); ++i) ReadResourceProperties(resources[i]);
  return result;
}

void TakeResourceProperties(CClusterResource& resource, const CByteBuffer* readOnlyList,
                            const CByteBuffer* privateList) {
  if (readOnlyList) {
    FindSzProperty(*readOnlyList, resource.Type, L"Type");
    DBG_TRACE(4, L"\nCClusterResource    : Found Type: \"%s\"", resource.Type.c_str());
  }
  if (privateList) {
    FindSzProperty(*privateList, resource.Address, L"Address");
    DBG_TRACE(4, L"\nCClusterResource    : Found Address: \"%s\"", resource.Address.c_str());
    FindSzProperty(*privateList, resource.Network, L"Network");
    DBG_TRACE(4, L"\nCClusterResource    : Found Network: \"%s\"", resource.Network.c_str());
  }
}

void ReadResourceProperties(CClusterResource& resource) {
  LONG state = -1;
  if (GetResourceState(state, resource.Name.c_str()) == ERROR_SUCCESS) resource.State = state;
  DBG_TRACE(4, L"\nCClusterResource    : Get resource RO common properties.");
  CByteBuffer readOnly;
  const bool readOnlyRead =
      GetResourceControlData(readOnly, CLUSCTL_RESOURCE_GET_RO_COMMON_PROPERTIES, resource.Name.c_str()) ==
      ERROR_SUCCESS;
  CByteBuffer privateList;
  const bool privateRead =
      GetResourceControlData(privateList, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, resource.Name.c_str()) ==
      ERROR_SUCCESS;
  TakeResourceProperties(resource, readOnlyRead ? &readOnly : nullptr, privateRead ? &privateList : nullptr);
}

CClusterNetwork::CClusterNetwork(const wchar_t* name, DWORD index) : CClusterResourceType(name, index) {
  LONG state = -1;
  if (GetNetworkState(state, Name.c_str()) == ERROR_SUCCESS) State = state;
  CByteBuffer list;
  std::wstring address;
  if (GetNetworkControlData(list, CLUSCTL_NETWORK_GET_RO_COMMON_PROPERTIES, Name.c_str()) == ERROR_SUCCESS &&
      FindSzProperty(list, address, L"Address") && !address.empty()) {
    ParseIPAddress(Address, address.c_str());
    DBG_TRACE(4, L"\nCClusterNetwork     : Found IP address: \"%s\"", Address.GetText().c_str());
  }
  DWORD role = 0;
  if (GetNetworkControlData(list, CLUSCTL_NETWORK_GET_COMMON_PROPERTIES, Name.c_str()) == ERROR_SUCCESS &&
      FindDwordProperty(list, role, L"Role")) {
    Role = role;
    DBG_TRACE(4, L"\nCClusterNetwork     : Found network role: %d", role);
  }
}

CClusterNetwork::CClusterNetwork(const CClusterNetwork& other)
    : CClusterResourceType(other), State(other.State), Role(other.Role) {}

CClusterNetwork& CClusterNetwork::operator=(const CClusterNetwork& other) {
  Name = other.Name;
  Index = other.Index;
  State = other.State;
  Role = other.Role;
  return *this;
}

bool CClusterNetwork::RefreshState(LONG& newState, LONG& previousState) {
  LONG state = -1;
  if (GetNetworkState(state, Name.c_str()) != ERROR_SUCCESS) return false;
  previousState = State;
  newState = state;
  State = state;
  return true;
}

bool GetNetInterfaceAddress(const wchar_t* name, CIpAddress& address) {
  CByteBuffer list;
  std::wstring text;
  if (GetNetInterfaceControlData(list, CLUSCTL_NETINTERFACE_GET_RO_COMMON_PROPERTIES, name) != ERROR_SUCCESS ||
      !FindSzProperty(list, text, L"Address")) {
    return false;
  }
  if (!text.empty()) ParseIPAddress(address, text.c_str());
  DBG_TRACE(4, L"\nCClusterNetInterface: Found IP address: \"%s\"", address.GetText().c_str());
  return true;
}

bool GetNetInterfaceAdapterId(const wchar_t* name, std::wstring& adapterId) {
  CByteBuffer list;
  if (GetNetInterfaceControlData(list, CLUSCTL_NETINTERFACE_GET_RO_COMMON_PROPERTIES, name) != ERROR_SUCCESS ||
      !FindSzProperty(list, adapterId, L"AdapterId")) {
    return false;
  }
  DBG_TRACE(4, L"\nCClusterNetInterface: Found Adaper ID: \"%s\"", adapterId.c_str());
  return true;
}

DWORD GetClusterInformationRecord(CLUSTERVERSIONINFO& info, std::wstring& clusterName, HCLUSTER cluster) {
  if (!cluster) return ERROR_INVALID_HANDLE;
  std::memset(&info, 0, sizeof info);
  info.dwVersionInfoSize = sizeof info;
  WCHAR name[kNameLength] = {};
  DWORD length = kNameLength;
  const DWORD result = GetClusterInformation(cluster, name, &length, &info);
  if (result == ERROR_SUCCESS) clusterName = name;
  return result;
}

bool ParseIPv4Address(CIpAddress& address, const wchar_t* text) {
  if (!text || std::wcslen(text) <= 7) return false;
  // Parts between dots, empty parts skipped, as a tokenizer splits them.
  BYTE bytes[4] = {};
  int parts = 0;
  const std::wstring copy(text);
  size_t start = 0;
  while (parts < 4 && start < copy.size()) {
    const size_t dot = copy.find(L'.', start);
    const std::wstring part = copy.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
    start = dot == std::wstring::npos ? copy.size() : dot + 1;
    if (part.empty()) continue;
    bytes[parts++] = static_cast<BYTE>(std::wcstol(part.c_str(), nullptr, 10) & 0xFF);
  }
  if (parts != 4) return false;
  address.Bytes.assign(bytes, bytes + 4);
  address.Text.clear();
  return true;
}

bool ParseIPv6Address(CIpAddress& address, const wchar_t* text) {
  if (!text || !*text) return false;
  DynamicLibraryModule ntdll(L"ntdll.dll");
  auto parse = ntdll.getProc<RtlIpv6StringToAddressWFn>("RtlIpv6StringToAddressW");
  if (!parse) return false;
  In6Address parsed{};
  PCWSTR end = nullptr;
  if (parse(text, &end, &parsed) != 0) return false;
  address.Bytes.assign(parsed.bytes, parsed.bytes + 16);
  address.Text.clear();
  return true;
}

bool ParseIPAddress(CIpAddress& address, const wchar_t* text) {
  if (!text) return false;
  return std::wcschr(text, L':') ? ParseIPv6Address(address, text) : ParseIPv4Address(address, text);
}

bool IPAddressToText(const BYTE* bytes, size_t length, std::wstring& text, bool compress) {
  if (!bytes || length == 0) return !text.empty();
  if (length == 4) {
    text = std::to_wstring(bytes[0]) + L"." + std::to_wstring(bytes[1]) + L"." + std::to_wstring(bytes[2]) + L"." +
           std::to_wstring(bytes[3]);
    return true;
  }
  if (length != 16) return !text.empty();
  {
    DynamicLibraryModule ntdll(L"ntdll.dll");
    if (auto format = ntdll.getProc<RtlIpv6AddressToStringWFn>("RtlIpv6AddressToStringW")) {
      In6Address address;
      std::memcpy(address.bytes, bytes, 16);
      WCHAR buffer[64] = {};
      format(&address, buffer);
      if (buffer[0]) {
        text = buffer;
        return true;
      }
    }
  }
  std::wstring groups;
  for (size_t i = 0; i < 16; i += 2) {
    if (i) groups += L":";
    groups += Hex(static_cast<unsigned>(bytes[i] << 8 | bytes[i + 1]));
  }
  if (compress && groups == L"0:0:0:0:0:0:0:0") groups = L"::";
  if (compress && groups == L"0:0:0:0:0:0:0:1") groups = L"::1";
  text = groups;
  return !text.empty();
}

const std::wstring& CIpAddress::GetText() {
  IPAddressToText(Bytes.data(), Bytes.size(), Text, true);
  return Text;
}

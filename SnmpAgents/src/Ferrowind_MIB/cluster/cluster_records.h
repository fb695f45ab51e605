// One record per cluster object, the IP address value, and the reads of states,
// property lists and relations through the Cluster API and resutils. The reads share
// nothing: each takes an object name and an optional cluster handle; without one it
// opens its own connection to the local cluster for the duration of the call.
#pragma once

#include <windows.h>
#include <clusapi.h>

#include <string>
#include <vector>

// A byte sequence: a property list as returned by a control call, or a MULTI_SZ value.
using CByteBuffer = std::vector<BYTE>;

class CIpAddress {
 public:
  CIpAddress() { Bytes.reserve(32); }
  bool IsEmpty() const { return Bytes.empty(); }
  // The compressed text form (IPAddressToText); empty for an empty address.
  const std::wstring& GetText();

  std::vector<BYTE> Bytes;  // empty, 4 (IPv4) or 16 (IPv6) bytes in network order
  std::wstring Text;
};

class CClusterResourceType {
 public:
  CClusterResourceType() = default;
  CClusterResourceType(const wchar_t* name, DWORD index) : Name(name ? name : L""), Index(index) {}
  virtual ~CClusterResourceType() = default;

  std::wstring Name;
  DWORD Index = 0;
};

class CClusterNode : public CClusterResourceType {
 public:
  using CClusterResourceType::CClusterResourceType;
  LONG State = -1;
};

class CClusterGroup : public CClusterResourceType {
 public:
  using CClusterResourceType::CClusterResourceType;
  CClusterGroup(const CClusterGroup& other) : CClusterResourceType(other) {}  // name and index only
  CClusterGroup& operator=(const CClusterGroup& other) {
    Name = other.Name;
    Index = other.Index;
    return *this;
  }
  LONG State = -1;
};

class CClusterNetInterface : public CClusterResourceType {
 public:
  using CClusterResourceType::CClusterResourceType;
  LONG State = -1;
};

class CClusterNetwork : public CClusterResourceType {
 public:
  CClusterNetwork() = default;
  // Reads state and role (and the address, for the trace) by name.
  CClusterNetwork(const wchar_t* name, DWORD index);
  // Copies carry name, index, state and role; the address is not copied.
  CClusterNetwork(const CClusterNetwork& other);
  CClusterNetwork& operator=(const CClusterNetwork& other);

  // Reads the state afresh: false changes nothing; otherwise hands out the previous and
  // the new state and keeps the new one.
  bool RefreshState(LONG& newState, LONG& previousState);

  CIpAddress Address;
  LONG State = -1;
  DWORD Role = 0;
};

class CClusterResource : public CClusterResourceType {
 public:
  using CClusterResourceType::CClusterResourceType;
  std::wstring Address;
  std::wstring Network;
  std::wstring Type;
  LONG State = -1;
};

// State reads: 0, or the error of OpenCluster or of the object's open (87 for no name).
DWORD GetNodeState(LONG& state, const wchar_t* name, HCLUSTER cluster = nullptr);
DWORD GetGroupState(LONG& state, const wchar_t* name, HCLUSTER cluster = nullptr);
DWORD GetResourceState(LONG& state, const wchar_t* name, HCLUSTER cluster = nullptr);
DWORD GetNetworkState(LONG& state, const wchar_t* name, HCLUSTER cluster = nullptr);
DWORD GetNetInterfaceState(LONG& state, const wchar_t* name, HCLUSTER cluster = nullptr);

// Control-data reads: the property list of a control code, grown on ERROR_MORE_DATA.
DWORD GetNodeControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster = nullptr);
DWORD GetGroupControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster = nullptr);
DWORD GetResourceControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster = nullptr);
DWORD GetNetworkControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster = nullptr);
DWORD GetNetInterfaceControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster = nullptr);
DWORD GetResourceTypeControlData(CByteBuffer& list, DWORD code, const wchar_t* name, HCLUSTER cluster = nullptr);

// Property finders: true when found; a miss leaves the output unchanged.
bool FindSzProperty(const CByteBuffer& list, std::wstring& text, const wchar_t* name);
bool FindDwordProperty(const CByteBuffer& list, DWORD& number, const wchar_t* name);
bool FindMultiSzProperty(const CByteBuffer& list, CByteBuffer& multiSz, const wchar_t* name);

// Relation reads; the list reads append.
DWORD GetGroupOwnerNode(std::wstring& node, const wchar_t* group, HCLUSTER cluster = nullptr);
DWORD GetGroupPreferredNodes(std::vector<CClusterNode>& nodes, const wchar_t* group, HCLUSTER cluster = nullptr);
DWORD GetGroupResources(std::vector<CClusterResource>& resources, const wchar_t* group, HCLUSTER cluster = nullptr);
DWORD GetResourceDependencies(std::vector<CClusterResource>& resources, const wchar_t* resource,
                              HCLUSTER cluster = nullptr);
// The same relations with names and positions only, for callers that read the records'
// properties themselves.
DWORD GetGroupPreferredNodeNames(std::vector<CClusterNode>& nodes, const wchar_t* group, HCLUSTER cluster = nullptr);
DWORD GetGroupResourceNames(std::vector<CClusterResource>& resources, const wchar_t* group, HCLUSTER cluster = nullptr);
DWORD GetResourceDependencyNames(std::vector<CClusterResource>& resources, const wchar_t* resource,
                                 HCLUSTER cluster = nullptr);
// Type, Address and Network of a record from its read-only common and private lists.
void TakeResourceProperties(CClusterResource& resource, const CByteBuffer* readOnlyList, const CByteBuffer* privateList);

// Fills State, Type, Address and Network of a record that has its name.
void ReadResourceProperties(CClusterResource& resource);
bool GetNetInterfaceAddress(const wchar_t* name, CIpAddress& address);
bool GetNetInterfaceAdapterId(const wchar_t* name, std::wstring& adapterId);
DWORD GetClusterInformationRecord(CLUSTERVERSIONINFO& info, std::wstring& clusterName, HCLUSTER cluster);

bool ParseIPv4Address(CIpAddress& address, const wchar_t* text);
bool ParseIPv6Address(CIpAddress& address, const wchar_t* text);
// IPv6 when the text contains ':', else IPv4.
bool ParseIPAddress(CIpAddress& address, const wchar_t* text);
bool IPAddressToText(const BYTE* bytes, size_t length, std::wstring& text, bool compress);

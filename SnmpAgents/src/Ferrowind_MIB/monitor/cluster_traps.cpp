// Cluster reachability and notifications become traps: the access traps 810 to 812, one
// trap per notification chosen from its code and, for state changes, the new state.
#include "cluster_agent.h"

#include <ctime>
#include <iterator>

#include "debug_trace.h"
#include "snmp_value.h"

namespace {

enum class Refresh : BYTE { None, Nodes, Groups, Resources, ResourceTypes, Networks, NetInterfaces, All, State };

struct NotificationRule {
  DWORD Code;
  Refresh Action;
  DWORD Trap;  // 0: none
};

// What each notification code does to the model and which trap it raises.
constexpr NotificationRule kNotificationRules[] = {
    {CLUSTER_CHANGE_NODE_STATE, Refresh::State, 0},
    {CLUSTER_CHANGE_NODE_DELETED, Refresh::Nodes, 830},
    {CLUSTER_CHANGE_NODE_ADDED, Refresh::Nodes, 831},
    {CLUSTER_CHANGE_NODE_PROPERTY, Refresh::All, 0},
    {CLUSTER_CHANGE_REGISTRY_NAME, Refresh::None, 896},
    {CLUSTER_CHANGE_REGISTRY_ATTRIBUTES, Refresh::None, 895},
    {CLUSTER_CHANGE_REGISTRY_VALUE, Refresh::None, 897},
    {CLUSTER_CHANGE_REGISTRY_SUBTREE, Refresh::All, 0},
    {CLUSTER_CHANGE_RESOURCE_STATE, Refresh::State, 0},
    {CLUSTER_CHANGE_RESOURCE_DELETED, Refresh::Resources, 860},
    {CLUSTER_CHANGE_RESOURCE_ADDED, Refresh::Resources, 861},
    {CLUSTER_CHANGE_RESOURCE_PROPERTY, Refresh::Resources, 863},
    {CLUSTER_CHANGE_GROUP_STATE, Refresh::State, 0},
    {CLUSTER_CHANGE_GROUP_DELETED, Refresh::Groups, 850},
    {CLUSTER_CHANGE_GROUP_ADDED, Refresh::Groups, 851},
    {CLUSTER_CHANGE_GROUP_PROPERTY, Refresh::Groups, 853},
    {CLUSTER_CHANGE_RESOURCE_TYPE_DELETED, Refresh::ResourceTypes, 840},
    {CLUSTER_CHANGE_RESOURCE_TYPE_ADDED, Refresh::ResourceTypes, 841},
    {CLUSTER_CHANGE_NETWORK_STATE, Refresh::State, 0},
    {CLUSTER_CHANGE_NETWORK_DELETED, Refresh::Networks, 910},
    {CLUSTER_CHANGE_NETWORK_ADDED, Refresh::Networks, 911},
    {CLUSTER_CHANGE_NETWORK_PROPERTY, Refresh::Networks, 913},
    {CLUSTER_CHANGE_NETINTERFACE_STATE, Refresh::State, 0},
    {CLUSTER_CHANGE_NETINTERFACE_DELETED, Refresh::NetInterfaces, 920},
    {CLUSTER_CHANGE_NETINTERFACE_ADDED, Refresh::NetInterfaces, 921},
    {CLUSTER_CHANGE_NETINTERFACE_PROPERTY, Refresh::NetInterfaces, 923},
    {CLUSTER_CHANGE_QUORUM_STATE, Refresh::None, 0},
    {CLUSTER_CHANGE_CLUSTER_STATE, Refresh::None, 0},
    {CLUSTER_CHANGE_CLUSTER_PROPERTY, Refresh::All, 0},
    {static_cast<DWORD>(CLUSTER_CHANGE_HANDLE_CLOSE), Refresh::All, 0},
};

struct StateTrap {
  LONG State;
  DWORD Trap;
};

// The state handling of one object kind: its generic trap, the specific trap of each new
// state, and which new states make the cached list be re-read.
struct StateKind {
  DWORD Code;
  const wchar_t* Noun;
  DWORD GenericTrap;
  CCluster::ListFlag List;
  const StateTrap* Traps;
  size_t TrapCount;
  LONG ReenumerateOn[2];  // new states that re-read the list; kAlways for every state
};

constexpr LONG kUnused = 0x7FFFFFFE;
constexpr LONG kAlways = 0x7FFFFFFF;

constexpr StateTrap kNodeTraps[] = {{0, 924}, {1, 925}, {2, 926}, {3, 927}};
constexpr StateTrap kGroupTraps[] = {{0, 928}, {3, 929}, {4, 930}, {1, 931}, {2, 932}};
constexpr StateTrap kResourceTraps[] = {{2, 933}, {3, 934}, {4, 935}};
constexpr StateTrap kNetworkTraps[] = {{3, 936}, {1, 937}, {0, 938}};
constexpr StateTrap kNetInterfaceTraps[] = {{3, 939}, {1, 940}, {2, 941}, {0, 942}};

constexpr StateKind kStateKinds[] = {
    {CLUSTER_CHANGE_NODE_STATE, L"node", 832, CCluster::NodesFlag, kNodeTraps, std::size(kNodeTraps), {-1, kUnused}},
    {CLUSTER_CHANGE_GROUP_STATE, L"group", 852, CCluster::GroupsFlag, kGroupTraps, std::size(kGroupTraps), {0, -1}},
    {CLUSTER_CHANGE_RESOURCE_STATE, L"resource", 862, CCluster::ResourcesFlag, kResourceTraps,
     std::size(kResourceTraps), {2, -1}},
    {CLUSTER_CHANGE_NETWORK_STATE, L"network", 912, CCluster::NetworksFlag, kNetworkTraps, std::size(kNetworkTraps),
     {-1, kUnused}},
    {CLUSTER_CHANGE_NETINTERFACE_STATE, L"network interface", 922, CCluster::NetInterfacesFlag, kNetInterfaceTraps,
     std::size(kNetInterfaceTraps), {kAlways, kUnused}},
};

// The third varbind of a trap: the trap numbers it belongs to and its OID.
struct ThirdVarbind {
  DWORD First;
  DWORD Last;
  const wchar_t* Oid;
};

constexpr ThirdVarbind kThirdVarbinds[] = {
    {830, 832, L".1.3.6.1.4.1.884.2.10.2.9.1.10.3.0"},  {924, 927, L".1.3.6.1.4.1.884.2.10.2.9.1.10.3.0"},
    {840, 841, L".1.3.6.1.4.1.884.2.10.2.9.1.10.4.0"},  {850, 853, L".1.3.6.1.4.1.884.2.10.2.9.1.10.5.0"},
    {928, 932, L".1.3.6.1.4.1.884.2.10.2.9.1.10.5.0"},  {860, 863, L".1.3.6.1.4.1.884.2.10.2.9.1.10.6.0"},
    {933, 935, L".1.3.6.1.4.1.884.2.10.2.9.1.10.6.0"},  {895, 897, L".1.3.6.1.4.1.884.2.10.2.9.1.10.9.0"},
    {910, 913, L".1.3.6.1.4.1.884.2.10.2.9.1.10.11.0"}, {936, 938, L".1.3.6.1.4.1.884.2.10.2.9.1.10.11.0"},
    {920, 923, L".1.3.6.1.4.1.884.2.10.2.9.1.10.12.0"}, {939, 942, L".1.3.6.1.4.1.884.2.10.2.9.1.10.12.0"},
};
constexpr const wchar_t* kNumberVarbindOid = L".1.3.6.1.4.1.884.2.10.2.9.1.10.1.0";
constexpr DWORD kNumberTrap = 801;
constexpr const wchar_t* kComputerNameOid = L".1.3.6.1.4.1.884.2.10.6.1.0";
constexpr const wchar_t* kTimeOid = L".1.3.6.1.4.1.884.2.10.6.2.0";

const NotificationRule* RuleOf(DWORD code) {
  for (const NotificationRule& rule : kNotificationRules) {
    if (rule.Code == code) return &rule;
  }
  return nullptr;
}

const StateKind* StateKindOf(DWORD code) {
  for (const StateKind& kind : kStateKinds) {
    if (kind.Code == code) return &kind;
  }
  return nullptr;
}

const wchar_t* ThirdVarbindOid(DWORD trap) {
  for (const ThirdVarbind& row : kThirdVarbinds) {
    if (trap >= row.First && trap <= row.Last) return row.Oid;
  }
  return nullptr;
}

// The cached record's state and the object's current state, through the lookups and
// state reads of the object's kind; false when the object is not in the cached list.
bool ReadStates(CCluster& cluster, DWORD code, const wchar_t* name, LONG& oldState, LONG& newState) {
  LONG state = -1;
  auto read = [&](auto& record, bool found, auto stateRead) {
    if (!found) return false;
    oldState = record.State;
    if (stateRead(state, name, nullptr) == ERROR_SUCCESS) newState = state;
    return true;
  };
  switch (code) {
    case CLUSTER_CHANGE_NODE_STATE: {
      CClusterNode node;
      return read(node, cluster.FindNode(node, name), GetNodeState);
    }
    case CLUSTER_CHANGE_GROUP_STATE: {
      CClusterGroup group;
      return read(group, cluster.FindGroup(group, name), GetGroupState);
    }
    case CLUSTER_CHANGE_RESOURCE_STATE: {
      CClusterResource resource;
      return read(resource, cluster.FindResource(resource, name), GetResourceState);
    }
    case CLUSTER_CHANGE_NETWORK_STATE: {
      CClusterNetwork network;
      return read(network, cluster.FindNetwork(network, name), GetNetworkState);
    }
    case CLUSTER_CHANGE_NETINTERFACE_STATE: {
      CClusterNetInterface netInterface;
      return read(netInterface, cluster.FindNetInterface(netInterface, name), GetNetInterfaceState);
    }
    default: return false;
  }
}

void Reenumerate(CCluster& cluster, Refresh action) {
  switch (action) {
    case Refresh::Nodes: cluster.Reenumerate(CCluster::NodesFlag); break;
    case Refresh::Groups: cluster.Reenumerate(CCluster::GroupsFlag); break;
    case Refresh::Resources: cluster.Reenumerate(CCluster::ResourcesFlag); break;
    case Refresh::ResourceTypes: cluster.Reenumerate(CCluster::ResourceTypesFlag); break;
    case Refresh::Networks: cluster.Reenumerate(CCluster::NetworksFlag); break;
    case Refresh::NetInterfaces: cluster.Reenumerate(CCluster::NetInterfacesFlag); break;
    case Refresh::All: cluster.EnumerateAll(); break;
    case Refresh::None:
    case Refresh::State: break;
  }
}

}  // namespace

void CClusterAgent::OnClusterState(LONG accessible) {
  DBG_TRACE(3, L"\nCClusterAgent       : OnClusterState: Handle cluster access state %d ...", accessible);
  const LONG old = m_lClusterAccessState;
  DWORD trap = 0;
  if (accessible != old && (accessible == 0 || accessible == 1)) {
    DBG_TRACE(2, L"\nCClusterAgent       : OnClusterState: Node state changed from %d to %d", old, accessible);
    if (accessible == 1) {
      m_dwFailedAccessCount = 0;
      m_lClusterAccessState = 1;
      SetAgentStatus(1);
      if (old != -1) trap = 811;
    } else if (old == 1) {
      trap = 812;
    } else if (m_dwFailedAccessCount <= 10) {
      ++m_dwFailedAccessCount;
      DBG_TRACE(2, L"\nCClusterAgent       : WARNING! Cluster Access FAILED! %d retries left before trap generation!",
                static_cast<int>(11 - m_dwFailedAccessCount));
    } else {
      trap = 810;
    }
    if (trap == 810 || trap == 812) {
      SetAgentStatus(2);
      m_lClusterAccessState = 0;
    }
  }
  if (trap) {
    SetRegClusterConfigChange(kConfigChangeSubkey);
    DBG_TRACE(2, L"\nCClusterAgent       : OnClusterState: Create trap no %d!", static_cast<int>(trap));
    CreateTrap(trap, CClusterTrapArgument{});
    m_bRebuildNeeded = true;
  }
  DBG_TRACE(3, L"\nCClusterAgent       : OnClusterState: .. cluster node state %d handled!", accessible);
}

void CClusterAgent::OnClusterNotification(DWORD filterType, const wchar_t* objectName, DWORD) {
  const std::wstring name = objectName ? objectName : L"??";
  DBG_TRACE(3, L"\nCClusterAgent       : OnClusterNotification(): Handle cluster notification 0x%08X (object name \"%s\") ...",
            filterType, name.c_str());
  DWORD trap = 0;
  {
    CMibTableLock lock(m_hMibTableMutex.Get(), m_dwMibTableWaitMs);
    if (!lock.Held()) {
      DBG_TRACE(1, L"\n   ERROR! Time out waiting for MIB table!");
      DBG_TRACE(3, L"\nCClusterAgent       : OnClusterNotification(): ... cluster notification 0x%08X (object name \"%s\") handled",
                filterType, name.c_str());
      return;
    }
    try {
      DBG_TRACE(3, L"\nCClusterAgent       : Cluster notification 0x%08X for \"%s\"", filterType, name.c_str());
      const NotificationRule* rule = RuleOf(filterType);
      const StateKind* kind = StateKindOf(filterType);
      if (kind) {
        trap = kind->GenericTrap;
        LONG oldState = -1;
        LONG newState = -1;
        if (ReadStates(m_Cluster, filterType, name.c_str(), oldState, newState)) {
          DBG_TRACE(3, L"\nCClusterAgent       : State of %s \"%s\" changed from %d to %d", kind->Noun, name.c_str(),
                    oldState, newState);
          for (size_t i = 0; i < kind->TrapCount; ++i) {
            if (kind->Traps[i].State == newState) trap = kind->Traps[i].Trap;
          }
        }
        const bool reenumerate = kind->ReenumerateOn[0] == kAlways || kind->ReenumerateOn[0] == newState ||
                                 kind->ReenumerateOn[1] == newState;
        if (reenumerate) m_Cluster.Reenumerate(kind->List);
        if (filterType == CLUSTER_CHANGE_RESOURCE_STATE && newState != oldState &&
            lstrcmpiW(name.c_str(), m_QuorumResourceName.c_str()) == 0) {
          DBG_TRACE(1, L"\nCClusterAgent       : ## State of quorum resource \"%s\" has been changed ##!!", name.c_str());
        }
      } else if (rule) {
        Reenumerate(m_Cluster, rule->Action);
        trap = rule->Trap;
      }
    } catch (...) {
      DBG_TRACE(1, L"\n\nFERROWIND_MIB       : ##### OnClusterNotification(): ERROR! ACCESS VIOLATION! ####\n");
    }
  }
  if (trap) {
    SetRegClusterConfigChange(kConfigChangeSubkey);
    DBG_TRACE(2, L"\nCClusterAgent       : OnClusterNotification: Create trap %d", static_cast<int>(trap));
    CreateTrap(trap, CClusterTrapArgument{static_cast<LONG>(filterType), name});
    m_bRebuildNeeded = true;
  }
  DBG_TRACE(3, L"\nCClusterAgent       : OnClusterNotification(): ... cluster notification 0x%08X (object name \"%s\") handled",
            filterType, name.c_str());
}

bool CClusterAgent::CreateTrap(DWORD trapNumber, const CClusterTrapArgument& argument) {
  bool queued = false;
  SnmpVarBindList varbinds{};
  try {
    DBG_TRACE(1, L"\n\nCClusterAgent       : ## Trap: %d (Cluster object: %s)!! ##\n", static_cast<int>(trapNumber),
              argument.Name.c_str());
    std::wstring computer = m_ComputerName;
    if (computer.empty()) {
      wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
      DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
      if (GetComputerNameW(buffer, &size)) computer.assign(buffer, size);
    }
    const wchar_t* third = trapNumber == kNumberTrap ? kNumberVarbindOid : ThirdVarbindOid(trapNumber);
    ResizeVarBindList(&varbinds, third ? 3 : 2);
    TextToOid(kComputerNameOid, &varbinds.list[0].name);
    SetValueText(&varbinds.list[0], computer.c_str(), ASN_OCTETSTRING);
    TextToOid(kTimeOid, &varbinds.list[1].name);
    SetValueNumber(&varbinds.list[1], static_cast<DWORD>(std::time(nullptr)), ASN_INTEGER);
    if (third) {
      TextToOid(third, &varbinds.list[2].name);
      if (trapNumber == kNumberTrap) SetValueNumber(&varbinds.list[2], static_cast<DWORD>(argument.Number), ASN_INTEGER);
      else SetValueText(&varbinds.list[2], argument.Name.c_str(), ASN_OCTETSTRING);
    }
    queued = CSnmpAgent::CreateTrap(kClusterTrapEnterprise, trapNumber, &varbinds);
  } catch (...) {
    DBG_TRACE(1, L"\nCClusterAgent       : ## ERROR! CreateTrap() - ACCESS VIOLATION! ##\n");
  }
  FreeVarBindList(&varbinds);
  return queued;
}

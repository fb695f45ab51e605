// The Cluster API when memory runs out: a pass over the calls the cluster agent makes,
// with the Nth allocation of the calling thread failing. The call that meets the fault
// fails with ERROR_NOT_ENOUGH_MEMORY, the calls before it are unaffected, nothing stays
// open, and the next pass without a fault answers as if nothing had happened.
#include <windows.h>
#include <clusapi.h>
#include <resapi.h>

#include <gtest/gtest.h>

#include <array>
#include <utility>

#include "allocation_fault_pass.h"
#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

using fault_injection::Fold;
using fault_injection::Outcome;

// The handles and buffers of one pass, there before any fault is armed.
struct Pass {
  HCLUSTER cluster = nullptr;
  HCLUSENUM clusterEnum = nullptr;
  HGROUP group = nullptr;
  HGROUPENUM groupEnum = nullptr;
  HRESOURCE resource = nullptr;
  HKEY resourceKey = nullptr;
  HKEY parameters = nullptr;
  HCHANGE port = nullptr;
  HNODE node = nullptr;
  WCHAR name[260] = {};
  WCHAR other[260] = {};
  BYTE list[4096] = {};
  DWORD listSize = 0;

  void Close() {
    if (clusterEnum) ClusterCloseEnum(std::exchange(clusterEnum, nullptr));
    if (groupEnum) ClusterGroupCloseEnum(std::exchange(groupEnum, nullptr));
    if (port) CloseClusterNotifyPort(std::exchange(port, nullptr));
    if (parameters) ClusterRegCloseKey(std::exchange(parameters, nullptr));
    if (resourceKey) ClusterRegCloseKey(std::exchange(resourceKey, nullptr));
    if (resource) CloseClusterResource(std::exchange(resource, nullptr));
    if (group) CloseClusterGroup(std::exchange(group, nullptr));
    if (node) CloseClusterNode(std::exchange(node, nullptr));
    if (cluster) CloseCluster(std::exchange(cluster, nullptr));
  }
};

Outcome Opened(const void* handle) { return {handle ? ERROR_SUCCESS : GetLastError(), 0}; }
Outcome Status(DWORD status) { return {status, 0}; }
Outcome Closed(BOOL closed) { return {closed ? ERROR_SUCCESS : GetLastError(), 0}; }
Outcome State(int state, const WCHAR* name) {
  return state == -1 ? Outcome{GetLastError(), 0} : Outcome{ERROR_SUCCESS, static_cast<DWORD>(state) ^ Fold(name)};
}

template <class Enum, class Next>
Outcome Names(Enum handle, Next next, Pass& p) {
  DWORD folded = 0;
  for (DWORD i = 0;; ++i) {
    DWORD cch = 260, type = 0;
    const DWORD status = next(handle, i, &type, p.name, &cch);
    if (status == ERROR_NO_MORE_ITEMS) return {ERROR_SUCCESS, folded};
    if (status != ERROR_SUCCESS) return {status, i};
    folded = folded * 31 + (Fold(p.name) ^ type);
  }
}

Outcome FoundText(DWORD status, LPWSTR text) {
  const Outcome outcome{status, text ? Fold(text) : 0};
  LocalFree(text);
  return outcome;
}

Outcome Listed(DWORD status, Pass& p) { return {status, status == ERROR_SUCCESS ? Fold(p.list, p.listSize) : 0}; }

using Step = fault_injection::Step<Pass>;

// The calls of a pass in order; a step that needs a handle comes after the one that opens it.
constexpr Step kSteps[] = {
    [](Pass& p) { return Opened(p.cluster = OpenCluster(nullptr)); },
    [](Pass& p) {
      DWORD cch = 260;
      CLUSTERVERSIONINFO info{};
      info.dwVersionInfoSize = sizeof info;
      const DWORD status = GetClusterInformation(p.cluster, p.name, &cch, &info);
      return Outcome{status, Fold(p.name) ^ info.MajorVersion ^ Fold(info.szVendorId)};
    },
    [](Pass& p) {
      return Opened(p.clusterEnum =
                        ClusterOpenEnum(p.cluster, CLUSTER_ENUM_NODE | CLUSTER_ENUM_GROUP | CLUSTER_ENUM_RESOURCE));
    },
    [](Pass& p) { return Names(p.clusterEnum, ClusterEnum, p); },
    [](Pass& p) { return Status(ClusterCloseEnum(std::exchange(p.clusterEnum, nullptr))); },
    [](Pass& p) { return Opened(p.group = OpenClusterGroup(p.cluster, L"Files")); },
    [](Pass& p) {
      DWORD cch = 260;
      return State(GetClusterGroupState(p.group, p.name, &cch), p.name);
    },
    [](Pass& p) {
      return Listed(ClusterGroupControl(p.group, nullptr, CLUSCTL_GROUP_GET_COMMON_PROPERTIES, nullptr, 0, p.list,
                                        sizeof p.list, &p.listSize),
                    p);
    },
    [](Pass& p) { return Opened(p.groupEnum = ClusterGroupOpenEnum(p.group, CLUSTER_GROUP_ENUM_CONTAINS)); },
    [](Pass& p) { return Names(p.groupEnum, ClusterGroupEnum, p); },
    [](Pass& p) { return Status(ClusterGroupCloseEnum(std::exchange(p.groupEnum, nullptr))); },
    [](Pass& p) { return Opened(p.resource = OpenClusterResource(p.cluster, L"Cluster IP Address")); },
    [](Pass& p) {
      DWORD cchNode = 260, cchGroup = 260;
      const int state = GetClusterResourceState(p.resource, p.name, &cchNode, p.other, &cchGroup);
      return State(state, p.name);
    },
    [](Pass& p) {
      return Listed(ClusterResourceControl(p.resource, nullptr, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, nullptr, 0,
                                           p.list, sizeof p.list, &p.listSize),
                    p);
    },
    [](Pass& p) {
      LPWSTR address = nullptr;
      const DWORD status = ResUtilFindSzProperty(p.list, p.listSize, L"Address", &address);
      return FoundText(status, address);
    },
    [](Pass& p) {
      return Listed(ClusterResourceTypeControl(p.cluster, L"IP Address", nullptr,
                                               CLUSCTL_RESOURCE_TYPE_GET_COMMON_PROPERTIES, nullptr, 0, p.list,
                                               sizeof p.list, &p.listSize),
                    p);
    },
    [](Pass& p) {
      LPWSTR extensions = nullptr;
      DWORD bytes = 0;
      const DWORD status = ResUtilFindMultiSzProperty(p.list, p.listSize, L"AdminExtensions", &extensions, &bytes);
      return FoundText(status, extensions);
    },
    [](Pass& p) { return Opened(p.resourceKey = GetClusterResourceKey(p.resource, KEY_READ)); },
    [](Pass& p) { return Status(ClusterRegOpenKey(p.resourceKey, L"Parameters", KEY_READ, &p.parameters)); },
    [](Pass& p) {
      DWORD type = 0, size = sizeof p.name;
      const LONG status = ClusterRegQueryValue(p.parameters, L"Address", &type, reinterpret_cast<BYTE*>(p.name), &size);
      return Outcome{static_cast<DWORD>(status), status == ERROR_SUCCESS ? Fold(p.name) ^ type : 0};
    },
    [](Pass& p) {
      return Opened(p.port = CreateClusterNotifyPort(reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), p.cluster,
                                                     CLUSTER_CHANGE_GROUP_STATE, 7));
    },
    [](Pass& p) {
      DWORD_PTR key = 0;
      DWORD filter = 0, cch = 260;
      const DWORD status = GetClusterNotify(p.port, &key, &filter, p.name, &cch, 0);
      return Outcome{status == WAIT_TIMEOUT ? ERROR_SUCCESS : status, status};
    },
    [](Pass& p) {
      DWORD cchResource = 260, cchDevice = 260, maxLog = 0;
      const DWORD status = GetClusterQuorumResource(p.cluster, p.name, &cchResource, p.other, &cchDevice, &maxLog);
      return Outcome{status, status == ERROR_SUCCESS ? Fold(p.name) ^ Fold(p.other) ^ maxLog : 0};
    },
    [](Pass& p) { return Opened(p.node = OpenClusterNode(p.cluster, L"FS-NODE1")); },
    [](Pass& p) { return State(GetClusterNodeState(p.node), L""); },
    [](Pass& p) {
      DWORD cch = 260;
      const DWORD status = GetClusterNetInterface(p.cluster, L"FS-NODE2", L"heartbeat", p.name, &cch);
      return Outcome{status, status == ERROR_SUCCESS ? Fold(p.name) : 0};
    },
    [](Pass& p) { return Closed(CloseClusterNotifyPort(std::exchange(p.port, nullptr))); },
    [](Pass& p) { return Status(static_cast<DWORD>(ClusterRegCloseKey(std::exchange(p.parameters, nullptr)))); },
    [](Pass& p) { return Status(static_cast<DWORD>(ClusterRegCloseKey(std::exchange(p.resourceKey, nullptr)))); },
    [](Pass& p) { return Closed(CloseClusterResource(std::exchange(p.resource, nullptr))); },
    [](Pass& p) { return Closed(CloseClusterGroup(std::exchange(p.group, nullptr))); },
    [](Pass& p) { return Closed(CloseClusterNode(std::exchange(p.node, nullptr))); },
    [](Pass& p) { return Closed(CloseCluster(std::exchange(p.cluster, nullptr))); },
};
TEST(ClusApiMemory, EveryAllocationFailureFailsOneCallCleanly) {
  ClusterSimulator sim;
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  Pass pass;
  // Measured after a first pass: the connection it leaves idle in the pool stays.
  std::array<Outcome, std::size(kSteps)> warmUp{};
  fault_injection::RunPass(kSteps, pass, ERROR_NOT_ENOUGH_MEMORY, warmUp);
  pass.Close();
  const fault_injection::OpenCounts before = fault_injection::OpenCounts::Now();
  const auto nothingLeft = [&](long n, size_t step) { before.ExpectUnchanged(n, step); };
  fault_injection::ExpectEveryAllocationFaultFailsOneStep(kSteps, pass, ERROR_NOT_ENOUGH_MEMORY, nothingLeft);
}

}  // namespace

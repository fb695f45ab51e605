// Cluster API conformance against the cluster service stand-in: Win32's buffer
// contracts, enumerations, property lists, the cluster registry, notification ports,
// and the loss of the cluster service. (Wine's clusapi.dll aborts, so Linux only.)
#include <windows.h>
#include <clusapi.h>
#include <resapi.h>
#include <winapi_ext.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

class ClusApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
    cluster = OpenCluster(nullptr);
    ASSERT_NE(cluster, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (cluster) CloseCluster(cluster);
    WinapiClusterFailAfter(0);
  }

  std::vector<std::wstring> Names(DWORD type) {
    std::vector<std::wstring> names;
    HCLUSENUM e = ClusterOpenEnum(cluster, type);
    if (!e) return names;
    for (DWORD i = 0;; ++i) {
      WCHAR name[260];
      DWORD cch = 260, kind = 0;
      if (ClusterEnum(e, i, &kind, name, &cch) != ERROR_SUCCESS) break;
      names.push_back(name);
    }
    ClusterCloseEnum(e);
    return names;
  }

  ClusterSimulator sim;
  HCLUSTER cluster = nullptr;
};

TEST_F(ClusApi, EnumerationOrderAndBufferContract) {
  EXPECT_EQ(Names(CLUSTER_ENUM_NODE), (std::vector<std::wstring>{L"FS-NODE1", L"FS-NODE2"}));
  EXPECT_EQ(Names(CLUSTER_ENUM_GROUP), (std::vector<std::wstring>{L"Cluster Group", L"Files"}));
  EXPECT_EQ(Names(CLUSTER_ENUM_RESOURCE).size(), 6u);
  EXPECT_EQ(Names(CLUSTER_ENUM_NETINTERFACE).size(), 4u);

  HCLUSENUM e = ClusterOpenEnum(cluster, CLUSTER_ENUM_GROUP);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(ClusterGetEnumCount(e), 2u);
  WCHAR small[5] = {L'#', L'#', L'#', L'#', L'#'};
  DWORD cch = 5, type = 0;
  EXPECT_EQ(ClusterEnum(e, 0, &type, small, &cch), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(cch, 13u);  // "Cluster Group" without its terminator
  EXPECT_EQ(small[0], L'#');
  WCHAR exact[14];
  cch = 14;
  EXPECT_EQ(ClusterEnum(e, 0, &type, exact, &cch), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(cch, 13u);
  EXPECT_EQ(type, static_cast<DWORD>(CLUSTER_ENUM_GROUP));
  EXPECT_STREQ(exact, L"Cluster Group");
  cch = 14;
  EXPECT_EQ(ClusterEnum(e, 2, &type, exact, &cch), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(ClusterCloseEnum(e), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(ClusterCloseEnum(e), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ClusApi, OpenEnumerationIsASnapshot) {
  HCLUSENUM e = ClusterOpenEnum(cluster, CLUSTER_ENUM_GROUP);
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(sim.Control({"add", "group", "Late Group"}), 0);
  ASSERT_EQ(sim.Control({"rename", "group", "Files", "Dateien"}), 0);
  EXPECT_EQ(ClusterGetEnumCount(e), 2u);
  WCHAR name[260];
  DWORD cch = 260;
  ASSERT_EQ(ClusterEnum(e, 1, nullptr, name, &cch), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(name, L"Files");
  ClusterCloseEnum(e);
  EXPECT_EQ(Names(CLUSTER_ENUM_GROUP), (std::vector<std::wstring>{L"Cluster Group", L"Dateien", L"Late Group"}));
}

TEST_F(ClusApi, StatesAndOwners) {
  HGROUP group = OpenClusterGroup(cluster, L"files");  // names are case-insensitive
  ASSERT_NE(group, nullptr);
  WCHAR node[260];
  DWORD cch = 260;
  EXPECT_EQ(GetClusterGroupState(group, node, &cch), ClusterGroupOnline);
  EXPECT_STREQ(node, L"FS-NODE2");
  cch = 3;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetClusterGroupState(group, node, &cch), ClusterGroupStateUnknown);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(cch, 8u);
  CloseClusterGroup(group);

  HRESOURCE resource = OpenClusterResource(cluster, L"Users Share");
  ASSERT_NE(resource, nullptr);
  WCHAR owner[260], groupName[260];
  DWORD cchOwner = 260, cchGroup = 260;
  EXPECT_EQ(GetClusterResourceState(resource, owner, &cchOwner, groupName, &cchGroup), ClusterResourceOnline);
  EXPECT_STREQ(owner, L"FS-NODE2");
  EXPECT_STREQ(groupName, L"Files");
  CloseClusterResource(resource);

  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenClusterNode(cluster, L"NO-SUCH-NODE"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLUSTER_NODE_NOT_FOUND));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenClusterResource(cluster, L"nothing"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NOT_FOUND));

  // A handle stays bound to its object across a rename and fails once it is deleted.
  HNETINTERFACE itf = OpenClusterNetInterface(cluster, L"FS-NODE1 - Heartbeat");
  ASSERT_NE(itf, nullptr);
  ASSERT_EQ(sim.Control({"rename", "netinterface", "FS-NODE1 - Heartbeat", "hb1"}), 0);
  EXPECT_EQ(GetClusterNetInterfaceState(itf), ClusterNetInterfaceUp);
  ASSERT_EQ(sim.Control({"delete", "netinterface", "hb1"}), 0);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetClusterNetInterfaceState(itf), ClusterNetInterfaceStateUnknown);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLUSTER_NETINTERFACE_NOT_FOUND));
  CloseClusterNetInterface(itf);
}

TEST_F(ClusApi, PropertyListsFollowTheBufferContract) {
  HRESOURCE resource = OpenClusterResource(cluster, L"Cluster IP Address");
  ASSERT_NE(resource, nullptr);
  DWORD needed = 0;
  EXPECT_EQ(ClusterResourceControl(resource, nullptr, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, nullptr, 0, nullptr, 0,
                                   &needed),
            static_cast<DWORD>(ERROR_MORE_DATA));
  ASSERT_GT(needed, 0u);
  std::vector<BYTE> small(needed - 1, 0xCC);
  DWORD returned = 0;
  EXPECT_EQ(ClusterResourceControl(resource, nullptr, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, nullptr, 0, small.data(),
                                   static_cast<DWORD>(small.size()), &returned),
            static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(returned, needed);
  EXPECT_EQ(small[0], 0xCC);
  std::vector<BYTE> list(needed);
  ASSERT_EQ(ClusterResourceControl(resource, nullptr, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, nullptr, 0, list.data(),
                                   needed, &returned),
            static_cast<DWORD>(ERROR_SUCCESS));
  LPWSTR address = nullptr;
  ASSERT_EQ(ResUtilFindSzProperty(list.data(), returned, L"Address", &address), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(address, L"192.168.10.10");
  LocalFree(address);
  DWORD netbios = 0;
  EXPECT_EQ(ResUtilFindDwordProperty(list.data(), returned, L"EnableNetBIOS", &netbios), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(netbios, 1u);

  // A code of another object kind is not a resource control.
  EXPECT_EQ(ClusterResourceControl(resource, nullptr, CLUSCTL_GROUP_GET_COMMON_PROPERTIES, nullptr, 0, list.data(),
                                   needed, &returned),
            static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  CloseClusterResource(resource);

  std::vector<BYTE> typeList(4096);
  ASSERT_EQ(ClusterResourceTypeControl(cluster, L"IP Address", nullptr, CLUSCTL_RESOURCE_TYPE_GET_COMMON_PROPERTIES,
                                       nullptr, 0, typeList.data(), 4096, &returned),
            static_cast<DWORD>(ERROR_SUCCESS));
  LPWSTR extensions = nullptr;
  DWORD bytes = 0;
  ASSERT_EQ(ResUtilFindMultiSzProperty(typeList.data(), returned, L"AdminExtensions", &extensions, &bytes),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(extensions, L"{4EC90FB0-D0BB-11CF-B5EF-00A0C90AB505}");
  EXPECT_EQ(bytes, (38u + 2u) * sizeof(WCHAR));
  LocalFree(extensions);
}

TEST_F(ClusApi, ClusterFactsAndRegistry) {
  WCHAR name[4];
  DWORD cch = 4;
  CLUSTERVERSIONINFO info{};
  info.dwVersionInfoSize = sizeof info;
  EXPECT_EQ(GetClusterInformation(cluster, name, &cch, &info), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(cch, 9u);
  WCHAR full[260];
  cch = 260;
  ASSERT_EQ(GetClusterInformation(cluster, full, &cch, &info), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(full, L"FSCLUSTER");
  EXPECT_EQ(info.MajorVersion, 4);
  EXPECT_EQ(info.BuildNumber, 1381);
  EXPECT_STREQ(info.szCSDVersion, L"Service Pack 6");

  WCHAR resource[260], device[260];
  DWORD cchResource = 260, cchDevice = 260, maxLog = 0;
  ASSERT_EQ(GetClusterQuorumResource(cluster, resource, &cchResource, device, &cchDevice, &maxLog),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(resource, L"Disk Q:");
  EXPECT_STREQ(device, L"Q:\\MSCS\\");
  EXPECT_EQ(maxLog, 4194304u);

  WCHAR itf[260];
  cch = 260;
  ASSERT_EQ(GetClusterNetInterface(cluster, L"FS-NODE2", L"heartbeat", itf, &cch), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(itf, L"FS-NODE2 - Heartbeat");

  HRESOURCE ip = OpenClusterResource(cluster, L"Cluster IP Address");
  HKEY key = GetClusterResourceKey(ip, KEY_READ);
  ASSERT_NE(key, nullptr);
  HKEY parameters = nullptr;
  ASSERT_EQ(ClusterRegOpenKey(key, L"Parameters", KEY_READ, &parameters), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(ClusterRegQueryValue(parameters, L"Address", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 14u * sizeof(WCHAR));
  BYTE tiny[8];
  DWORD tinySize = sizeof tiny;
  EXPECT_EQ(ClusterRegQueryValue(parameters, L"Address", &type, tiny, &tinySize), ERROR_MORE_DATA);
  EXPECT_EQ(tinySize, size);
  WCHAR text[100];
  DWORD textSize = sizeof text;
  ASSERT_EQ(ClusterRegQueryValue(parameters, L"Address", &type, reinterpret_cast<BYTE*>(text), &textSize), ERROR_SUCCESS);
  EXPECT_STREQ(text, L"192.168.10.10");
  EXPECT_EQ(ClusterRegQueryValue(parameters, L"Missing", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  HKEY missing = nullptr;
  EXPECT_EQ(ClusterRegOpenKey(key, L"NoSuchKey", KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ClusterRegCloseKey(parameters), ERROR_SUCCESS);
  EXPECT_EQ(ClusterRegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(ClusterRegCloseKey(key), ERROR_INVALID_HANDLE);
  CloseClusterResource(ip);

  HKEY root = GetClusterKey(cluster, KEY_READ);
  HKEY params = nullptr;
  ASSERT_EQ(ClusterRegOpenKey(root, L"Parameters", KEY_READ, &params), ERROR_SUCCESS);
  DWORD revision = 0, revisionSize = sizeof revision;
  ASSERT_EQ(ClusterRegQueryValue(params, L"Revision", &type, reinterpret_cast<BYTE*>(&revision), &revisionSize),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(revision, 3u);
  ClusterRegCloseKey(params);
  ClusterRegCloseKey(root);
}

struct Received {
  DWORD filter;
  std::wstring name;
};

std::vector<Received> Drain(HCHANGE port, DWORD firstWaitMs) {
  std::vector<Received> events;
  DWORD wait = firstWaitMs;
  for (;;) {
    WCHAR name[260];
    DWORD cch = 260, filter = 0;
    DWORD_PTR key = 0;
    if (GetClusterNotify(port, &key, &filter, name, &cch, wait) != ERROR_SUCCESS) break;
    events.push_back({filter, name});
    wait = 300;
  }
  return events;
}

bool Contains(const std::vector<Received>& events, DWORD filter, const std::wstring& name) {
  for (const auto& e : events) {
    if (e.filter == filter && e.name == name) return true;
  }
  return false;
}

TEST_F(ClusApi, NotificationsCarryFilterAndName) {
  HCHANGE port = CreateClusterNotifyPort(reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), cluster,
                                         CLUSTER_CHANGE_GROUP_STATE | CLUSTER_CHANGE_GROUP_PROPERTY |
                                             CLUSTER_CHANGE_NODE_STATE,
                                         42);
  ASSERT_NE(port, nullptr) << GetLastError();
  WCHAR name[260];
  DWORD cch = 260, filter = 0;
  DWORD_PTR key = 0;
  EXPECT_EQ(GetClusterNotify(port, &key, &filter, name, &cch, 50), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_EQ(sim.Control({"group", "move", "Files", "FS-NODE1"}), 0);
  const auto moved = Drain(port, 5000);
  EXPECT_TRUE(Contains(moved, CLUSTER_CHANGE_GROUP_STATE, L"Files"));
  EXPECT_TRUE(Contains(moved, CLUSTER_CHANGE_GROUP_PROPERTY, L"Files"));
  for (const auto& e : moved) EXPECT_NE(e.filter, static_cast<DWORD>(CLUSTER_CHANGE_RESOURCE_STATE));  // filtered out

  // A name that does not fit stays queued until a buffer that holds it comes.
  ASSERT_EQ(sim.Control({"node", "pause", "FS-NODE2"}), 0);
  WCHAR tiny[4];
  cch = 4;
  ASSERT_EQ(GetClusterNotify(port, &key, &filter, tiny, &cch, 5000), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(cch, 8u);
  cch = 260;
  ASSERT_EQ(GetClusterNotify(port, &key, &filter, name, &cch, 0), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(name, L"FS-NODE2");
  EXPECT_EQ(filter, static_cast<DWORD>(CLUSTER_CHANGE_NODE_STATE));
  EXPECT_EQ(key, 42u);
  EXPECT_TRUE(CloseClusterNotifyPort(port));
  EXPECT_EQ(GetClusterNotify(port, &key, &filter, name, &cch, 0), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ClusApi, ClosingThePortReleasesAWaiter) {
  HCHANGE port = CreateClusterNotifyPort(reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), cluster, CLUSTER_CHANGE_ALL, 0);
  ASSERT_NE(port, nullptr);
  std::atomic<DWORD> result{0xdeadbeef};
  std::thread waiter([&] {
    WCHAR name[260];
    DWORD cch = 260, filter = 0;
    DWORD_PTR key = 0;
    result = GetClusterNotify(port, &key, &filter, name, &cch, INFINITE);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(CloseClusterNotifyPort(port));
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(result.load(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ClusApi, LostServiceBreaksEveryHandleUntilReopened) {
  HGROUP group = OpenClusterGroup(cluster, L"Files");
  ASSERT_NE(group, nullptr);
  HCHANGE port = CreateClusterNotifyPort(reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), cluster,
                                         CLUSTER_CHANGE_ALL, 7);
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(sim.Control({"service", "stop"}), 0);

  WCHAR name[260];
  DWORD cch = 260, filter = 0;
  DWORD_PTR key = 0;
  ASSERT_EQ(GetClusterNotify(port, &key, &filter, name, &cch, 5000), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(filter, static_cast<DWORD>(CLUSTER_CHANGE_CLUSTER_STATE));
  EXPECT_STREQ(name, L"FSCLUSTER");
  cch = 260;
  EXPECT_EQ(GetClusterNotify(port, &key, &filter, name, &cch, 1000), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));

  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetClusterGroupState(group, nullptr, nullptr), ClusterGroupStateUnknown);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(ClusterOpenEnum(cluster, CLUSTER_ENUM_NODE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenCluster(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));

  // The service comes back: old handles stay broken, new ones work.
  ASSERT_EQ(sim.Control({"service", "start"}), 0);
  EXPECT_EQ(GetClusterGroupState(group, nullptr, nullptr), ClusterGroupStateUnknown);
  EXPECT_EQ(CreateClusterNotifyPort(reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), cluster, CLUSTER_CHANGE_ALL, 0),
            nullptr);
  HCLUSTER again = OpenCluster(L"fscluster");
  ASSERT_NE(again, nullptr) << GetLastError();
  HGROUP fresh = OpenClusterGroup(again, L"Files");
  EXPECT_EQ(GetClusterGroupState(fresh, nullptr, nullptr), ClusterGroupOnline);
  CloseClusterGroup(fresh);
  CloseCluster(again);
  CloseClusterGroup(group);
  CloseClusterNotifyPort(port);
}

TEST_F(ClusApi, KilledServiceIsReportedNotHung) {
  HGROUP group = OpenClusterGroup(cluster, L"Files");
  ASSERT_NE(group, nullptr);
  kill(sim.Pid(), SIGKILL);
  sim.Stop();
  const auto start = std::chrono::steady_clock::now();
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetClusterGroupState(group, nullptr, nullptr), ClusterGroupStateUnknown);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  CloseClusterGroup(group);
}

DWORD OpenHandles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// Every request in turn fails as a lost service; whatever failed, nothing stays open.
TEST_F(ClusApi, LostConnectionsAtEveryCallLeakNoHandles) {
  const DWORD before = OpenHandles();
  for (long failAt = 1; failAt <= 12; ++failAt) {
    WinapiClusterFailAfter(failAt);
    HCLUSTER c = OpenCluster(nullptr);
    if (c) {
      if (HGROUP g = OpenClusterGroup(c, L"Files")) {
        GetClusterGroupState(g, nullptr, nullptr);
        if (HGROUPENUM e = ClusterGroupOpenEnum(g, CLUSTER_GROUP_ENUM_CONTAINS)) ClusterGroupCloseEnum(e);
        CloseClusterGroup(g);
      }
      if (HCHANGE p = CreateClusterNotifyPort(reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), c, CLUSTER_CHANGE_ALL, 0)) {
        CloseClusterNotifyPort(p);
      }
      if (HKEY k = GetClusterKey(c, KEY_READ)) ClusterRegCloseKey(k);
      CloseCluster(c);
    }
    WinapiClusterFailAfter(0);
  }
  EXPECT_EQ(OpenHandles(), before);
}

TEST_F(ClusApi, LoadReplacesTheCluster) {
  ASSERT_EQ(sim.Control({"load", ClusterSimulator::Scenario("four-node-ipv6.json")}), 0);
  EXPECT_EQ(ClusterOpenEnum(cluster, CLUSTER_ENUM_NODE), nullptr);  // the old cluster's handle broke
  CloseCluster(cluster);
  cluster = OpenCluster(nullptr);
  ASSERT_NE(cluster, nullptr);
  EXPECT_EQ(Names(CLUSTER_ENUM_NODE).size(), 4u);
  EXPECT_EQ(Names(CLUSTER_ENUM_GROUP)[2], L"Groupe vide");
}

TEST_F(ClusApi, RemoteClusterNamesAreUnreachable) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenCluster(L"\\\\OTHERCLUSTER"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(GetClusterInformation(nullptr, nullptr, nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace

// CCluster against a running clussimd: every list and record field against the
// scenario, the cross-references, address discovery, the lazy lists and their flags,
// changes and service loss during enumeration.
#include "cluster.h"

#include <winapi_ext.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

class ClusterTest : public ::testing::Test {
 protected:
  void Start(const char* scenario) {
    ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario(scenario)));
    ASSERT_TRUE(cluster.Open(nullptr)) << GetLastError();
  }
  void TearDown() override {
    WinapiClusterFailAfter(0);
    cluster.Close();
  }

  template <class Record, class Get>
  std::vector<Record> All(Get get) {
    std::vector<Record> records;
    for (DWORD i = 0;; ++i) {
      Record record;
      if (!(cluster.*get)(record, i)) break;
      records.push_back(record);
    }
    return records;
  }

  std::vector<std::wstring> NodeNames() {
    std::vector<std::wstring> names;
    for (const auto& n : All<CClusterNode>(&CCluster::GetNode)) names.push_back(n.Name);
    return names;
  }

  ClusterSimulator sim;
  CCluster cluster;
};

TEST_F(ClusterTest, ListsMatchTheTwoNodeScenario) {
  Start("two-node-fileserver.json");
  ASSERT_TRUE(cluster.EnumerateAll());
  EXPECT_EQ(cluster.GetNodeCount(), 2u);
  EXPECT_EQ(cluster.GetGroupCount(), 2u);
  EXPECT_EQ(cluster.GetNetworkCount(), 2u);
  EXPECT_EQ(cluster.GetNetInterfaceCount(), 4u);
  EXPECT_EQ(cluster.GetResourceCount(), 6u);
  EXPECT_EQ(cluster.GetResourceTypeCount(), 4u);

  const auto networks = All<CClusterNetwork>(&CCluster::GetNetwork);
  ASSERT_EQ(networks.size(), 2u);
  EXPECT_EQ(networks[1].Name, L"Heartbeat");
  EXPECT_EQ(networks[1].Index, 1u);
  EXPECT_EQ(networks[0].Role, static_cast<DWORD>(ClusterNetworkRoleInternalAndClient));
  EXPECT_EQ(networks[0].State, ClusterNetworkUp);

  CClusterResource share;
  ASSERT_TRUE(cluster.FindResource(share, L"USERS SHARE"));
  EXPECT_EQ(share.Index, 5u);
  EXPECT_EQ(share.Type, L"File Share");
  EXPECT_EQ(share.State, ClusterResourceOnline);
  CClusterResource ip;
  ASSERT_TRUE(cluster.FindResource(ip, L"Files IP Address"));
  EXPECT_EQ(ip.Address, L"192.168.10.20");
  EXPECT_EQ(ip.Network, L"Public");

  CClusterNetInterface itf;
  ASSERT_TRUE(cluster.FindNetInterface(itf, L"fs-node2 - heartbeat"));
  EXPECT_EQ(itf.Index, 3u);
  EXPECT_EQ(itf.State, ClusterNetInterfaceUp);

  // Positions outside the list leave the output alone.
  CClusterGroup group(L"untouched", 77);
  EXPECT_FALSE(cluster.GetGroup(group, 2));
  EXPECT_EQ(group.Name, L"untouched");
  EXPECT_FALSE(cluster.FindGroup(group, nullptr));
  EXPECT_FALSE(cluster.FindGroup(group, L"no such group"));
  EXPECT_EQ(group.Index, 77u);
}

TEST_F(ClusterTest, CrossReferencesAndAddresses) {
  Start("two-node-fileserver.json");
  CClusterNode owner;
  ASSERT_TRUE(cluster.FindOwnerNodeOfGroup(owner, L"Files"));
  EXPECT_EQ(owner.Name, L"FS-NODE2");
  EXPECT_EQ(owner.Index, 1u);
  EXPECT_FALSE(cluster.FindOwnerNodeOfGroup(owner, L"no such group"));

  CClusterNode node;
  CClusterNetwork network;
  ASSERT_TRUE(cluster.FindNodeAndNetworkOfNetInterface(node, network, L"FS-NODE1 - Heartbeat"));
  EXPECT_EQ(node.Name, L"FS-NODE1");
  EXPECT_EQ(network.Name, L"Heartbeat");
  EXPECT_EQ(network.Role, static_cast<DWORD>(ClusterNetworkRoleInternalUse));

  CClusterResource share;
  ASSERT_TRUE(cluster.FindResource(share, L"Users Share"));
  CClusterGroup group;
  ASSERT_TRUE(cluster.FindGroupOfResource(group, share));
  EXPECT_EQ(group.Name, L"Files");
  CClusterResourceType type;
  ASSERT_TRUE(cluster.FindResourceTypeOfResource(type, share));
  EXPECT_EQ(type.Index, 3u);
  CClusterResource ip;
  ASSERT_TRUE(cluster.FindResource(ip, L"Cluster IP Address"));
  ASSERT_TRUE(cluster.FindNetworkOfResource(network, ip));
  EXPECT_EQ(network.Name, L"Public");

  // Only the client-facing network gives a node address.
  std::vector<CIpAddress> addresses;
  ASSERT_TRUE(cluster.GetNodeIPAddresses(addresses, L"fs-node1"));
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].GetText(), L"192.168.10.11");
  EXPECT_FALSE(cluster.GetNodeIPAddresses(addresses, L""));

  CLUSTERVERSIONINFO info;
  std::wstring name;
  ASSERT_TRUE(cluster.GetClusterInfo(info, name));
  EXPECT_EQ(name, L"FSCLUSTER");
  EXPECT_EQ(info.BuildNumber, 1381);
  std::wstring quorum, device;
  DWORD maxLog = 0;
  ASSERT_TRUE(cluster.GetQuorumResource(quorum, device, maxLog));
  EXPECT_EQ(quorum, L"Disk Q:");
  EXPECT_EQ(device, L"Q:\\MSCS\\");

  CIpAddress clusterAddress;
  ASSERT_TRUE(cluster.GetClusterIPAddress(clusterAddress));  // first address in the quorum group
  EXPECT_EQ(clusterAddress.GetText(), L"192.168.10.10");
  CIpAddress virtualAddress;
  ASSERT_TRUE(cluster.GetVirtualIPAddress(virtualAddress, L"Files IP Address"));
  EXPECT_EQ(virtualAddress.GetText(), L"192.168.10.20");
  CIpAddress missing;
  SetLastError(0);
  EXPECT_FALSE(cluster.GetVirtualIPAddress(missing, L"Adresse IP du cluster"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NOT_FOUND));
  CIpAddress first;
  ASSERT_TRUE(cluster.EnumerateAll());
  ASSERT_TRUE(cluster.GetVirtualIPAddress(first, nullptr));
  EXPECT_EQ(first.GetText(), L"192.168.10.10");
}

TEST_F(ClusterTest, FourNodeClusterWithIPv6AndOddObjects) {
  Start("four-node-ipv6.json");
  ASSERT_TRUE(cluster.EnumerateAll());
  EXPECT_EQ(NodeNames(), (std::vector<std::wstring>{L"NŒUD-1", L"NŒUD-2", L"NŒUD-3", L"NŒUD-4"}));
  CClusterNode down;
  ASSERT_TRUE(cluster.FindNode(down, L"nœud-4"));
  EXPECT_EQ(down.State, ClusterNodeDown);

  std::vector<CClusterResource> contents;
  EXPECT_EQ(GetGroupResources(contents, L"Groupe vide"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(contents.empty());
  std::vector<CClusterNode> preferred;
  EXPECT_EQ(GetGroupPreferredNodes(preferred, L"Groupe vide"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(preferred.empty());
  CClusterResource untyped;
  ASSERT_TRUE(cluster.FindResource(untyped, L"Ressource sans type"));
  EXPECT_TRUE(untyped.Type.empty());
  CClusterResourceType type(L"kept", 9);
  EXPECT_FALSE(cluster.FindResourceTypeOfResource(type, untyped));
  EXPECT_EQ(type.Name, L"kept");

  std::vector<CIpAddress> addresses;
  ASSERT_TRUE(cluster.GetNodeIPAddresses(addresses, L"NŒUD-2"));
  ASSERT_EQ(addresses.size(), 1u);  // the private network is internal use only
  EXPECT_EQ(addresses[0].Bytes.size(), 16u);
  EXPECT_EQ(addresses[0].GetText(), L"2001:db8:10::12");
  std::vector<CIpAddress> none;
  EXPECT_FALSE(cluster.GetNodeIPAddresses(none, L"NŒUD-4"));  // only a role-0 network
  EXPECT_TRUE(none.empty());

  CIpAddress address;
  ASSERT_TRUE(cluster.GetVirtualIPAddress(address, L"Adresse IP du cluster"));
  EXPECT_EQ(address.GetText(), L"2001:db8:10::100");
}

TEST_F(ClusterTest, ListsFilledWhileClosedStayEmptyUntilClose) {
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  EXPECT_EQ(cluster.GetNodeCount(), 0u);  // no cluster yet: filled empty, flagged
  ASSERT_TRUE(cluster.Open(nullptr));
  EXPECT_EQ(cluster.GetNodeCount(), 0u);  // Open keeps lists and flags
  cluster.Close();
  ASSERT_TRUE(cluster.Open(nullptr));
  EXPECT_EQ(cluster.GetNodeCount(), 2u);

  SetLastError(0);
  cluster.Close();
  EXPECT_FALSE(cluster.OpenNotifyPort(CLUSTER_CHANGE_ALL, reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(cluster.GetNotifyPort(), nullptr);
  CLUSTERVERSIONINFO info;
  std::wstring name;
  EXPECT_FALSE(cluster.GetClusterInfo(info, name));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CIpAddress address;
  EXPECT_FALSE(cluster.GetClusterIPAddress(address));
  EXPECT_FALSE(cluster.GetVirtualIPAddress(address, L"Cluster IP Address"));
  EXPECT_TRUE(address.IsEmpty());
}

TEST_F(ClusterTest, OpeningAgainClosesTheOldHandleAndPort) {
  Start("two-node-fileserver.json");
  ASSERT_TRUE(cluster.OpenNotifyPort(CLUSTER_CHANGE_ALL, reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), 0));
  const HCHANGE oldPort = cluster.GetNotifyPort();
  const HCLUSTER oldCluster = cluster.GetClusterHandle();
  ASSERT_TRUE(cluster.Open(nullptr));
  EXPECT_EQ(cluster.GetNotifyPort(), nullptr);
  WCHAR name[260];
  DWORD cch = 260, filter = 0;
  DWORD_PTR key = 0;
  EXPECT_EQ(GetClusterNotify(oldPort, &key, &filter, name, &cch, 0), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseCluster(oldCluster));  // closed already
  EXPECT_NE(cluster.GetClusterHandle(), nullptr);
}

TEST_F(ClusterTest, NotificationPortSeesAFailover) {
  Start("two-node-fileserver.json");
  ASSERT_TRUE(cluster.OpenNotifyPort(0xFFFFFF0F | CLUSTER_CHANGE_CLUSTER_STATE,
                                     reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), 0));
  ASSERT_EQ(sim.Control({"node", "down", "FS-NODE2"}), 0);
  std::set<std::wstring> groups;
  bool nodeState = false;
  for (int i = 0; i < 64; ++i) {
    WCHAR name[260];
    DWORD cch = 260, filter = 0;
    DWORD_PTR key = 0;
    if (GetClusterNotify(cluster.GetNotifyPort(), &key, &filter, name, &cch, 500) != ERROR_SUCCESS) break;
    nodeState = nodeState || (filter == CLUSTER_CHANGE_NODE_STATE && std::wstring(name) == L"FS-NODE2");
    if (filter == CLUSTER_CHANGE_GROUP_PROPERTY) groups.insert(name);
  }
  EXPECT_TRUE(nodeState);
  EXPECT_EQ(groups, (std::set<std::wstring>{L"Files"}));
  CClusterNode owner;
  ASSERT_TRUE(cluster.FindOwnerNodeOfGroup(owner, L"Files"));
  EXPECT_EQ(owner.Name, L"FS-NODE1");
  EXPECT_FALSE(cluster.CloseNotifyPort());
}

// Every list is whole or empty: positions 0..n-1, names unique.
void ExpectConsistent(CCluster& cluster) {
  std::set<std::wstring> names;
  const DWORD count = cluster.GetGroupCount();
  for (DWORD i = 0; i < count; ++i) {
    CClusterGroup group;
    ASSERT_TRUE(cluster.GetGroup(group, i));
    EXPECT_EQ(group.Index, i);
    EXPECT_TRUE(names.insert(group.Name).second) << "duplicate " << std::string(group.Name.begin(), group.Name.end());
  }
}

TEST_F(ClusterTest, ListsStayConsistentWhileTheClusterChanges) {
  Start("two-node-fileserver.json");
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (int i = 0; !stop; ++i) {
      const std::string name = "Churn " + std::to_string(i % 4);
      if (sim.Control({"add", "group", name}) != 0) sim.Control({"delete", "group", name});
      sim.Control({"group", "move", "Files"});
    }
  });
  for (int round = 0; round < 20; ++round) {
    cluster.Close();
    ASSERT_TRUE(cluster.Open(nullptr));
    EXPECT_TRUE(cluster.EnumerateAll());
    ExpectConsistent(cluster);
    EXPECT_GE(cluster.GetGroupCount(), 2u);
    EXPECT_EQ(cluster.GetResourceCount(), 6u);
  }
  stop = true;
  changer.join();
}

TEST_F(ClusterTest, ServiceLostMidEnumerationIsReportedNeverPartial) {
  Start("two-node-fileserver.json");
  const DWORD expected[] = {2, 2, 4, 6, 4};  // nodes, groups, interfaces, resources, types
  for (long failAt = 1; failAt <= 80; ++failAt) {
    cluster.Close();
    ASSERT_TRUE(cluster.Open(nullptr));
    WinapiClusterFailAfter(failAt);
    const bool complete = cluster.EnumerateAll();
    WinapiClusterFailAfter(0);
    const DWORD counts[] = {cluster.GetNodeCount(), cluster.GetGroupCount(), cluster.GetNetInterfaceCount(),
                            cluster.GetResourceCount(), cluster.GetResourceTypeCount()};
    bool allWhole = true;
    for (size_t i = 0; i < std::size(counts); ++i) {
      EXPECT_TRUE(counts[i] == 0 || counts[i] == expected[i]) << "fault at call " << failAt << ", list " << i;
      allWhole = allWhole && counts[i] == expected[i];
    }
    // A list that lost its enumeration is reported; a whole model may still carry
    // records whose own reads failed (state -1), as on Windows.
    if (!allWhole) {
      EXPECT_FALSE(complete) << "fault at call " << failAt;
    }
    ExpectConsistent(cluster);
  }
}

TEST_F(ClusterTest, StoppedServiceFailsEveryWayAndRecovers) {
  Start("two-node-fileserver.json");
  ASSERT_EQ(sim.Control({"service", "stop"}), 0);
  EXPECT_FALSE(cluster.EnumerateAll());
  EXPECT_EQ(cluster.GetNodeCount(), 0u);
  std::wstring quorum;
  EXPECT_FALSE(cluster.GetQuorumResourceName(quorum));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  cluster.Close();
  EXPECT_FALSE(cluster.Open(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  ASSERT_EQ(sim.Control({"service", "start"}), 0);
  ASSERT_TRUE(cluster.Open(nullptr));
  EXPECT_TRUE(cluster.EnumerateAll());
  EXPECT_EQ(cluster.GetNodeCount(), 2u);
}

}  // namespace

// The three ways to the cluster address and the default-name cache.
#include "cluster_ip_address.h"

#include <gtest/gtest.h>

#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

class IpAddressSearch : public ::testing::Test {
 protected:
  void Start(const char* scenario) {
    ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario(scenario)));
    ASSERT_TRUE(cluster.Open(nullptr));
  }
  ClusterSimulator sim;
  CCluster cluster;
  CClusterIpAddressFinder finder;
};

TEST_F(IpAddressSearch, FrenchDefaultNameIsFoundAndKept) {
  Start("four-node-ipv6.json");
  CIpAddress address;
  ASSERT_TRUE(finder.GetClusterIPAddress(cluster, address));
  EXPECT_EQ(address.GetText(), L"2001:db8:10::100");
  EXPECT_EQ(finder.CachedName().LanguageId, 12);

  // Once cached, a failing default name goes straight to the quorum group: the other
  // default names are not tried again (an English one now exists but is not found).
  ASSERT_EQ(sim.Control({"rename", "resource", "Adresse IP du cluster", "Cluster IP Address"}), 0);
  CIpAddress again;
  ASSERT_TRUE(finder.GetClusterIPAddress(cluster, again));
  EXPECT_EQ(finder.CachedName().LanguageId, 12);
  EXPECT_EQ(again.GetText(), L"2001:db8:10::100");  // through the quorum group
}

TEST_F(IpAddressSearch, FallsBackToTheQuorumGroupThenToAnyAddress) {
  Start("two-node-fileserver.json");
  ASSERT_EQ(sim.Control({"rename", "resource", "Cluster IP Address", "Public IP"}), 0);
  CIpAddress viaQuorum;
  ASSERT_TRUE(finder.GetClusterIPAddress(cluster, viaQuorum));
  EXPECT_EQ(finder.CachedName().LanguageId, 0);
  EXPECT_EQ(viaQuorum.GetText(), L"192.168.10.10");

  // No address in the quorum group: the first resource of the list that has one.
  ASSERT_EQ(sim.Control({"set", "resource", "Public IP", "private.Address", ""}), 0);
  cluster.Close();
  ASSERT_TRUE(cluster.Open(nullptr));
  ASSERT_TRUE(cluster.EnumerateAll());
  CIpAddress any;
  ASSERT_TRUE(finder.GetClusterIPAddress(cluster, any));
  EXPECT_EQ(any.GetText(), L"192.168.10.20");
}

TEST_F(IpAddressSearch, EmptyRegistryAddressIsAnEmptySuccess) {
  Start("two-node-fileserver.json");
  ASSERT_EQ(sim.Control({"set", "resource", "Cluster IP Address", "private.Address", ""}), 0);
  CIpAddress address;
  EXPECT_TRUE(cluster.GetVirtualIPAddress(address, L"Cluster IP Address"));
  EXPECT_TRUE(address.IsEmpty());
}

TEST_F(IpAddressSearch, WithoutAClusterEveryWayFails) {
  CIpAddress address;
  EXPECT_FALSE(finder.GetClusterIPAddress(cluster, address));
  EXPECT_TRUE(address.IsEmpty());
  EXPECT_EQ(finder.CachedName().LanguageId, 0);
}

}  // namespace

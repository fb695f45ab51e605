// Address conversions, and the property reads against the simulated cluster.
#include "cluster_records.h"

#include <gtest/gtest.h>

#include <string>

#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

TEST(IpAddress, ParsesIPv4AsTheAgentAlwaysHas) {
  struct Case {
    const wchar_t* text;
    bool parsed;
    BYTE bytes[4];
  };
  const Case cases[] = {
      {L"10.0.0.1", true, {10, 0, 0, 1}},
      {L"1.2.3.4", false, {}},          // seven characters are refused, not parsed
      {L"10.20.30.", false, {}},        // three parts
      {L"10.2.3.4.5", true, {10, 2, 3, 4}},
      {L"300.1.1.1", true, {44, 1, 1, 1}},
      {L"10..20.30.40", true, {10, 20, 30, 40}},  // empty parts are skipped
      {L" 10.2x.3.44", true, {10, 2, 3, 44}},     // leading blanks and trailing garbage
      {L"", false, {}},
  };
  for (const auto& c : cases) {
    CIpAddress address;
    address.Bytes = {9, 9};
    EXPECT_EQ(ParseIPv4Address(address, c.text), c.parsed) << c.text;
    if (c.parsed) {
      EXPECT_EQ(address.Bytes, std::vector<BYTE>(c.bytes, c.bytes + 4)) << c.text;
    } else {
      EXPECT_EQ(address.Bytes, (std::vector<BYTE>{9, 9})) << c.text;  // unchanged
    }
  }
}

TEST(IpAddress, IPv6TextsRoundTrip) {
  struct Case {
    const wchar_t* text;
    const wchar_t* formatted;
  };
  const Case cases[] = {
      {L"2001:db8:10::11", L"2001:db8:10::11"},
      {L"::", L"::"},
      {L"::1", L"::1"},
      {L"fe80:0:0:0:0:0:0:1", L"fe80::1"},
  };
  for (const auto& c : cases) {
    CIpAddress address;
    ASSERT_TRUE(ParseIPAddress(address, c.text)) << c.text;
    EXPECT_EQ(address.Bytes.size(), 16u);
    EXPECT_EQ(address.GetText(), c.formatted);
  }
  CIpAddress bad;
  EXPECT_FALSE(ParseIPAddress(bad, L"2001:zz::1"));
  EXPECT_TRUE(bad.IsEmpty());
}

TEST(IpAddress, TextOfOddLengthsIsLeftAlone) {
  std::wstring text = L"keep";
  const BYTE five[5] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(IPAddressToText(five, 5, text, true));
  EXPECT_EQ(text, L"keep");
  std::wstring empty;
  EXPECT_FALSE(IPAddressToText(nullptr, 0, empty, true));
  const BYTE v4[4] = {192, 168, 0, 255};
  EXPECT_TRUE(IPAddressToText(v4, 4, empty, true));
  EXPECT_EQ(empty, L"192.168.0.255");
}

class PropertyReads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json"))); }
  ClusterSimulator sim;
};

TEST_F(PropertyReads, EmptyNamesAreRefusedWithoutACall) {
  LONG state = 5;
  CByteBuffer list;
  std::wstring owner;
  std::vector<CClusterResource> resources;
  EXPECT_EQ(GetNodeState(state, L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetGroupState(state, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetResourceControlData(list, CLUSCTL_RESOURCE_GET_COMMON_PROPERTIES, L""),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetGroupOwnerNode(owner, L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetGroupResources(resources, L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(state, 5);
}

TEST_F(PropertyReads, LargeListsAreFetchedWithTheReportedSize) {
  const std::string longText(3000, 'x');
  ASSERT_EQ(sim.Control({"set", "resource", "Users Share", "private.Comment", longText}), 0);
  CByteBuffer list;
  ASSERT_EQ(GetResourceControlData(list, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, L"Users Share"),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_GT(list.size(), 3000u * sizeof(WCHAR));
  std::wstring comment;
  ASSERT_TRUE(FindSzProperty(list, comment, L"Comment"));
  EXPECT_EQ(comment.size(), 3000u);
  std::wstring share;
  EXPECT_TRUE(FindSzProperty(list, share, L"ShareName"));
  EXPECT_EQ(share, L"users");
}

TEST_F(PropertyReads, RecordsAndRelations) {
  CClusterResource ip(L"Cluster IP Address", 0);
  ReadResourceProperties(ip);
  EXPECT_EQ(ip.State, ClusterResourceOnline);
  EXPECT_EQ(ip.Type, L"IP Address");
  EXPECT_EQ(ip.Address, L"192.168.10.10");
  EXPECT_EQ(ip.Network, L"Public");
  CClusterResource disk(L"Disk Q:", 0);
  ReadResourceProperties(disk);
  EXPECT_TRUE(disk.Address.empty());
  EXPECT_TRUE(disk.Network.empty());

  std::vector<CClusterNode> preferred;
  ASSERT_EQ(GetGroupPreferredNodes(preferred, L"Files"), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(preferred.size(), 2u);
  EXPECT_EQ(preferred[0].Name, L"FS-NODE2");
  EXPECT_EQ(preferred[1].Index, 1u);
  EXPECT_EQ(preferred[1].State, ClusterNodeUp);

  std::vector<CClusterResource> dependencies;
  ASSERT_EQ(GetResourceDependencies(dependencies, L"Users Share"), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(dependencies.size(), 2u);
  EXPECT_EQ(dependencies[1].Name, L"Files IP Address");
  EXPECT_EQ(dependencies[1].Address, L"192.168.10.20");

  CClusterNetwork heartbeat(L"Heartbeat", 1);
  EXPECT_EQ(heartbeat.Role, static_cast<DWORD>(ClusterNetworkRoleInternalUse));
  EXPECT_EQ(heartbeat.State, ClusterNetworkUp);
  EXPECT_EQ(heartbeat.Address.GetText(), L"10.10.10.0");
  CClusterNetwork copy = heartbeat;
  EXPECT_TRUE(copy.Address.IsEmpty());  // the address is for the trace only
  EXPECT_EQ(copy.Role, heartbeat.Role);

  CByteBuffer typeList, extensions;
  ASSERT_EQ(GetResourceTypeControlData(typeList, CLUSCTL_RESOURCE_TYPE_GET_COMMON_PROPERTIES, L"IP Address"),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_TRUE(FindMultiSzProperty(typeList, extensions, L"AdminExtensions"));
  EXPECT_EQ(extensions.size(), 40u * sizeof(WCHAR));  // one string, its terminator, the closing one

  LONG newState = 0, previous = 0;
  ASSERT_EQ(sim.Control({"node", "down", "FS-NODE1"}), 0);
  CClusterNetwork pub(L"Public", 0);
  EXPECT_TRUE(pub.RefreshState(newState, previous));
  CClusterNetwork gone(L"Gone", 3);
  EXPECT_FALSE(gone.RefreshState(newState, previous));
  EXPECT_EQ(gone.State, -1);
}

}  // namespace

// The cluster MIB build against a running clussimd: the tree built with relations read
// once equals the tree of the literal searches object by object; values, presence rules,
// defaults and counts; a lost cluster; the mutex timeout; a request never sees a
// half-built tree; faults of the Cluster API at every call of a build.
#include "cluster_mib_builder.h"

#include <winapi_ext.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "cluster_simulator.h"
#include "literal_cluster_source.h"
#include "mib_catalogue.h"
#include "mib_tree_dump.h"

namespace {

using clustersim::testing::ClusterSimulator;

const std::wstring kRoot = L"1.3.6.1.4.1.884.2.10.2.9.1";

// A cluster with what the shipped scenarios lack: IIS roots in each case, generic
// services and applications, print spoolers, a resource whose type and one whose
// network match nothing, a dependency on a resource of another group, a group whose
// preferred owners are all gone but one.
constexpr const char* kEdgeScenario = R"({
  "cluster": { "name": "EDGE", "version": { "major": 4, "minor": 0, "build": 1381, "vendor": "V", "csd": "SP6" } },
  "nodes": [ { "name": "A" }, { "name": "B", "state": "down" }, { "name": "C", "state": "paused" } ],
  "networks": [ { "name": "Lan", "role": 3, "address": "10.1.0.0", "addressMask": "255.255.0.0" },
                { "name": "Heart", "role": 1, "state": "down" } ],
  "netinterfaces": [
    { "name": "A lan", "node": "A", "network": "Lan", "address": "10.1.0.1", "adapter": "e0", "adapterId": "{1}" },
    { "name": "A heart", "node": "A", "network": "Heart", "address": "10.2.0.1" },
    { "name": "B lan", "node": "B", "network": "Lan", "address": "10.1.0.2" },
    { "name": "C lan", "node": "C", "network": "Lan", "address": "10.1.0.3" } ],
  "resourceTypes": [ { "name": "IIS Virtual Root" }, { "name": "Generic Service" }, { "name": "Print Spooler" },
                     { "name": "IP Address", "common": { "AdminExtensions": ["{X}", "{Y}"] } },
                     { "name": "Generic Application", "common": { "DebugControlFunctions": 7 } } ],
  "groups": [
    { "name": "Web", "owner": "A", "preferredOwners": ["C", "A"], "common": { "PersistentState": 0 } },
    { "name": "Print", "owner": "C", "preferredOwners": ["A"] },
    { "name": "Spare", "owner": "A" } ],
  "resources": [
    { "name": "www root", "group": "Web", "type": "IIS Virtual Root", "private": { "ServiceName": "www", "Alias": "/", "Directory": "C:\\web" } },
    { "name": "ftp root", "group": "Web", "type": "IIS Virtual Root", "private": { "ServiceName": "ftp" } },
    { "name": "upper root", "group": "Web", "type": "IIS Virtual Root", "private": { "ServiceName": "WWW" } },
    { "name": "empty root", "group": "Web", "type": "IIS Virtual Root", "private": { "ServiceName": "" } },
    { "name": "web ip", "group": "Web", "type": "IP Address", "state": "failed",
      "private": { "Address": "10.1.0.80", "SubnetMask": "255.255.0.0", "Network": "Lan" } },
    { "name": "lost ip", "group": "Web", "type": "IP Address", "private": { "Address": "10.9.0.1", "Network": "Gone" } },
    { "name": "svc", "group": "Web", "type": "Generic Service", "dependsOn": ["web ip", "spooler"],
      "common": { "RestartAction": 0, "SeparateMonitor": 1, "PendingTimeout": 4294967295 },
      "private": { "ServiceName": "w3svc", "StartupParameters": "-x" } },
    { "name": "spooler", "group": "Print", "type": "Print Spooler", "state": "offline",
      "common": { "RestartAction": 7 },
      "private": { "DefaultSpoolDirectory": "S:\\spool", "JobCompletionTimeout": 160 } },
    { "name": "odd", "group": "Print", "type": "No Such Type", "state": "onlinepending" } ]
})";

std::string WriteScenario(const ClusterSimulator& sim, const char* name, const char* text) {
  const std::string path = sim.Directory() + "/" + name;
  std::ofstream(path) << text;
  return path;
}

std::string GenerateScenario(const ClusterSimulator& sim, int nodes, int groups, int resources) {
  return ClusterSimulator::Generate(sim.Directory() + "/generated.json", nodes, groups, resources);
}

size_t OpenDescriptors() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}

class ClusterMibBuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mutex = CreateMutexW(nullptr, FALSE, nullptr);
    builder.SetMibTableMutex(mutex);
  }
  void TearDown() override {
    WinapiClusterFailAfter(0);
    cluster.Close();
    CloseHandle(mutex);
  }

  void Start(const std::string& scenario) {
    ASSERT_TRUE(sim.Start(scenario)) << scenario;
    Connect();
  }
  void Connect() {
    cluster.Close();
    ASSERT_TRUE(cluster.Open(nullptr)) << GetLastError();
    cluster.EnumerateAll();
  }

  std::vector<MibCell> Build() {
    CSnmpMibTree tree(nullptr);
    EXPECT_TRUE(builder.BuildMib(tree));
    return DumpTree(tree);
  }
  std::vector<MibCell> BuildLiterally() {
    CClusterMibBuilder literal(cluster, finder);
    literal.SetMibTableMutex(mutex);
    literal.SetSource(std::make_unique<CLiteralClusterSource>(cluster));
    CSnmpMibTree tree(nullptr);
    EXPECT_TRUE(literal.BuildMib(tree));
    return DumpTree(tree);
  }

  static std::wstring Oid(const std::wstring& suffix) { return kRoot + L"." + suffix; }
  static LONG Number(const std::vector<MibCell>& cells, const std::wstring& suffix) {
    const MibCell* cell = FindCell(cells, Oid(suffix));
    EXPECT_NE(cell, nullptr) << std::string(suffix.begin(), suffix.end());
    return cell ? static_cast<LONG>(std::stoul(cell->Value)) : -99999;
  }
  static std::string Bytes(const std::vector<MibCell>& cells, const std::wstring& suffix) {
    const MibCell* cell = FindCell(cells, Oid(suffix));
    EXPECT_NE(cell, nullptr) << std::string(suffix.begin(), suffix.end());
    return cell ? cell->Value : "<absent>";
  }
  static bool Has(const std::vector<MibCell>& cells, const std::wstring& suffix) {
    return FindCell(cells, Oid(suffix)) != nullptr;
  }

  ClusterSimulator sim;
  CCluster cluster;
  CClusterIpAddressFinder finder;
  CClusterMibBuilder builder{cluster, finder};
  HANDLE mutex = nullptr;
};

void ExpectSameTrees(const std::vector<MibCell>& expected, const std::vector<MibCell>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(expected[i].Oid, actual[i].Oid) << i;
    EXPECT_EQ(expected[i].Type, actual[i].Type) << std::string(expected[i].Oid.begin(), expected[i].Oid.end());
    EXPECT_EQ(expected[i].Value, actual[i].Value) << std::string(expected[i].Oid.begin(), expected[i].Oid.end());
  }
}

TEST_F(ClusterMibBuildTest, EqualsTheLiteralSearchesObjectByObject) {
  struct Case {
    const char* name;
    std::string scenario;
  };
  const Case cases[] = {
      {"two nodes", ClusterSimulator::Scenario("two-node-fileserver.json")},
      {"IPv6 and non-ASCII", ClusterSimulator::Scenario("four-node-ipv6.json")},
      {"edge cases", WriteScenario(sim, "edge.json", kEdgeScenario)},
      {"read faults", ClusterSimulator::Scenario("faults.json")},
      {"generated", GenerateScenario(sim, 6, 30, 120)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.scenario.empty());
    Start(c.scenario);
    const auto literal = BuildLiterally();
    const auto built = Build();
    EXPECT_GT(built.size(), 20u);
    ExpectSameTrees(literal, built);
  }
}

TEST_F(ClusterMibBuildTest, TwoNodeValuesCountsAndIndexes) {
  Start(ClusterSimulator::Scenario("two-node-fileserver.json"));
  const auto cells = Build();
  struct Expect {
    const wchar_t* oid;
    LONG value;
  };
  const Expect numbers[] = {
      {L"1.1.0", 4},        {L"1.2.0", 0},        {L"1.4.0", 2},          // agent, service state
      {L"2.2.0", 4},        {L"2.4.0", 1381},     {L"2.9.0", 4194304},    // version, build, quorum log
      {L"3.1.0", 2},        {L"3.2.1.1.2", 2},    {L"3.2.1.3.1", 2},      // nodes, index, state up
      {L"4.1.0", 4},        {L"5.1.0", 2},        {L"5.2.1.4.2", 2},      // types, groups, owner of Files
      {L"5.2.1.9.1", 4},    {L"5.2.1.10.1", 6},   {L"5.2.1.5.2", 2},      // threshold, period, failback
      {L"6.1.0", 6},        {L"6.2.1.2.1.0", 0},  {L"6.2.1.6.1.0", 1},    // rows, r from 0, type index
      {L"6.2.1.35.1.0", 1}, {L"6.2.1.17.2.2", -1},                         // network index, MaxUsers as read
      {L"7.1.0", 4},        {L"7.2.1.2.2.3", 3},  {L"7.2.1.3.2.3", 2},    // k runs on over groups
      {L"8.1.0", 3},        {L"8.2.1.2.1.2.0.0", 2},                       // q = r + 1
      {L"8.2.1.3.2.3.1.0", 1}, {L"8.2.1.4.2.3.1.1", 1},                   // G from 0, D from 0
      {L"11.1.0", 2},       {L"11.2.1.7.1", 5},   {L"11.2.1.7.2", 4},     // roles mapped
      {L"12.1.0", 4},       {L"12.2.1.4.2.2", 2},
  };
  for (const Expect& e : numbers) EXPECT_EQ(Number(cells, e.oid), e.value) << std::string(e.oid, e.oid + wcslen(e.oid));

  EXPECT_EQ(Bytes(cells, L"2.1.0"), "FSCLUSTER");
  EXPECT_EQ(Bytes(cells, L"2.10.0"), "192.168.10.10");
  EXPECT_EQ(Bytes(cells, L"3.2.1.5.1"), std::string("\xC0\xA8\x0A\x0B", 4));
  EXPECT_EQ(Bytes(cells, L"3.2.1.6.1"), std::string(4, '\0'));  // the heartbeat is internal only
  EXPECT_EQ(Bytes(cells, L"6.2.1.3.1.0"), "Cluster IP Address");
  EXPECT_EQ(Bytes(cells, L"6.2.1.5.1.0"), "Public");
  const std::string admin = Bytes(cells, L"4.2.1.3.1");
  ASSERT_EQ(admin.size(), (38u + 2u) * 2u);  // one GUID, its terminator, the closing zero
  EXPECT_EQ(admin.substr(0, 4), std::string("{\0""4\0", 4));
  EXPECT_EQ(admin.substr(admin.size() - 4), std::string(4, '\0'));
  EXPECT_FALSE(Has(cells, L"4.2.1.3.2"));  // no AdminExtensions
  EXPECT_FALSE(Has(cells, L"6.2.1.5.1.2"));  // Cluster Name has no network
}

TEST_F(ClusterMibBuildTest, EdgeCasesOfPresenceAndMapping) {
  Start(WriteScenario(sim, "edge.json", kEdgeScenario));
  const auto cells = Build();
  // IIS service type by exact case; an empty service name has no cell.
  EXPECT_EQ(Number(cells, L"6.2.1.33.1.0"), 2);
  EXPECT_EQ(Number(cells, L"6.2.1.33.1.1"), 3);
  EXPECT_EQ(Number(cells, L"6.2.1.33.1.2"), 1);
  EXPECT_FALSE(Has(cells, L"6.2.1.33.1.3"));
  // A resource whose network is not listed has no IP columns; one whose type is unknown
  // has type index -1; states map through table R.
  EXPECT_EQ(Number(cells, L"6.2.1.4.1.4"), 4);
  EXPECT_FALSE(Has(cells, L"6.2.1.34.1.5"));
  EXPECT_FALSE(Has(cells, L"6.2.1.35.1.5"));
  EXPECT_EQ(Number(cells, L"6.2.1.6.2.1"), -1);
  EXPECT_EQ(Number(cells, L"6.2.1.4.2.1"), 5);
  // Restart actions (table A) and defaults of the boolean columns.
  EXPECT_EQ(Number(cells, L"6.2.1.13.1.6"), 2);
  EXPECT_EQ(Number(cells, L"6.2.1.13.2.0"), 1);
  EXPECT_EQ(Number(cells, L"6.2.1.16.1.6"), 2);
  EXPECT_EQ(Number(cells, L"6.2.1.11.1.6"), -1);
  EXPECT_EQ(Number(cells, L"5.2.1.11.1"), 3);
  EXPECT_EQ(Number(cells, L"4.2.1.4.5"), 1);  // DebugControlFunctions 7 is neither true nor false
  // A dependency on a resource of another group: (g, q, G, D) = (1, 7, 1, 1).
  EXPECT_EQ(Number(cells, L"8.2.1.3.1.7.1.1"), 1);
  EXPECT_EQ(Number(cells, L"8.1.0"), 2);
  // Preferred owners keep running: Web has C then A, Print has A.
  EXPECT_EQ(Number(cells, L"7.2.1.3.1.1"), 3);
  EXPECT_EQ(Number(cells, L"7.2.1.3.2.3"), 1);
  EXPECT_EQ(Number(cells, L"7.1.0"), 3);
  // Node states (table N) and client addresses of a node on a client network only.
  EXPECT_EQ(Number(cells, L"3.2.1.3.2"), 3);
  EXPECT_EQ(Number(cells, L"3.2.1.3.3"), 4);
  EXPECT_EQ(Bytes(cells, L"3.2.1.5.1"), std::string("\x0A\x01\x00\x01", 4));
  EXPECT_EQ(Bytes(cells, L"3.2.1.6.1"), std::string(4, '\0'));
  EXPECT_EQ(Number(cells, L"11.2.1.3.2"), 3);  // network down (table W)
}

TEST_F(ClusterMibBuildTest, UnreadableObjectsGetTheirDefaults) {
  Start(ClusterSimulator::Scenario("faults.json"));
  const auto cells = Build();
  struct Expect {
    const wchar_t* oid;
    LONG value;
  };
  const Expect numbers[] = {
      {L"3.2.1.3.2", 6},    // node state unreadable (table N)
      {L"3.2.1.3.3", 6},    // node cannot be opened
      {L"11.2.1.3.2", 1},   // network state unreadable (table W)
      {L"5.2.1.3.2", 6},    // group state unreadable (table G)
      {L"5.2.1.4.3", 2},    // owner FT-NODE2 found although its state is not
      {L"5.2.1.5.3", 1},    // AutoFailbackType missing from a list that was read
      {L"5.2.1.11.3", 1},   // PersistentState likewise
      {L"7.2.1.3.2.3", 2},  // preferred owner written in another case
      {L"7.2.1.3.2.4", 0},  // preferred owner that is no node
      {L"12.1.0", 5},       // every interface is counted, rows or not
  };
  for (const Expect& e : numbers) EXPECT_EQ(Number(cells, e.oid), e.value) << std::string(e.oid, e.oid + wcslen(e.oid));
  EXPECT_FALSE(Has(cells, L"5.2.1.5.2")) << "a group whose common list failed has no AutoFailbackType";
  EXPECT_FALSE(Has(cells, L"11.2.1.4.2")) << "nor a network whose read-only list failed its address";
  EXPECT_EQ(Bytes(cells, L"2.6.0").size(), 63u) << "the CSD text as the Cluster API cuts it";
}

TEST_F(ClusterMibBuildTest, IPv6AddressesAndAClusterWithoutGroups) {
  Start(ClusterSimulator::Scenario("four-node-ipv6.json"));
  auto cells = Build();
  const std::string address = Bytes(cells, L"3.2.1.5.1");
  ASSERT_EQ(address.size(), 16u);
  EXPECT_EQ(address.substr(0, 4), std::string("\x20\x01\x0d\xb8", 4));
  EXPECT_EQ(Bytes(cells, L"2.10.0"), "2001:db8:10::100");
  EXPECT_EQ(Bytes(cells, L"3.2.1.2.1"), "N\xC5\x92UD-1");
  EXPECT_FALSE(Has(cells, L"4.2.1.3.4"));  // an empty AdminExtensions list

  const char* noGroups = R"({ "cluster": { "name": "BARE" }, "nodes": [ { "name": "ONLY" } ] })";
  Start(WriteScenario(sim, "bare.json", noGroups));
  cells = Build();
  for (const wchar_t* count : {L"5.1.0", L"6.1.0", L"7.1.0", L"8.1.0"}) EXPECT_EQ(Number(cells, count), 0);
  for (const MibCell& cell : cells) {
    for (const wchar_t* branch : {L".5.2.", L".6.2.", L".7.2.", L".8.2."}) {
      EXPECT_EQ(cell.Oid.find(kRoot + branch), std::wstring::npos);
    }
  }
}

TEST_F(ClusterMibBuildTest, AnUnreachableClusterLeavesDefaultsAndZeroCounts) {
  // No service at all: every read fails.
  const auto cells = Build();
  EXPECT_EQ(Number(cells, L"1.4.0"), 3);
  for (const wchar_t* text : {L"2.1.0", L"2.5.0", L"2.6.0", L"2.7.0", L"2.10.0"}) EXPECT_EQ(Bytes(cells, text), "");
  for (const wchar_t* zero : {L"2.2.0", L"2.4.0", L"2.9.0", L"3.1.0", L"5.1.0", L"6.1.0", L"11.1.0", L"12.1.0"}) {
    EXPECT_EQ(Number(cells, zero), 0);
  }
}

TEST_F(ClusterMibBuildTest, AMutexTimeoutLeavesThePublishedTreeUntouched) {
  EXPECT_EQ(builder.GetMutexTimeout(), 15000u);
  Start(ClusterSimulator::Scenario("two-node-fileserver.json"));
  CSnmpMibTree tree(nullptr);
  ASSERT_TRUE(builder.BuildMib(tree));
  const auto before = DumpTree(tree);
  ASSERT_TRUE(sim.Control({"node", "down", "FS-NODE1"}) == 0);

  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    WaitForSingleObject(mutex, INFINITE);
    held = true;
    while (!release) Sleep(1);
    ReleaseMutex(mutex);
  });
  while (!held) Sleep(1);
  builder.SetMutexTimeout(50);
  EXPECT_FALSE(builder.BuildMib(tree));
  release = true;
  holder.join();
  ExpectSameTrees(before, DumpTree(tree));
  EXPECT_TRUE(builder.BuildMib(tree));
  EXPECT_EQ(Number(DumpTree(tree), L"3.2.1.3.1"), 3);

  builder.SetMibTableMutex(nullptr);  // no mutex: nothing is built
  EXPECT_FALSE(builder.BuildMib(tree));
}

TEST_F(ClusterMibBuildTest, RequestsNeverSeeAHalfBuiltTree) {
  Start(ClusterSimulator::Scenario("two-node-fileserver.json"));
  CSnmpMibTree tree(nullptr);
  ASSERT_TRUE(builder.BuildMib(tree));
  const size_t full = tree.Size();
  std::atomic<bool> done{false};
  std::set<size_t> seen;
  std::thread reader([&] {
    while (!done) seen.insert(tree.Size());
  });
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(builder.BuildMib(tree));
  done = true;
  reader.join();
  EXPECT_EQ(seen, std::set<size_t>{full});
}

TEST_F(ClusterMibBuildTest, ClusterFaultsAtEveryCallOfABuild) {
  Start(ClusterSimulator::Scenario("two-node-fileserver.json"));
  const auto fresh = Build();
  const size_t descriptors = OpenDescriptors();
  // Past the last call of a build the fault no longer lands: a few fresh trees in a row.
  int freshInARow = 0;
  for (long n = 1; freshInARow < 3; ++n) {
    Connect();
    WinapiClusterFailAfter(n);
    CSnmpMibTree tree(nullptr);
    EXPECT_TRUE(builder.BuildMib(tree)) << n;  // a failing read never stops the build
    WinapiClusterFailAfter(0);
    const auto cells = DumpTree(tree);
    EXPECT_GE(cells.size(), 3u);
    freshInARow = cells == fresh ? freshInARow + 1 : 0;
    ASSERT_LT(n, 5000) << "a build of two nodes makes far fewer calls";
  }
  Connect();
  ExpectSameTrees(fresh, Build());
  EXPECT_LE(OpenDescriptors(), descriptors + 2);
}

TEST_F(ClusterMibBuildTest, ServiceKilledDuringABuildThenBack) {
  Start(GenerateScenario(sim, 4, 40, 200));
  const auto fresh = Build();
  std::thread killer([&] {
    Sleep(20);
    kill(sim.Pid(), SIGKILL);
  });
  CSnmpMibTree tree(nullptr);
  builder.BuildMib(tree);
  killer.join();
  sim.Stop();
  Start(GenerateScenario(sim, 4, 40, 200));
  ExpectSameTrees(fresh, Build());
}

}  // namespace

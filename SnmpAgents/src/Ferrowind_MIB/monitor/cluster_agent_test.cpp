// The cluster agent against a running clussimd, without the SNMP service: the watcher
// connects, every clussim change reaches the trap queue as its trap with its varbinds,
// the loss and return of the service raise 810, 811 and 812, requests rebuild the MIB
// once after a change, and CloseMib ends the watcher at once.
#include "cluster_agent.h"

#include <winapi_ext.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "agent_registry.h"
#include "cluster_simulator.h"
#include "detached_tarn_client.h"
#include "snmp_value.h"

namespace {

using clustersim::testing::ClusterSimulator;

struct Trap {
  DWORD Number = 0;
  std::vector<std::wstring> Oids;
  std::vector<std::wstring> Values;
};

// The agent with short waits, as the tests need them.
class CTestClusterAgent : public CClusterAgent {
 public:
  CTestClusterAgent() {
    ReplaceTarnClient(std::make_unique<fw::testing::CDetachedTarnClient>(m_TarnEvents));
    m_ProductKeyName = L"Vornekt SNMP Agents";
    m_dwConnectRetryMs = 20;
    m_dwCloseGraceMs = 10;
  }
  void SetConnectRetry(DWORD ms) { m_dwConnectRetryMs = ms; }
  void SetMibTableWait(DWORD ms) { m_dwMibTableWaitMs = ms; }
  DWORD ConnectRetry() const { return m_dwConnectRetryMs; }

  std::optional<Trap> NextTrap() {
    AsnObjectIdentifier enterprise{};
    AsnInteger32 specific = 0;
    SnmpVarBindList varbinds{};
    if (!ResolveTrap(&enterprise, &specific, &varbinds)) return std::nullopt;
    Trap trap;
    trap.Number = static_cast<DWORD>(specific);
    for (UINT i = 0; i < varbinds.len; ++i) {
      std::wstring text;
      trap.Oids.push_back(OidToText(text, &varbinds.list[i].name));
      trap.Values.push_back(ValueToText(text, &varbinds.list[i].value));
    }
    SnmpUtilOidFree(&enterprise);
    SnmpUtilVarBindListFree(&varbinds);
    return trap;
  }
};

class ClusterAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_AgentName = L"Ferrowind_MIB";
    g_bShutdown = false;
  }
  void TearDown() override { StopWatcher(); }

  void StopWatcher() {
    g_bShutdown = true;
    agent.CloseMib();
    EXPECT_TRUE(agent.WaitForWatcher(5000));
  }

  bool WaitForAccess(LONG state, DWORD ms = 10000) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (agent.GetClusterAccessState() != state) {
      if (GetTickCount64() > deadline) return false;
      Sleep(5);
    }
    return true;
  }

  // Traps until one with the number arrives; the others are kept in `seen`.
  std::optional<Trap> WaitForTrap(DWORD number, DWORD ms = 10000) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (GetTickCount64() < deadline) {
      while (auto trap = agent.NextTrap()) {
        seen.push_back(trap->Number);
        if (trap->Number == number) return trap;
      }
      Sleep(5);
    }
    return std::nullopt;
  }

  // Takes traps until none has come for a while: the change has been handled whole.
  void WaitUntilQuiet() {
    ULONGLONG last = GetTickCount64();
    while (GetTickCount64() - last < 300) {
      if (auto trap = agent.NextTrap()) {
        seen.push_back(trap->Number);
        last = GetTickCount64();
      }
      Sleep(5);
    }
  }

  void StartConnected(const char* scenario = "two-node-fileserver.json") {
    ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario(scenario)));
    ASSERT_TRUE(agent.InitializeMib());
    ASSERT_TRUE(WaitForAccess(1));
    // The port is open once the watcher waits: a first change must not be missed.
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (!agent.GetCluster().GetNotifyPort() && GetTickCount64() < deadline) Sleep(5);
  }

  ClusterSimulator sim;
  CTestClusterAgent agent;
  std::vector<DWORD> seen;
};

TEST_F(ClusterAgentTest, WithoutTheClusterServiceOnlyTheVersionObjectsAreServed) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\ClusSvc");
  EXPECT_FALSE(agent.InitializeMib());
  EXPECT_EQ(agent.GetMibTree().Size(), 3u);
  EXPECT_EQ(agent.GetLastAgentStatus(), 0u);
  agent.OnPreSnmpQuery(SNMP_PDU_GETNEXT, nullptr, nullptr, nullptr);
  EXPECT_EQ(agent.GetMibTree().Size(), 3u);
  EXPECT_FALSE(agent.NextTrap().has_value());
}

// The agent parameter "Notification Filter" for one test.
class NotificationFilter {
 public:
  NotificationFilter(const std::wstring& agentKey, DWORD filter) {
    EXPECT_EQ(fw::agent::CreateKeyForWrite(HKEY_LOCAL_MACHINE, agentKey + L"\\Parameters", REG_OPTION_NON_VOLATILE,
                                           parameters_),
              ERROR_SUCCESS);
    EXPECT_TRUE(fw::agent::WriteDwordValue(parameters_.Get(), L"Notification Filter", filter));
  }
  ~NotificationFilter() { RegDeleteValueW(parameters_.Get(), L"Notification Filter"); }
  NotificationFilter(const NotificationFilter&) = delete;
  NotificationFilter& operator=(const NotificationFilter&) = delete;

 private:
  CRegKey parameters_;
};

TEST_F(ClusterAgentTest, EveryClusterChangeRaisesItsTrapWithItsObject) {
  const NotificationFilter everything(agent.GetAgentKey(), 0xFFFFFFFF);  // the registry codes too
  StartConnected();
  constexpr const wchar_t* kNode = L"1.3.6.1.4.1.884.2.10.2.9.1.10.3.0";
  constexpr const wchar_t* kType = L"1.3.6.1.4.1.884.2.10.2.9.1.10.4.0";
  constexpr const wchar_t* kGroup = L"1.3.6.1.4.1.884.2.10.2.9.1.10.5.0";
  constexpr const wchar_t* kResource = L"1.3.6.1.4.1.884.2.10.2.9.1.10.6.0";
  constexpr const wchar_t* kKey = L"1.3.6.1.4.1.884.2.10.2.9.1.10.9.0";
  constexpr const wchar_t* kNetwork = L"1.3.6.1.4.1.884.2.10.2.9.1.10.11.0";
  constexpr const wchar_t* kInterface = L"1.3.6.1.4.1.884.2.10.2.9.1.10.12.0";
  struct Case {
    std::vector<std::string> command;  // empty: a later trap of the command before
    DWORD trap;                        // 0: the command raises none
    const wchar_t* varbind;            // OID of the third varbind; null: two varbinds only
    const wchar_t* object;
  };
  const Case cases[] = {
      {{"node", "pause", "FS-NODE2"}, 926, kNode, L"FS-NODE2"},
      {{"node", "resume", "FS-NODE2"}, 924, kNode, L"FS-NODE2"},
      {{"node", "down", "FS-NODE1"}, 925, kNode, L"FS-NODE1"},
      {{}, 942, kInterface, L"FS-NODE1 - Public"},
      {{"node", "join", "FS-NODE1"}, 927, kNode, L"FS-NODE1"},
      {{"node", "up", "FS-NODE1"}, 924, kNode, L"FS-NODE1"},
      {{}, 939, kInterface, L"FS-NODE1 - Public"},
      {{"group", "offline", "Files"}, 931, kGroup, L"Files"},
      {{"group", "pending", "Files"}, 862, kResource, L"Files IP Address"},
      {{}, 930, kGroup, L"Files"},
      {{"group", "online", "Files"}, 928, kGroup, L"Files"},
      // The dependent goes offline before its provider.
      {{"resource", "offline", "Disk S:"}, 934, kResource, L"Users Share"},
      {{}, 934, kResource, L"Disk S:"},
      {{}, 929, kGroup, L"Files"},
      // The provider comes online before its dependent.
      {{"resource", "online", "Users Share"}, 933, kResource, L"Disk S:"},
      {{}, 933, kResource, L"Users Share"},
      {{"resource", "fail", "Users Share"}, 935, kResource, L"Users Share"},
      {{}, 932, kGroup, L"Files"},
      {{"resource", "online", "Users Share"}, 933, kResource, L"Users Share"},
      {{"group", "move", "Files", "FS-NODE1"}, 853, kGroup, L"Files"},
      {{"add", "node", "FS-NODE3"}, 831, kNode, L"FS-NODE3"},
      {{"node", "down", "FS-NODE3"}, 925, kNode, L"FS-NODE3"},
      {{"delete", "node", "FS-NODE3"}, 830, kNode, L"FS-NODE3"},
      {{"add", "group", "Extra"}, 851, kGroup, L"Extra"},
      {{"add", "resource", "Extra Disk", "Extra"}, 861, kResource, L"Extra Disk"},
      {{"set", "resource", "Extra Disk", "common.Description", "x"}, 863, kResource, L"Extra Disk"},
      {{"delete", "resource", "Extra Disk"}, 860, kResource, L"Extra Disk"},
      {{"delete", "group", "Extra"}, 850, kGroup, L"Extra"},
      {{"add", "restype", "Extra Type"}, 841, kType, L"Extra Type"},
      {{"delete", "restype", "Extra Type"}, 840, kType, L"Extra Type"},
      {{"add", "network", "Backup", "1"}, 911, kNetwork, L"Backup"},
      {{"set", "network", "Backup", "common.Description", "x"}, 913, kNetwork, L"Backup"},
      {{"add", "netinterface", "FS-NODE2 - Backup", "FS-NODE2", "Backup"}, 921, kInterface, L"FS-NODE2 - Backup"},
      {{"set", "netinterface", "FS-NODE2 - Backup", "common.Description", "x"}, 923, kInterface, L"FS-NODE2 - Backup"},
      {{"delete", "netinterface", "FS-NODE2 - Backup"}, 920, kInterface, L"FS-NODE2 - Backup"},
      {{"delete", "network", "Backup"}, 910, kNetwork, L"Backup"},
      // A network's interfaces change before the network.
      {{"network", "down", "Heartbeat"}, 940, kInterface, L"FS-NODE1 - Heartbeat"},
      {{}, 937, kNetwork, L"Heartbeat"},
      {{"network", "partition", "Heartbeat"}, 941, kInterface, L"FS-NODE1 - Heartbeat"},
      {{}, 912, kNetwork, L"Heartbeat"},
      {{"network", "unavailable", "Heartbeat"}, 938, kNetwork, L"Heartbeat"},
      {{"network", "up", "Heartbeat"}, 936, kNetwork, L"Heartbeat"},
      {{"netinterface", "fail", "FS-NODE2 - Public"}, 940, kInterface, L"FS-NODE2 - Public"},
      {{"netinterface", "unreachable", "FS-NODE2 - Public"}, 941, kInterface, L"FS-NODE2 - Public"},
      {{"netinterface", "up", "FS-NODE2 - Public"}, 939, kInterface, L"FS-NODE2 - Public"},
      // A state that cannot be read gives the kind's generic trap.
      {{"fault", "node", "FS-NODE2", "state", "5"}, 0, nullptr, nullptr},
      {{"node", "pause", "FS-NODE2"}, 832, kNode, L"FS-NODE2"},
      {{"fault", "node", "FS-NODE2", "clear"}, 0, nullptr, nullptr},
      {{"node", "resume", "FS-NODE2"}, 924, kNode, L"FS-NODE2"},
      {{"fault", "group", "Files", "state", "5"}, 0, nullptr, nullptr},
      {{"group", "offline", "Files"}, 852, kGroup, L"Files"},
      {{"fault", "group", "Files", "clear"}, 0, nullptr, nullptr},
      {{"group", "online", "Files"}, 928, kGroup, L"Files"},
      {{"fault", "netinterface", "FS-NODE2 - Public", "state", "5"}, 0, nullptr, nullptr},
      {{"netinterface", "fail", "FS-NODE2 - Public"}, 922, kInterface, L"FS-NODE2 - Public"},
      {{"fault", "netinterface", "FS-NODE2 - Public", "clear"}, 0, nullptr, nullptr},
      {{"netinterface", "up", "FS-NODE2 - Public"}, 939, kInterface, L"FS-NODE2 - Public"},
      // The cluster registry.
      {{"registry", "add", "Parameters\\Extra"}, 896, kKey, L"Parameters\\Extra"},
      {{"registry", "set", "Parameters\\Extra", "Level", "7"}, 897, kKey, L"Parameters\\Extra"},
      {{"registry", "attributes", "Parameters\\Extra"}, 895, kKey, L"Parameters\\Extra"},
      {{"set", "resource", "Disk S:", "private.Drive", "T:"}, 863, kResource, L"Disk S:"},
      {{}, 897, kKey, L"\\Parameters"},
      {{"registry", "delete", "Parameters"}, 896, kKey, L"Parameters"},
      // Loss and return of the service.
      {{"service", "stop"}, 812, nullptr, nullptr},
      {{"service", "start"}, 811, nullptr, nullptr},
  };
  std::string last;
  for (const Case& c : cases) {
    if (!c.command.empty()) {
      last.clear();
      for (const auto& word : c.command) last += word + " ";
    }
    SCOPED_TRACE(last + "-> " + std::to_string(c.trap));
    if (!c.command.empty()) {
      std::string output;
      ASSERT_EQ(sim.Control(c.command, &output), 0) << output;
    }
    if (!c.trap) continue;
    const auto trap = WaitForTrap(c.trap);
    ASSERT_TRUE(trap.has_value());
    ASSERT_EQ(trap->Oids.size(), c.varbind ? 3u : 2u);
    EXPECT_EQ(trap->Oids[0], L"1.3.6.1.4.1.884.2.10.6.1.0");
    EXPECT_EQ(trap->Oids[1], L"1.3.6.1.4.1.884.2.10.6.2.0");
    if (c.varbind) {
      EXPECT_EQ(trap->Oids[2], c.varbind);
      EXPECT_NE(trap->Values[2].find(c.object), std::wstring::npos) << trap->Values[2];
    }
    EXPECT_TRUE(agent.IsRebuildNeeded());
  }
}

TEST_F(ClusterAgentTest, ARequestAfterAChangeRebuildsOnceAndAnswersTheNewState) {
  StartConnected();
  agent.OnPreSnmpQuery(SNMP_PDU_GET, nullptr, nullptr, nullptr);
  EXPECT_FALSE(agent.IsRebuildNeeded());
  ASSERT_EQ(sim.Control({"node", "down", "FS-NODE1"}), 0);
  ASSERT_TRUE(WaitForTrap(925).has_value());
  EXPECT_TRUE(agent.IsRebuildNeeded());
  agent.OnPreSnmpQuery(SNMP_PDU_GET, nullptr, nullptr, nullptr);
  EXPECT_FALSE(agent.IsRebuildNeeded());

  SnmpVarBind varbind = EmptyVarBind();
  TextToOid(L".1.3.6.1.4.1.884.2.10.2.9.1.3.2.1.3.1", &varbind.name);
  SNMPSTATUS status = -1;
  ASSERT_TRUE(agent.GetMibTree().MibGetVarbind(&varbind, SNMP_PDU_GET, &status, nullptr));
  EXPECT_EQ(varbind.value.asnValue.number, 3);
  SnmpUtilVarBindFree(&varbind);
}

TEST_F(ClusterAgentTest, RequestsDuringARebuildWaitForItAndDoNotRebuildAgain) {
  StartConnected();
  agent.OnPreSnmpQuery(SNMP_PDU_GET, nullptr, nullptr, nullptr);
  ASSERT_EQ(sim.Control({"node", "down", "FS-NODE1"}), 0);
  ASSERT_TRUE(WaitForTrap(925).has_value());
  WaitUntilQuiet();
  const DWORD buildsBefore = agent.BuildCount();
  std::atomic<int> built{0};
  std::vector<std::thread> requests;
  const size_t before = agent.GetMibTree().Size();
  for (int i = 0; i < 4; ++i) {
    requests.emplace_back([&] {
      agent.OnPreSnmpQuery(SNMP_PDU_GETNEXT, nullptr, nullptr, nullptr);
      if (!agent.IsRebuildNeeded()) ++built;
    });
  }
  for (auto& request : requests) request.join();
  EXPECT_EQ(built.load(), 4);
  EXPECT_EQ(agent.GetMibTree().Size(), before);
  EXPECT_EQ(agent.BuildCount(), buildsBefore + 1);
}

TEST_F(ClusterAgentTest, LossAndReturnOfTheClusterService) {
  EXPECT_EQ(CTestClusterAgent().ConnectRetry(), 20u);
  EXPECT_EQ(CClusterAgent::kNotifyNameLength, 1024u);
  // Installed (its key exists) but not running: eleven failures pass, the twelfth is 810.
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  sim.Stop();
  ASSERT_TRUE(agent.InitializeMib());
  const auto lost = WaitForTrap(810);
  ASSERT_TRUE(lost.has_value());
  EXPECT_EQ(lost->Oids.size(), 2u);
  EXPECT_EQ(seen, std::vector<DWORD>{810});
  EXPECT_EQ(agent.GetLastAgentStatus(), 2u);
  Sleep(200);  // more failures: silence
  EXPECT_FALSE(agent.NextTrap().has_value());

  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  ASSERT_TRUE(WaitForTrap(811).has_value());
  ASSERT_TRUE(WaitForAccess(1));
  EXPECT_EQ(agent.GetLastAgentStatus(), 1u);

  // A running service killed, then back.
  kill(sim.Pid(), SIGKILL);
  ASSERT_TRUE(WaitForTrap(812).has_value());
  sim.Stop();
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  ASSERT_TRUE(WaitForTrap(811).has_value());

  // Stopped through clussim, then started.
  ASSERT_EQ(sim.Control({"service", "stop"}), 0);
  ASSERT_TRUE(WaitForTrap(812).has_value());
  ASSERT_EQ(sim.Control({"service", "start"}), 0);
  ASSERT_TRUE(WaitForTrap(811).has_value());
}

TEST_F(ClusterAgentTest, MarksInTheRegistry) {
  const std::wstring common = agent.GetCommonRoot();
  CRegKey installed;  // as the installation seed creates it
  ASSERT_EQ(fw::agent::CreateKeyForWrite(HKEY_LOCAL_MACHINE, common + L"\\Brennik_MIB", REG_OPTION_NON_VOLATILE,
                                         installed),
            ERROR_SUCCESS);
  StartConnected();
  std::wstring address;
  EXPECT_TRUE(fw::agent::ReadStringValue(common + L"\\Brennik_MIB\\Parameters\\VolatileParameters",
                                         L"ClusterIPAddress", address));
  EXPECT_EQ(address, L"192.168.10.10");
  ASSERT_EQ(sim.Control({"group", "offline", "Files"}), 0);
  ASSERT_TRUE(WaitForTrap(931).has_value());
  CRegKey key;
  ASSERT_EQ(fw::agent::OpenKeyForRead(agent.GetAgentKey() + L"\\" + kConfigChangeSubkey, key), ERROR_SUCCESS);
  ULONGLONG time = 0;
  DWORD size = sizeof time;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExW(key.Get(), L"Time", nullptr, &type, reinterpret_cast<BYTE*>(&time), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
  EXPECT_GT(time, 0u);
}

TEST_F(ClusterAgentTest, ANotificationFilterOfZeroStillWatchesTheCluster) {
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  CRegKey parameters;
  ASSERT_EQ(fw::agent::CreateKeyForWrite(HKEY_LOCAL_MACHINE, agent.GetAgentKey() + L"\\Parameters",
                                         REG_OPTION_NON_VOLATILE, parameters),
            ERROR_SUCCESS);
  ASSERT_TRUE(fw::agent::WriteDwordValue(parameters.Get(), L"Notification Filter", 0));
  ASSERT_TRUE(agent.InitializeMib());
  ASSERT_TRUE(WaitForAccess(1));
  Sleep(100);
  ASSERT_EQ(sim.Control({"node", "down", "FS-NODE1"}), 0);
  ASSERT_EQ(sim.Control({"service", "stop"}), 0);  // the cluster state still arrives
  ASSERT_TRUE(WaitForTrap(812).has_value());
  EXPECT_EQ(seen, std::vector<DWORD>{812});
  RegDeleteValueW(parameters.Get(), L"Notification Filter");
}

TEST_F(ClusterAgentTest, AnOverlongObjectNameMakesTheWatcherReconnect) {
  StartConnected();
  const std::string longName(CClusterAgent::kNotifyNameLength + 10, 'N');
  ASSERT_EQ(sim.Control({"add", "group", longName}), 0);
  // Changes made while the watcher reconnects are not seen: try until one is.
  bool seenAfterReconnect = false;
  for (int attempt = 0; attempt < 20 && !seenAfterReconnect; ++attempt) {
    ASSERT_EQ(sim.Control({"group", attempt % 2 ? "online" : "offline", "Files"}), 0);
    seenAfterReconnect = WaitForTrap(attempt % 2 ? 928 : 931, 500).has_value();
  }
  EXPECT_TRUE(seenAfterReconnect);
  EXPECT_EQ(agent.GetClusterAccessState(), 1);
}

TEST_F(ClusterAgentTest, CloseMibEndsTheWatcherDuringItsWaitForTheService) {
  agent.SetConnectRetry(60000);
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  sim.Stop();
  ASSERT_TRUE(agent.InitializeMib());
  Sleep(200);  // in its 60-second wait
  const auto start = std::chrono::steady_clock::now();
  g_bShutdown = true;
  agent.CloseMib();
  EXPECT_TRUE(agent.WaitForWatcher(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(ClusterAgentTest, CloseMibEndsTheWatcherDuringItsWaitForNotifications) {
  StartConnected();
  ASSERT_EQ(sim.Control({"node", "pause", "FS-NODE2"}), 0);
  ASSERT_TRUE(WaitForTrap(926).has_value());
  Sleep(200);  // back in its three-hour wait on the notification port
  const auto start = std::chrono::steady_clock::now();
  g_bShutdown = true;
  agent.CloseMib();
  EXPECT_TRUE(agent.WaitForWatcher(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace

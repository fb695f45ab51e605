// The cluster agent beside a cluster service that stops answering (SIGSTOP): every call
// ends after the layer's call timeout, a build ends, nothing crashes or wedges, and once
// the service answers again a change reaches the trap queue. Its own executable: the
// call timeout is read when a connection is made, and no connection may predate it.
#include "cluster_agent.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>

#include "cluster_simulator.h"
#include "detached_tarn_client.h"
#include "snmp_value.h"

namespace {

using clustersim::testing::ClusterSimulator;

class CHangTestAgent : public CClusterAgent {
 public:
  CHangTestAgent() {
    ReplaceTarnClient(std::make_unique<fw::testing::CDetachedTarnClient>(m_TarnEvents));
    m_ProductKeyName = L"Vornekt SNMP Agents";
    m_dwConnectRetryMs = 20;
    m_dwCloseGraceMs = 10;
  }
  bool NextTrapIs(DWORD number) {
    AsnObjectIdentifier enterprise{};
    AsnInteger32 specific = 0;
    SnmpVarBindList varbinds{};
    if (!ResolveTrap(&enterprise, &specific, &varbinds)) return false;
    SnmpUtilOidFree(&enterprise);
    SnmpUtilVarBindListFree(&varbinds);
    return static_cast<DWORD>(specific) == number;
  }
};

TEST(ClusterAgentWithAHungService, CallsEndAfterTheTimeoutAndTheAgentRecovers) {
  setenv("WINAPI_CLUSTER_TIMEOUT_MS", "300", 1);
  g_AgentName = L"Ferrowind_MIB";
  g_bShutdown = false;
  ClusterSimulator sim;
  const std::string scenario = sim.Directory() + "/small.json";
  std::ofstream(scenario) << R"({ "cluster": { "name": "SMALL" }, "nodes": [ { "name": "N1" } ],
    "groups": [ { "name": "G", "owner": "N1" } ] })";
  ASSERT_TRUE(sim.Start(scenario));
  CHangTestAgent agent;
  ASSERT_TRUE(agent.InitializeMib());
  const ULONGLONG connected = GetTickCount64() + 10000;
  while ((agent.GetClusterAccessState() != 1 || !agent.GetCluster().GetNotifyPort()) && GetTickCount64() < connected) {
    Sleep(5);
  }
  ASSERT_EQ(agent.GetClusterAccessState(), 1);

  kill(sim.Pid(), SIGSTOP);
  const auto began = std::chrono::steady_clock::now();
  agent.BuildMib();  // every read times out; the build still ends
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_GE(agent.GetMibTree().Size(), 3u);
  kill(sim.Pid(), SIGCONT);

  // Once the service answers again, a change is seen and raises its trap.
  bool seen = false;
  for (int attempt = 0; attempt < 20 && !seen; ++attempt) {
    ASSERT_EQ(sim.Control({"group", attempt % 2 ? "online" : "offline", "G"}), 0);
    const ULONGLONG deadline = GetTickCount64() + 500;
    while (!seen && GetTickCount64() < deadline) {
      seen = agent.NextTrapIs(attempt % 2 ? 928 : 931);
      Sleep(5);
    }
  }
  EXPECT_TRUE(seen);
  agent.OnPreSnmpQuery(SNMP_PDU_GET, nullptr, nullptr, nullptr);
  EXPECT_FALSE(agent.IsRebuildNeeded()) << "a build after the service came back succeeds";

  g_bShutdown = true;
  agent.CloseMib();
  EXPECT_TRUE(agent.WaitForWatcher(5000));
}

}  // namespace

// The cluster agent beside a cluster service that stops answering (SIGSTOP) or answers
// garbage: every call ends (after the layer's call timeout at worst), a build ends,
// nothing crashes or wedges, and once the service answers again a change reaches the
// trap queue and a build equals a fresh one. Its own executable: the call timeout is
// read when a connection is made, and no connection may predate it.
#include "cluster_agent.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cluster_simulator.h"
#include "detached_tarn_client.h"
#include "garbling_proxy.h"
#include "mib_tree_dump.h"
#include "snmp_value.h"

namespace {

using clustersim::testing::ClusterSimulator;
using clustersim::testing::GarblingProxy;

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

// Starts a one-node cluster behind an optional proxy and an agent connected to it.
class FaultyServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("WINAPI_CLUSTER_TIMEOUT_MS", "300", 1);
    g_AgentName = L"Ferrowind_MIB";
    g_bShutdown = false;
    scenario_ = sim_.Directory() + "/small.json";
    std::ofstream(scenario_) << R"({ "cluster": { "name": "SMALL" }, "nodes": [ { "name": "N1" } ],
      "groups": [ { "name": "G", "owner": "N1" } ],
      "resources": [ { "name": "R", "group": "G", "type": "Generic Service" } ] })";
    ASSERT_TRUE(sim_.Start(scenario_));
  }
  void TearDown() override {
    g_bShutdown = true;
    agent_.reset();
    proxy_.reset();
  }

  void PutProxyInFront() {
    proxy_ = std::make_unique<GarblingProxy>(sim_.Directory() + "/proxy.sock", sim_.Directory() + "/clussvc.sock");
    ASSERT_TRUE(proxy_->Listening());
    setenv("WINAPI_CLUSTER_SOCKET", (sim_.Directory() + "/proxy.sock").c_str(), 1);
  }

  // The watcher opens the cluster after InitializeMib returns; builds before that see none.
  static void WaitUntilConnected(CHangTestAgent& agent) {
    const ULONGLONG connected = GetTickCount64() + 10000;
    while ((agent.GetClusterAccessState() != 1 || !agent.GetCluster().GetNotifyPort()) &&
           GetTickCount64() < connected) {
      Sleep(5);
    }
    ASSERT_EQ(agent.GetClusterAccessState(), 1);
  }

  void StartAgent() {
    agent_ = std::make_unique<CHangTestAgent>();
    ASSERT_TRUE(agent_->InitializeMib());
    WaitUntilConnected(*agent_);
  }

  // Once the service answers again, a change is seen and raises its trap, and the next
  // request's build succeeds.
  void ExpectRecovery() {
    bool seen = false;
    for (int attempt = 0; attempt < 20 && !seen; ++attempt) {
      ASSERT_EQ(sim_.Control({"group", attempt % 2 ? "online" : "offline", "G"}), 0);
      const ULONGLONG deadline = GetTickCount64() + 500;
      while (!seen && GetTickCount64() < deadline) {
        seen = agent_->NextTrapIs(attempt % 2 ? 928 : 931);
        Sleep(5);
      }
    }
    EXPECT_TRUE(seen);
    agent_->OnPreSnmpQuery(SNMP_PDU_GET, nullptr, nullptr, nullptr);
    EXPECT_FALSE(agent_->IsRebuildNeeded()) << "a build after the service came back succeeds";
  }

  void StopAgent() {
    g_bShutdown = true;
    agent_->CloseMib();
    EXPECT_TRUE(agent_->WaitForWatcher(5000));
  }

  ClusterSimulator sim_;
  std::string scenario_;
  std::unique_ptr<GarblingProxy> proxy_;
  std::unique_ptr<CHangTestAgent> agent_;
};

TEST_F(FaultyServiceTest, AHungServiceEndsEveryCallAfterTheTimeoutAndTheAgentRecovers) {
  StartAgent();
  kill(sim_.Pid(), SIGSTOP);
  const auto began = std::chrono::steady_clock::now();
  agent_->BuildMib();  // every read times out; the build still ends
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_GE(agent_->GetMibTree().Size(), 3u);
  kill(sim_.Pid(), SIGCONT);
  ExpectRecovery();
  StopAgent();
}

TEST_F(FaultyServiceTest, GarbageFromTheServiceNeverCrashesOrWedgesTheAgent) {
  CHangTestAgent reference;
  ASSERT_TRUE(reference.InitializeMib());
  WaitUntilConnected(reference);
  ASSERT_TRUE(reference.BuildMib());
  const auto fresh = DumpTree(reference.GetMibTree());
  g_bShutdown = true;
  reference.CloseMib();
  ASSERT_TRUE(reference.WaitForWatcher(5000));
  g_bShutdown = false;

  PutProxyInFront();
  StartAgent();
  struct Garbage {
    const char* what;
    std::string line;
    bool terminated;
  };
  const std::vector<Garbage> answers = {
      {"not JSON", "<html>502 Bad Gateway</html>", true},
      {"an empty line", "", true},
      {"a JSON array", "[1,2,3]", true},
      {"another version", R"({"v":2,"status":0,"id":1})", true},
      {"no status", R"({"v":1})", true},
      {"a status of the wrong type", R"({"v":1,"status":"0"})", true},
      {"success without the answer's members", R"({"v":1,"status":0})", true},
      {"members of the wrong types",
       R"({"v":1,"status":0,"id":"x","state":[],"items":{},"data":7,"name":1,"node":{},"path":null})", true},
      {"items of the wrong shape", R"({"v":1,"status":0,"id":1,"items":[[1,2],["node"],{},"x",[9,"N1"]]})", true},
      {"data that is not hex", R"({"v":1,"status":0,"id":1,"data":"zz0"})", true},
      {"a property list cut short", R"({"v":1,"status":0,"id":1,"data":"0300000001000000"})", true},
      {"a property list claiming huge lengths", R"({"v":1,"status":0,"id":1,"data":"02000000030001000000ffff41004100"})",
       true},
      {"an error status", R"({"v":1,"status":5})", true},
      {"bytes that are not UTF-8", std::string("{\"v\":1,\"status\":0,\"id\":1,\"name\":\"\xff\xfe\xc0\x80\"}"), true},
      {"half a line, then silence", R"({"v":1,"sta)", false},
      {"a line longer than the protocol allows", std::string(17u << 20, 'x'), true},
  };
  for (const auto& garbage : answers) {
    SCOPED_TRACE(garbage.what);
    proxy_->ReplaceLines(garbage.line, garbage.terminated);
    const auto began = std::chrono::steady_clock::now();
    const bool built = agent_->BuildMib();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
    EXPECT_GE(agent_->GetMibTree().Size(), 3u) << "the version objects stay";
    EXPECT_FALSE(built && DumpTree(agent_->GetMibTree()) == fresh) << "the garbage reached the agent";
  }
  proxy_->ReplaceLines(std::nullopt);

  // Made-up events on the notification connection: the watcher takes or drops them.
  const std::vector<std::string> events = {
      "garbage",
      R"({"v":1,"event":"4096","name":"G"})",
      R"({"v":1,"event":4096})",
      R"({"v":2,"event":4096,"name":"G"})",
      R"({"v":1,"event":4294967295,"name":"G"})",
      R"({"v":1,"event":18446744073709551615,"name":"G"})",
      R"({"v":1,"event":4096,"name":")" + std::string(100000, 'G') + "\"}",
      "{\"v\":1,\"event\":4096,\"name\":\"\xff\xfe\"}",
  };
  for (const auto& event : events) proxy_->InjectEvent(event);

  ExpectRecovery();
  agent_->BuildMib();
  proxy_->ReplaceLines(std::nullopt);
  ASSERT_EQ(sim_.Control({"group", "online", "G"}), 0);  // the state the reference saw
  agent_->BuildMib();
  EXPECT_EQ(DumpTree(agent_->GetMibTree()), fresh) << "a build after the garbage equals a fresh one";
  StopAgent();
}

}  // namespace

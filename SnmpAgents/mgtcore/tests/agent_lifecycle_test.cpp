// The agent's main thread against a running mgtcore: attach retries, serving, the
// service's settings and events, restart after a power-state event, stops during every
// wait, and a main thread stuck in its teardown. The trace file shows what happened.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "debug_trace.h"
#include "management_settings.h"
#include "mgtcore_process.h"
#include "request_builder.h"
#include "test_agent.h"
#include "trace_test_support.h"

namespace {

using namespace mgtcore_test;
using fw::testing::CTestAgent;
using fw::testing::kTestRegion;
using fw::testing::RequestList;

constexpr wchar_t kAgent[] = L"LifecycleAgent";

class AgentLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    std::remove(PidFile().c_str());
    g_AgentName = kAgent;
    ASSERT_TRUE(m_trace.Active());
  }

  std::wstring Trace() const { return m_trace.Text(); }
  size_t Count(const std::wstring& text) const {
    const std::wstring trace = Trace();
    size_t count = 0;
    for (size_t at = trace.find(text); at != std::wstring::npos; at = trace.find(text, at + text.size())) ++count;
    return count;
  }
  bool TraceShows(const std::wstring& text, std::chrono::milliseconds limit = 10000ms, size_t times = 1) const {
    return WaitUntil([&] { return Count(text) >= times; }, limit);
  }
  // The state words in the order the agent wrote them.
  std::wstring StateWords() const {
    const std::wstring trace = Trace(), marker = L"Status changed to: ";
    std::wstring words;
    for (size_t at = trace.find(marker); at != std::wstring::npos; at = trace.find(marker, at + 1)) {
      const size_t begin = at + marker.size();
      words += (words.empty() ? L"" : L",") + trace.substr(begin, trace.find(L" (", begin) - begin);
    }
    return words;
  }

  static AsnInteger32 GetStatus(CTestAgent& agent) {
    RequestList request({std::wstring(kTestRegion).substr(1) + L".2.0"});
    AsnInteger32 status = -1, index = -1;
    agent.SnmpQuery(SNMP_PDU_GET, &request.list, &status, &index);
    return status;
  }
  static bool Start(CTestAgent& agent) {
    HANDLE trapEvent = nullptr;
    return agent.SnmpInit(0, &trapEvent, nullptr);
  }

  MgtCore m_service;
  fw::diag::testing::ProcessTraceFile m_trace{L"FwLifecycle", 3};
};

TEST_F(AgentLifecycle, AttachIsRetriedUntilTheServiceRunsAndNothingIsServedMeanwhile) {
  CTestAgent agent(true, CTestAgent::Service::MgtCore);
  agent.SetAttachRetryMs(200);
  ASSERT_TRUE(Start(agent));
  ASSERT_TRUE(TraceShows(L"Start TARN connect retry", 10000ms, 2));
  EXPECT_NE(Trace().find(L"## ERROR 0x80010109! TARN client attach FAILED!"), std::wstring::npos);
  EXPECT_EQ(GetStatus(agent), SNMP_ERRORSTATUS_NOSUCHNAME) << "no request before the attach";
  EXPECT_EQ(agent.initializeCalls, 0);
  EXPECT_EQ(agent.GetLastAgentState(), static_cast<DWORD>(AGENT_STATE_STARTING));

  ASSERT_TRUE(m_service.Start()) << "see " << StateDir() << "/mgtcore.log";
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  EXPECT_EQ(GetStatus(agent), SNMP_ERRORSTATUS_NOERROR);
  // The five settings come from the service's configuration.
  EXPECT_TRUE(g_ManagementSettings.ShutdownIsAllowed.load());
  EXPECT_TRUE(g_ManagementSettings.SetAllowed.load());
  EXPECT_FALSE(g_ManagementSettings.DoAccountCheck.load());
  EXPECT_EQ(g_ManagementSettings.Trap2EventLog.load(), 4);
  EXPECT_EQ(g_ManagementSettings.TrapToAdminAlert.load(), 2);

  EXPECT_TRUE(agent.StopAgent());
  EXPECT_EQ(agent.initializeCalls, 1);
  EXPECT_EQ(agent.closeCalls, 1);
  EXPECT_EQ(GetStatus(agent), SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_TRUE(WaitUntil([] { return ServiceStatus().find("clients=1\"") != std::string::npos; }))
      << "the agent detached; only mgtctl's own object is left: " << ServiceStatus();
  EXPECT_EQ(StateWords().substr(StateWords().rfind(L"starting")), L"starting,started,stopping,stopped");
}

// The real retry interval, and a stop during the retry wait.
TEST_F(AgentLifecycle, AttachRetryWaitsFifteenSecondsAndAStopEndsTheWait) {
  CTestAgent agent(true, CTestAgent::Service::MgtCore);
  ASSERT_TRUE(Start(agent));
  ASSERT_TRUE(TraceShows(L"Retry TARN connect in 15 seconds"));
  const auto waitBegan = Clock::now();
  ASSERT_TRUE(TraceShows(L"Start TARN connect retry", 20000ms));
  const auto waited = Clock::now() - waitBegan;
  EXPECT_GE(waited, 14500ms);
  EXPECT_LE(waited, 17000ms);

  ASSERT_TRUE(TraceShows(L"Retry TARN connect in 15 seconds", 5000ms, 2));
  const auto stopBegan = Clock::now();
  EXPECT_TRUE(agent.StopAgent());
  EXPECT_LT(Clock::now() - stopBegan, 3000ms) << "the stop ends the retry wait at once";
  EXPECT_EQ(Count(L"Agent shutdown signaled - TARN connect retry aborted!"), 1u);
  EXPECT_EQ(Count(L"Start TARN connect retry"), 1u);
  EXPECT_EQ(agent.initializeCalls, 0);
}

TEST_F(AgentLifecycle, ServiceEventsChangeTheSettingsWhileServing) {
  ASSERT_TRUE(m_service.Start());
  CTestAgent agent(true, CTestAgent::Service::MgtCore);
  ASSERT_TRUE(Start(agent));
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  ASSERT_TRUE(TraceShows(L"...RELAY events enabled!"));
  ASSERT_EQ(Mgtctl({"set", "Trap2EventLog", "6"}), 0);
  EXPECT_TRUE(WaitUntil([] { return g_ManagementSettings.Trap2EventLog.load() == 6; }));
  ASSERT_EQ(Mgtctl({"set", "SetAllowed", "0", "--cmd"}), 0);
  EXPECT_TRUE(WaitUntil([] { return !g_ManagementSettings.SetAllowed.load(); }));
  EXPECT_TRUE(agent.StopAgent());
}

TEST_F(AgentLifecycle, PowerStateEventRestartsAfterSixtySecondsAndAStopAbortsTheRestart) {
  ASSERT_TRUE(m_service.Start());
  CTestAgent agent(true, CTestAgent::Service::MgtCore);
  ASSERT_TRUE(Start(agent));
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  ASSERT_TRUE(TraceShows(L"...RELAY events enabled!"));

  ASSERT_EQ(Mgtctl({"power", "1"}), 0);
  ASSERT_TRUE(TraceShows(L"Agent will internally restart in 60 seconds"));
  EXPECT_EQ(Count(L"Restart agent in 60 seconds .."), 1u);
  EXPECT_EQ(agent.closeCalls, 1);
  EXPECT_EQ(GetStatus(agent), SNMP_ERRORSTATUS_NOSUCHNAME) << "nothing is served during the delay";
  EXPECT_EQ(agent.GetLastAgentState(), static_cast<DWORD>(AGENT_STATE_STOPPED));
  EXPECT_TRUE(WaitUntil([] { return ServiceStatus().find("clients=1\"") != std::string::npos; }))
      << "the client detached for the delay: " << ServiceStatus();

  const auto stopBegan = Clock::now();
  EXPECT_TRUE(agent.StopAgent());
  EXPECT_LT(Clock::now() - stopBegan, 3000ms);
  EXPECT_EQ(Count(L"Agent shutdown signaled - restart aborted!"), 1u);
  EXPECT_EQ(agent.initializeCalls, 1) << "not started again";
  EXPECT_FALSE(agent.RestartAgent(10)) << "the main thread has ended";
}

TEST_F(AgentLifecycle, RestartAttachesAfreshAndServesAgain) {
  ASSERT_TRUE(m_service.Start());
  CTestAgent agent(true, CTestAgent::Service::MgtCore);
  ASSERT_TRUE(Start(agent));
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  const uint64_t firstPass = RequestsServed();
  ASSERT_TRUE(agent.RestartAgent(300));
  ASSERT_TRUE(WaitUntil([&] { return agent.initializeCalls == 2; }));
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  EXPECT_EQ(GetStatus(agent), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_TRUE(WaitUntil([&] { return RequestsServed() >= firstPass + 10; }))
      << "the new pass read the five settings twice again";
  EXPECT_TRUE(agent.StopAgent());
  EXPECT_EQ(Count(L"Initiate agent restart"), 1u);
  EXPECT_EQ(agent.closeCalls, 2);
}

// A stop while the configuration checks wait on a slow service: the calls are
// cancelled, InitializeMib is skipped, the teardown still runs.
TEST_F(AgentLifecycle, StopDuringTheConfigurationChecksSkipsInitializeMib) {
  ASSERT_TRUE(m_service.Start());
  ASSERT_EQ(Mgtctl({"slow", "3000"}), 0);
  CTestAgent agent(true, CTestAgent::Service::MgtCore);
  ASSERT_TRUE(Start(agent));
  ASSERT_TRUE(TraceShows(L"Running SNMP agent configuration checks"));
  const auto stopBegan = Clock::now();
  EXPECT_TRUE(agent.StopAgent());
  EXPECT_LT(Clock::now() - stopBegan, 5000ms) << "cancelled calls return at once";
  EXPECT_EQ(agent.initializeCalls, 0);
  EXPECT_EQ(agent.closeCalls, 1);
  EXPECT_EQ(Count(L"Agent's InitializeMib() not called - agent shutdown in progress!"), 1u);
  EXPECT_EQ(Count(L"SNMP requests now enabled"), 0u);
  Mgtctl({"slow", "0"});
}

TEST_F(AgentLifecycle, MainThreadStuckInCloseMibIsGivenUpAfterTheStopWait) {
  CTestAgent agent;
  agent.SetStopWaitMs(500);
  HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  agent.closeMibGate = gate;
  ASSERT_TRUE(Start(agent));
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  const auto stopBegan = Clock::now();
  EXPECT_TRUE(agent.StopAgent());
  EXPECT_LT(Clock::now() - stopBegan, 5000ms);
  EXPECT_EQ(Count(L"ERROR! Agent main thread did not terminate within 30 seconds! Thread is being killed!"), 1u);
  EXPECT_FALSE(agent.RestartAgent(10)) << "no main thread any more";
  // The layer cannot end a thread from outside: let it finish before the agent goes.
  SetEvent(gate);
  EXPECT_TRUE(TraceShows(L"*** EXIT THREAD Thread_AgentMain() ***"));
  CloseHandle(gate);
}

}  // namespace

// The agent object's life: regions, initialisation and its failure, main thread start,
// stop and restart, and the trap queue from CreateTrap to the service's fetch.
#include "snmp_agent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "request_builder.h"
#include "test_agent.h"

namespace {

using fw::testing::CTestAgent;
using fw::testing::kTestRegion;
using fw::testing::Addr;
using fw::testing::RequestList;

std::wstring Text(const AsnObjectIdentifier& oid) {
  std::wstring text;
  return OidToText(text, &oid);
}

TEST(AgentRegions, InitHandsOutTheFirstRegionAndInitExTheOthers) {
  CTestAgent agent;
  ASSERT_TRUE(agent.AddMibRegion(L"1.3.6.1.4.1.884.3", L"second"));
  EXPECT_FALSE(agent.AddMibRegion(L"5", nullptr)) << "a single number is no OID";
  EXPECT_EQ(agent.GetMibRegions().len, 2u);

  HANDLE trapEvent = nullptr;
  UINT stale[] = {9, 9, 9};
  AsnObjectIdentifier view{};
  AsnObjectIdentifier seed{3, stale};
  SnmpUtilOidCpy(&view, &seed);  // the previous content is freed, not leaked
  ASSERT_TRUE(agent.SnmpInit(1234, &trapEvent, &view));
  EXPECT_NE(trapEvent, nullptr);
  EXPECT_EQ(Text(view), std::wstring(kTestRegion).substr(1));
  ASSERT_TRUE(agent.SnmpInitEx(&view));
  EXPECT_EQ(Text(view), L"1.3.6.1.4.1.884.3");
  AsnObjectIdentifier none{};
  EXPECT_FALSE(agent.SnmpInitEx(&none));
  EXPECT_EQ(none.idLength, 0u);
  SnmpUtilOidFree(&view);
  // Serving first: a stop during the configuration checks rightly skips InitializeMib
  // but still closes the MIB.
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  EXPECT_TRUE(agent.StopAgent());
  EXPECT_EQ(agent.initializeCalls, agent.closeCalls) << "every initialised MIB is closed";
}

TEST(AgentRegions, MissingRegionFailsInitWithTheExceptionState) {
  CTestAgent agent(false);
  HANDLE trapEvent = nullptr;
  AsnObjectIdentifier view{};
  EXPECT_FALSE(agent.SnmpInit(0, &trapEvent, &view));
  EXPECT_EQ(agent.GetLastAgentState(), static_cast<DWORD>(AGENT_STATE_EXCEPTION_INIT));
  EXPECT_EQ(agent.GetLastAgentStatus(), 4u);
  EXPECT_EQ(view.idLength, 0u);
  EXPECT_EQ(agent.initializeCalls, 0);
}

TEST(AgentStateWords, CodesMapToTheirWords) {
  EXPECT_STREQ(AgentStateWord(AGENT_STATE_LOADED), L"loaded");
  EXPECT_STREQ(AgentStateWord(AGENT_STATE_EXCEPTION_QUERY), L"exception (SnmpExtensionQuery)");
  EXPECT_STREQ(AgentStateWord(9), L"unknown");
  EXPECT_STREQ(AgentStateWord(16), L"unknown");
}

TEST(AgentMainThread, RestartServesAgainAndStopDuringTheDelayAborts) {
  CTestAgent agent;
  HANDLE trapEvent = nullptr;
  ASSERT_TRUE(agent.SnmpInit(0, &trapEvent, nullptr));
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  ASSERT_TRUE(agent.RestartAgent(50));
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (agent.initializeCalls < 2 && GetTickCount64() < deadline) Sleep(1);
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  EXPECT_EQ(agent.initializeCalls, 2);
  EXPECT_EQ(agent.closeCalls, 1);
  RequestList request({std::wstring(kTestRegion).substr(1) + L".2.0"});
  AsnInteger32 status = -1, index = -1;
  agent.SnmpQuery(SNMP_PDU_GET, &request.list, &status, &index);
  EXPECT_EQ(status, 0) << "the MIB was built again";

  ASSERT_TRUE(agent.RestartAgent(60000));
  const ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(agent.StopAgent());
  EXPECT_LT(GetTickCount64() - start, 10000u) << "the stop ends the restart wait";
  EXPECT_EQ(agent.initializeCalls, 2);
  EXPECT_FALSE(agent.RestartAgent(10)) << "no main thread any more";
  EXPECT_FALSE(agent.AreRequestsEnabled());
}

// A client whose attach is overtaken by a stop: the shutdown is already signalled when
// the main thread checks right after the attach.
class CStopDuringAttachClient final : public CTarnClient {
 public:
  explicit CStopDuringAttachClient(CTestAgent& agent) : CTarnClient(agent.TarnEvents()), m_agent(agent) {}
  using CTarnClient::Request;
  bool Attach() override {
    m_agent.SignalShutdown();
    return true;
  }
  bool Detach() override {
    ++detaches;
    return true;
  }
  bool EnableEvents(bool, bool) override { return true; }
  LONG Request(Tarn& record, DWORD) override {
    ++requests;
    record.Set(L"ST", 6);
    return 6;
  }
  std::atomic<int> detaches{0}, requests{0};

 private:
  CTestAgent& m_agent;
};

TEST(AgentMainThread, ShutdownRightAfterAttachSkipsTheMibButDetaches) {
  CTestAgent agent;
  auto owned = std::make_unique<CStopDuringAttachClient>(agent);
  CStopDuringAttachClient& client = *owned;
  agent.UseTarnClient(std::move(owned));
  HANDLE trapEvent = nullptr;
  ASSERT_TRUE(agent.SnmpInit(0, &trapEvent, nullptr));
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (client.detaches == 0 && GetTickCount64() < deadline) Sleep(1);
  EXPECT_TRUE(agent.StopAgent());
  EXPECT_EQ(client.detaches, 1);
  EXPECT_EQ(client.requests, 0) << "no configuration checks";
  EXPECT_EQ(agent.initializeCalls, 0);
  EXPECT_EQ(agent.closeCalls, 0);
  EXPECT_NE(agent.GetLastAgentState(), static_cast<DWORD>(AGENT_STATE_STARTED));
  EXPECT_FALSE(agent.AreRequestsEnabled());
}

class TrapQueue : public ::testing::Test {
 protected:
  struct Fetched {
    bool result;
    AsnObjectIdentifier enterprise{};
    AsnInteger32 generic = -1, specific = -1;
    AsnTimeticks stamp = 0;
    SnmpVarBindList varbinds{};
  };
  Fetched Fetch() {
    Fetched f{};
    f.result = agent.SnmpTrap(&f.enterprise, &f.generic, &f.specific, &f.stamp, &f.varbinds);
    return f;
  }
  static void Free(Fetched& f) {
    SnmpUtilOidFree(&f.enterprise);
    SnmpUtilVarBindListFree(&f.varbinds);
  }
  CTestAgent agent;
};

TEST_F(TrapQueue, DeliveredOldestFirstThenEmpty) {
  Fetched none = Fetch();
  EXPECT_FALSE(none.result) << "nothing before the first CreateTrap";
  EXPECT_EQ(none.varbinds.len, 0u);

  RequestList varbinds({L"1.3.6.1.4.1.884.1", L"1.3.6.1.4.1.884.2"});
  SetValueText(&varbinds[0], L"node1", ASN_OCTETSTRING);
  SetValueNumber(&varbinds[1], 3, ASN_INTEGER);  // every trap varbind has a value (Wine copies no NULL)
  EXPECT_TRUE(agent.CreateTrap(L".1.3.6.1.4.1.884", 925, &varbinds.list));
  EXPECT_TRUE(agent.CreateTrap(L".1.3.6.1.4.1.884", 926, nullptr));
  EXPECT_TRUE(agent.CreateTrap(L".1.3.6.1.4.1.884", 927, &varbinds.list));
  EXPECT_EQ(WaitForSingleObject(agent.GetTrapEvent(), 0), WAIT_OBJECT_0);

  const AsnInteger32 expected[] = {925, 926, 927};
  const UINT counts[] = {2, 0, 2};
  for (int i = 0; i < 3; ++i) {
    Fetched trap = Fetch();
    ASSERT_TRUE(trap.result) << i;
    EXPECT_EQ(trap.specific, expected[i]);
    EXPECT_EQ(trap.generic, SNMP_GENERICTRAP_ENTERSPECIFIC);
    EXPECT_EQ(Text(trap.enterprise), L"1.3.6.1.4.1.884");
    EXPECT_EQ(trap.varbinds.len, counts[i]);
    Free(trap);
  }
  Fetched last = Fetch();
  EXPECT_FALSE(last.result);
  EXPECT_EQ(last.enterprise.idLength, 0u);
  EXPECT_EQ(Addr(last.varbinds.list), nullptr);
  // The producer kept its own list.
  std::wstring text;
  EXPECT_EQ(std::wstring(ValueToText(text, &varbinds[0].value)), L"OctetString: \"node1\"");
}

}  // namespace

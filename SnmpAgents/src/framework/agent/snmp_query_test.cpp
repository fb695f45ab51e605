// Request processing through a running test agent: statuses and 1-based indexes, the
// step out of the region at the end of the MIB, SET phases, bad input and concurrency.
#include "snmp_agent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "request_builder.h"
#include "test_agent.h"

namespace {

using fw::testing::CTestAgent;
using fw::testing::kTestRegion;
using fw::testing::RequestList;

std::wstring R(const wchar_t* suffix) { return std::wstring(kTestRegion).substr(1) + suffix; }
const std::wstring kAfterRegion = L"1.3.6.1.4.1.884.2.10.2.9.2";

class ServingAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    HANDLE trapEvent = nullptr;
    AsnObjectIdentifier view{};
    ASSERT_TRUE(agent.SnmpInit(0, &trapEvent, &view));
    SnmpUtilOidFree(&view);
    ASSERT_TRUE(agent.WaitUntilServing(10000));
  }
  void TearDown() override { agent.StopAgent(); }

  struct Answer {
    bool result;
    AsnInteger32 status, index;
  };
  Answer Query(BYTE type, RequestList& request) {
    Answer answer{false, -1, -1};
    answer.result = agent.SnmpQuery(type, &request.list, &answer.status, &answer.index);
    return answer;
  }

  CTestAgent agent;
};

TEST_F(ServingAgent, EmptyListRunsBothHooks) {
  RequestList request;
  const Answer answer = Query(SNMP_PDU_GET, request);
  EXPECT_TRUE(answer.result);
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.index, 0);
  EXPECT_EQ(agent.preCalls, 1);
  EXPECT_EQ(agent.postCalls, 1);
}

TEST_F(ServingAgent, GetStopsAtTheFirstMissingObject) {
  RequestList request({R(L".1.0"), R(L".1.5"), R(L".2.0")});
  const Answer answer = Query(SNMP_PDU_GET, request);
  EXPECT_TRUE(answer.result);
  EXPECT_EQ(answer.status, SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(answer.index, 2);
  EXPECT_EQ(request.Value(0), L"Integer: -5 (0xFFFFFFFB)");
  EXPECT_EQ(request.Value(2), L"Null") << "the third varbind is untouched";
}

TEST_F(ServingAgent, GetNextCases) {
  struct Case {
    std::wstring request;
    std::wstring expected;
  } const cases[] = {
      {R(L""), R(L".1.0")},
      {R(L".29"), R(L".31.0")},  // the failing object .30.0 is skipped, never reported
      {R(L".31.0"), kAfterRegion},  // past the last object: the first OID after the region
      {R(L".4294967295"), kAfterRegion},
      {L"1.3.6.1.4.1.884.2.10.2.9.7", L"1.3.6.1.4.1.884.2.10.2.9.7"},  // in no region: unchanged
      {L"1.3.6.1.4.1.884.2.10.2.9.4294967295", L"1.3.6.1.4.1.884.2.10.2.9.4294967295"},
  };
  for (const Case& c : cases) {
    RequestList request({c.request});
    SetValueNumber(&request[0], 77, ASN_GAUGE32);
    const Answer answer = Query(SNMP_PDU_GETNEXT, request);
    EXPECT_TRUE(answer.result) << c.request;
    EXPECT_EQ(answer.status, 0) << c.request;
    EXPECT_EQ(answer.index, 0) << c.request;
    EXPECT_EQ(request.Oid(0), c.expected) << c.request;
    if (c.expected == kAfterRegion) {
      EXPECT_EQ(request.Value(0), L"Gauge32: 77 (0x4D)") << "the request's value stays";
    }
  }
}

TEST_F(ServingAgent, WalkVisitsEveryReadableObjectOnceInOrder) {
  RequestList request({R(L"")});
  std::vector<std::wstring> visited;
  for (int guard = 0; guard < 1000; ++guard) {
    const Answer answer = Query(SNMP_PDU_GETNEXT, request);
    ASSERT_EQ(answer.status, 0);
    if (request.Oid(0) == kAfterRegion) break;
    visited.push_back(request.Oid(0));
  }
  EXPECT_EQ(visited.size(), agent.GetMibTree().Size() - 1) << "all but the failing object";
  for (size_t i = 1; i < visited.size(); ++i) EXPECT_NE(visited[i - 1], visited[i]);
  EXPECT_EQ(visited.front(), R(L".1.0"));
  EXPECT_EQ(visited.back(), R(L".31.0"));
}

TEST_F(ServingAgent, SetChecksEverythingBeforeCommitting) {
  RequestList request({R(L".20.0"), R(L".1.0")});
  SetValueNumber(&request[0], 5, ASN_INTEGER);
  SetValueNumber(&request[1], 6, ASN_INTEGER);
  Answer answer = Query(SNMP_PDU_SET, request);
  EXPECT_TRUE(answer.result);
  EXPECT_EQ(answer.status, SNMP_ERRORSTATUS_READONLY);
  EXPECT_EQ(answer.index, 2);
  RequestList readBack({R(L".20.0")});
  Query(SNMP_PDU_GET, readBack);
  EXPECT_EQ(readBack.Value(0), L"Integer: 1 (0x1)") << "nothing committed";

  RequestList missing({R(L".99.0")});
  SetValueNumber(&missing[0], 1, ASN_INTEGER);
  answer = Query(SNMP_PDU_SET, missing);
  EXPECT_FALSE(answer.result);
  EXPECT_EQ(answer.status, SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(answer.index, 1);

  RequestList good({R(L".21.0"), R(L".20.0")});
  SetValueText(&good[0], L"changed", ASN_OCTETSTRING);
  SetValueNumber(&good[1], 9, ASN_INTEGER);
  answer = Query(SNMP_PDU_SET, good);
  EXPECT_TRUE(answer.result);
  EXPECT_EQ(answer.status, 0);
  RequestList after({R(L".21.0"), R(L".20.0")});
  Query(SNMP_PDU_GET, after);
  EXPECT_EQ(after.Value(0), L"OctetString: \"changed\"");
  EXPECT_EQ(after.Value(1), L"Integer: 9 (0x9)");
}

TEST_F(ServingAgent, SetWithWrongTypeOrOverlongString) {
  struct Case {
    BYTE type;
    std::wstring text;
    AsnInteger32 status;
  } const cases[] = {
      {ASN_INTEGER, L"1", SNMP_ERRORSTATUS_WRONGTYPE},
      {ASN_OCTETSTRING, std::wstring(4096, L'x'), SNMP_ERRORSTATUS_WRONGLENGTH},
      {ASN_OCTETSTRING, L"fits", SNMP_ERRORSTATUS_NOERROR},
  };
  for (const Case& c : cases) {
    RequestList request({R(L".21.0")});
    SetValueText(&request[0], c.text.c_str(), c.type);
    const Answer answer = Query(SNMP_PDU_SET, request);
    EXPECT_EQ(answer.status, c.status) << c.text.size();
    EXPECT_EQ(answer.index, c.status ? 1 : 0);
  }
}

TEST_F(ServingAgent, UnknownRequestTypesAreRefused) {
  for (BYTE type : {BYTE(0xA2), BYTE(SNMP_PDU_V1TRAP), BYTE(SNMP_PDU_GETBULK), BYTE(0x00), BYTE(0xFF)}) {
    RequestList request({R(L".1.0")});
    const Answer answer = Query(type, request);
    EXPECT_FALSE(answer.result) << int(type);
    EXPECT_EQ(answer.status, 0) << int(type);
    EXPECT_EQ(request.Value(0), L"Null") << int(type);
  }
}

TEST_F(ServingAgent, BadOidsNeverCrash) {
  std::vector<UINT> tooLong(200, 1);
  std::vector<UINT> highIds = {1, 3, 6, 1, 4, 1, 884, 2, 10, 2, 9, 1, 4294967295u, 4294967295u};
  struct Case {
    std::vector<UINT> ids;
    BYTE type;
    AsnInteger32 status;
  } const cases[] = {
      {{}, SNMP_PDU_GET, SNMP_ERRORSTATUS_NOSUCHNAME},
      {{}, SNMP_PDU_GETNEXT, 0},
      {{}, SNMP_PDU_SET, SNMP_ERRORSTATUS_NOSUCHNAME},
      {tooLong, SNMP_PDU_GET, SNMP_ERRORSTATUS_NOSUCHNAME},
      {tooLong, SNMP_PDU_GETNEXT, 0},
      {highIds, SNMP_PDU_GET, SNMP_ERRORSTATUS_NOSUCHNAME},
      {highIds, SNMP_PDU_GETNEXT, 0},
  };
  for (const Case& c : cases) {
    RequestList request;
    request.Add(c.ids);
    const Answer answer = Query(c.type, request);
    EXPECT_EQ(answer.status, c.status) << c.ids.size() << " ids, type " << int(c.type);
  }
  RequestList dangling;  // ids missing behind a length
  dangling.Add(std::vector<UINT>{});
  dangling[0].name.idLength = 12;
  EXPECT_EQ(Query(SNMP_PDU_GET, dangling).status, SNMP_ERRORSTATUS_NOSUCHNAME);
  dangling[0].name.idLength = 0;

  SnmpVarBindList noList{nullptr, 5};
  AsnInteger32 status = -1, index = -1;
  EXPECT_TRUE(agent.SnmpQuery(SNMP_PDU_GET, &noList, &status, &index));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(agent.SnmpQuery(SNMP_PDU_GET, nullptr, nullptr, nullptr));
}

TEST_F(ServingAgent, TenThousandVarbinds) {
  RequestList gets, nexts;
  for (int i = 0; i < 10000; ++i) {
    gets.Add(R(i % 2 ? L".2.0" : L".10.1.2.3"));
    nexts.Add(R(L".8"));
  }
  Answer answer = Query(SNMP_PDU_GET, gets);
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(gets.Value(9999), L"OctetString: \"hello\"");
  EXPECT_EQ(gets.Value(9998), L"Gauge32: 30 (0x1E)");
  answer = Query(SNMP_PDU_GETNEXT, nexts);
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(nexts.Oid(9999), R(L".8.0"));
}

TEST_F(ServingAgent, PreHookMayAnswerTheRequest) {
  agent.answerInPreHook = true;
  RequestList request({R(L".1.0")});
  const Answer answer = Query(SNMP_PDU_GET, request);
  EXPECT_TRUE(answer.result);
  EXPECT_EQ(answer.status, SNMP_ERRORSTATUS_GENERR);
  EXPECT_EQ(answer.index, 1);
  EXPECT_EQ(request.Value(0), L"Null");
  EXPECT_EQ(agent.postCalls, 1);
}

TEST_F(ServingAgent, RequestsDuringShutdownAreRefused) {
  g_bShutdown = true;  // as SignalShutdown sets it before the main thread tears down
  for (BYTE type : {BYTE(SNMP_PDU_GET), BYTE(SNMP_PDU_GETNEXT), BYTE(SNMP_PDU_SET)}) {
    RequestList request({R(L".1.0")});
    const Answer answer = Query(type, request);
    EXPECT_TRUE(answer.result);
    EXPECT_EQ(answer.status, SNMP_ERRORSTATUS_NOSUCHNAME) << int(type);
    EXPECT_EQ(answer.index, 1);
  }
  EXPECT_EQ(agent.preCalls, 0);
  g_bShutdown = false;
}

TEST(AgentNotServing, RequestsAreRefusedWithoutHooks) {
  CTestAgent agent;
  RequestList request({R(L".1.0")});
  AsnInteger32 status = -1, index = -1;
  EXPECT_TRUE(agent.SnmpQuery(SNMP_PDU_GET, &request.list, &status, &index));
  EXPECT_EQ(status, SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(agent.preCalls, 0);
  EXPECT_EQ(agent.postCalls, 0);
}

// Readers walk and read while a writer re-registers and clears the tree: no crash, no
// torn answer, only "found" or "no such name"; the MIB lock comes before the tree lock.
TEST_F(ServingAgent, ConcurrentRequestsWhileTheTreeChanges) {
  std::atomic<bool> stop{false};
  std::atomic<int> answers{0}, bad{0};
  auto reader = [&](BYTE type) {
    while (!stop) {
      RequestList request({R(L".2.0"), R(L".10.1.1.2")});
      AsnInteger32 status = -1, index = -1;
      agent.SnmpQuery(type, &request.list, &status, &index);
      if (status != 0 && status != SNMP_ERRORSTATUS_NOSUCHNAME) ++bad;
      if (status == 0 && type == SNMP_PDU_GET && request.Value(0) != L"OctetString: \"hello\"") ++bad;
      ++answers;
    }
  };
  std::vector<std::thread> threads;
  for (BYTE type : {BYTE(SNMP_PDU_GET), BYTE(SNMP_PDU_GETNEXT), BYTE(SNMP_PDU_GET)}) threads.emplace_back(reader, type);
  for (int round = 0; round < 50; ++round) {
    agent.GetMibTree().Clear();
    CTestAgent::RegisterObjects(agent.GetMibTree());
  }
  while (answers < 100) std::this_thread::yield();
  stop = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace

// Request processing with the trace on at its highest level: every trace path runs (the
// name array, value texts, lock traffic) and the lines operators rely on are written.
#include "snmp_agent.h"

#include <gtest/gtest.h>

#include <string>

#include "debug_trace.h"
#include "request_builder.h"
#include "test_agent.h"
#include "trace_test_support.h"

namespace {

using fw::testing::CTestAgent;
using fw::testing::kTestRegion;
using fw::testing::RequestList;

std::wstring R(const wchar_t* suffix) { return std::wstring(kTestRegion).substr(1) + suffix; }

// The process trace, configured for one application name below "SOFTWARE\Debug".
class TracedAgent : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_trace.Active()); }
  std::wstring Trace() const { return m_trace.Text(); }

  fw::diag::testing::ProcessTraceFile m_trace{L"FwAgentTrace", 6};
};

TEST_F(TracedAgent, RequestsWriteTheirTraceLines) {
  CTestAgent agent;
  HANDLE trapEvent = nullptr;
  ASSERT_TRUE(agent.SnmpInit(0, &trapEvent, nullptr));
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  RequestList get({R(L".2.0"), R(L".1.5")});
  RequestList next({R(L".31.0"), R(L".29")});
  RequestList set({R(L".21.0")});
  SetValueText(&set[0], L"traced", ASN_OCTETSTRING);
  AsnInteger32 status = -1, index = -1;
  agent.SnmpQuery(SNMP_PDU_GET, &get.list, &status, &index);
  agent.SnmpQuery(SNMP_PDU_GETNEXT, &next.list, &status, &index);
  agent.SnmpQuery(SNMP_PDU_SET, &set.list, &status, &index);
  agent.SnmpQuery(0xA2, &get.list, &status, &index);
  agent.StopAgent();

  const std::wstring trace = Trace();
  const wchar_t* const expected[] = {
      L"## Const MIB entry  : testInteger",
      L"## Const table entry: testRowName",
      L"RequestType: GET",
      L"Req[1] Oid:  1.3.6.1.4.1.884.2.10.2.9.1.2.0",
      L"Object:      testText",
      L"Ret Value:   OctetString: \"hello\"",
      L"## SNMP error status: <<no such name>> at varbind [2]",
      L"Ret[1] - End of MIB tree -> reply OID outside of this MIB",
      L"GETNEXT SNMP Error 5 (callback failed) -> find next object",
      L"Set[1] Oid:  1.3.6.1.4.1.884.2.10.2.9.1.21.0",
      L"Value:     OctetString: \"traced\"",
      L"SNMP Set done, no errors",
      L"## ERROR! Unknown request type (162).",
      L"CSnmpMibTree        : Locking MIB tree ...",
      L"CSnmpMibTree        : ...MIB tree unlocked",
      L"CSnmpMibTree (CHSET):   GetSetFunc() callback found, execute it...",
      L"Agent initialization finished - SNMP requests now enabled",
      L"*** EXIT THREAD Thread_AgentMain() ***",
  };
  for (const wchar_t* line : expected) EXPECT_NE(trace.find(line), std::wstring::npos) << testing::PrintToString(std::wstring(line));
  EXPECT_EQ(trace.find(L"<?>"), std::wstring::npos) << "a trace argument did not match its format";
}

}  // namespace

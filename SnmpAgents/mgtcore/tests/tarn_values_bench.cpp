// Management-service object values from one thread, through the agent's request
// processing and a running mgtcore: a GET that asks the service each time, a GET of a
// keep-value object, a SET with its check (two requests and a saved configuration
// file), and a constant object for comparison.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "mgtcore_process.h"
#include "private_state.h"
#include "request_builder.h"
#include "test_agent.h"

namespace {

using namespace fw::testing;

CTestAgent* g_agent = nullptr;

std::wstring ObjectOid(const wchar_t* suffix) { return std::wstring(kTestRegion).substr(1) + suffix; }

// The two values the benchmark reads and writes.
std::string ServiceConfig() {
  std::ostringstream config;
  config << "{\"Values\":[{\"OE\":" << kTarnTestCode << ",\"OI\":" << kTarnOffset << ",\"CA\":" << kTarnTestCabinet
         << ",\"DA\":2},{\"OE\":" << kTarnTestCode << ",\"OI\":" << kTarnKept << ",\"CA\":" << kTarnTestCabinet
         << ",\"DA\":9}]}";
  return config.str();
}

void Query(benchmark::State& state, BYTE type, const std::wstring& oid, bool alternate = false) {
  DWORD value = 10;
  for (auto _ : state) {
    RequestList request({oid});
    if (type == SNMP_PDU_SET) SetValueNumber(&request[0], alternate ? (value ^= 1) : value, ASN_INTEGER);
    AsnInteger32 status = -1, index = -1;
    g_agent->SnmpQuery(type, &request.list, &status, &index);
    if (status != SNMP_ERRORSTATUS_NOERROR) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TarnGet(benchmark::State& state) { Query(state, SNMP_PDU_GET, ObjectOid(L".25.1.0")); }
void BM_TarnGetKeepValue(benchmark::State& state) { Query(state, SNMP_PDU_GET, ObjectOid(L".25.6.0")); }
void BM_TarnSetWithCheck(benchmark::State& state) { Query(state, SNMP_PDU_SET, ObjectOid(L".25.1.0"), true); }
void BM_ConstGet(benchmark::State& state) { Query(state, SNMP_PDU_GET, ObjectOid(L".2.0")); }

BENCHMARK(BM_TarnGet)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TarnGetKeepValue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TarnSetWithCheck)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConstGet)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  conformance::UsePrivateStateDir(argv, "TARN_VALUES_BENCH_STATE", "tarn-values-bench");
  benchmark::Initialize(&argc, argv);
  g_AgentName = L"TarnValuesBench";
  mgtcore_test::MgtCore service;
  if (!service.Start(ServiceConfig())) {
    std::fprintf(stderr, "tarn_values_bench: mgtcore did not start\n");
    return 1;
  }
  int result = 0;
  {
    CTestAgent agent(true, CTestAgent::Service::MgtCore);
    HANDLE trapEvent = nullptr;
    g_agent = &agent;
    if (agent.SnmpInit(0, &trapEvent, nullptr) && agent.WaitUntilServing(10000)) {
      benchmark::RunSpecifiedBenchmarks();
    } else {
      std::fprintf(stderr, "tarn_values_bench: the agent did not serve\n");
      result = 1;
    }
    agent.StopAgent();
  }
  service.Stop();
  return result;
}

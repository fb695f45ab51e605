// Management-service object values from one thread, through the agent's request
// processing and a running mgtcore: a GET that asks the service each time, a GET of a
// keep-value object, a SET with its check (two requests and a saved configuration
// file), and a constant object for comparison.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "private_state.h"
#include "request_builder.h"
#include "test_agent.h"

namespace {

using namespace fw::testing;

pid_t g_service = 0;
CTestAgent* g_agent = nullptr;

std::wstring ObjectOid(const wchar_t* suffix) { return std::wstring(kTestRegion).substr(1) + suffix; }

bool StartService(const std::string& state) {
  const std::string config = state + "/bench-mgtcore.json";
  std::ofstream(config) << "{\"Values\":[{\"OE\":" << kTarnTestCode << ",\"OI\":" << kTarnOffset << ",\"CA\":"
                        << kTarnTestCabinet << ",\"DA\":2},{\"OE\":" << kTarnTestCode << ",\"OI\":" << kTarnKept
                        << ",\"CA\":" << kTarnTestCabinet << ",\"DA\":9}]}";
  g_service = fork();
  if (g_service == 0) {
    setsid();
    if (!freopen("/dev/null", "w", stderr)) _exit(126);
    execl(MGTCORE_PROGRAM, MGTCORE_PROGRAM, "--config", config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500; ++i) {
    std::ifstream pid(state + "/run/MgtCore.pid");
    pid_t written = 0;
    if ((pid >> written) && written == g_service) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void StopService() {
  if (g_service <= 0) return;
  kill(g_service, SIGTERM);
  waitpid(g_service, nullptr, 0);
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
  if (!StartService(std::getenv("WINAPI_STATE_DIR"))) {
    std::fprintf(stderr, "tarn_values_bench: mgtcore did not start\n");
    StopService();
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
  StopService();
  return result;
}

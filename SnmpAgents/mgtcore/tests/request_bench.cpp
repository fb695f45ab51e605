// Round trip of one Tarn request through the layer's COM transport to a running
// mgtcore and back, from one client thread, for each request method.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "management_settings.h"
#include "private_state.h"
#include "relay_client.h"

namespace {

pid_t g_service = 0;

bool StartService() {
  const std::string state = std::getenv("WINAPI_STATE_DIR");
  g_service = fork();
  if (g_service == 0) {
    setsid();
    if (!freopen("/dev/null", "w", stderr)) _exit(126);
    execl(MGTCORE_PROGRAM, MGTCORE_PROGRAM, static_cast<char*>(nullptr));
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

void RoundTrip(benchmark::State& state, const wchar_t* method) {
  CRelayClient client;
  client.SetClientName(L"request_bench");
  client.SetRequestMethod(method);
  if (!client.Attach()) {
    state.SkipWithError(("attach to mgtcore failed: " + std::to_string(static_cast<unsigned>(client.GetLastError()))).c_str());
    return;
  }
  for (auto _ : state) {
    Tarn record = Tarn::WithCommand();
    record.Set(L"OC", kConfigSpaceCode);
    record.Set(L"OE", kCodeTrap2EventLog);
    record.Set(L"OI", 0);
    record.Set(L"CA", -1);
    if (client.Request(record, 5) != 0) {
      state.SkipWithError("request failed");
      break;
    }
    benchmark::DoNotOptimize(record);
  }
  state.SetItemsProcessed(state.iterations());
  client.Detach();
}

void BM_JsonRequestRoundTrip(benchmark::State& state) { RoundTrip(state, L"JsonRequest"); }
void BM_CmdRequestRoundTrip(benchmark::State& state) { RoundTrip(state, L"CmdRequest"); }

BENCHMARK(BM_JsonRequestRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CmdRequestRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  conformance::UsePrivateStateDir(argv, "MGTCORE_BENCH_STATE", "mgtcore-bench");
  benchmark::Initialize(&argc, argv);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (!StartService()) {
    std::fprintf(stderr, "request_bench: mgtcore did not start\n");
    StopService();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  StopService();
  CoUninitialize();
  return 0;
}

// Round trip of one Tarn request through the layer's COM transport to a running
// mgtcore and back, from one client thread, for each request method.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "management_settings.h"
#include "mgtcore_process.h"
#include "private_state.h"
#include "relay_client.h"

namespace {

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
  mgtcore_test::MgtCore service;
  if (!service.Start()) {
    std::fprintf(stderr, "request_bench: mgtcore did not start\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  service.Stop();
  CoUninitialize();
  return 0;
}

// What a Cluster API call costs against clussimd, and what a whole enumeration costs
// beside its floor (its round trips times the time of one round trip, measured in the
// same run). The floor of the floor is a bare line echoed over a Unix socket pair.
#include <windows.h>
#include <clusapi.h>
#include <winapi_ext.h>

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <string>

#include "cluster.h"
#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

// Microseconds of one round trip on a kept connection (a group state read), as a median
// of a few batches so that one preempted batch does not move the floor.
double KeptRoundTripMicros() {
  HCLUSTER cluster = OpenCluster(nullptr);
  if (!cluster) return 0;
  HCLUSENUM e = ClusterOpenEnum(cluster, CLUSTER_ENUM_GROUP);
  WCHAR name[260];
  DWORD cch = 260;
  const bool named = e && ClusterEnum(e, 0, nullptr, name, &cch) == ERROR_SUCCESS;
  if (e) ClusterCloseEnum(e);
  HGROUP group = named ? OpenClusterGroup(cluster, name) : nullptr;
  double batches[5] = {};
  for (double& batch : batches) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 400; ++i) GetClusterGroupState(group, nullptr, nullptr);
    batch = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / 400;
  }
  if (group) CloseClusterGroup(group);
  CloseCluster(cluster);
  std::sort(std::begin(batches), std::end(batches));
  return batches[2];
}

// One request and its answer on a connection that stays open: the unit of every floor.
void RoundTripOnKeptConnection(benchmark::State& state) {
  ClusterSimulator sim;
  if (!sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json"))) return state.SkipWithError("no clussimd");
  HCLUSTER cluster = OpenCluster(nullptr);
  HGROUP group = cluster ? OpenClusterGroup(cluster, L"Files") : nullptr;
  if (!group) return state.SkipWithError("no group");
  const ULONGLONG before = WinapiClusterRoundTrips();
  for (auto _ : state) benchmark::DoNotOptimize(GetClusterGroupState(group, nullptr, nullptr));
  state.counters["round_trips"] =
      benchmark::Counter(static_cast<double>(WinapiClusterRoundTrips() - before), benchmark::Counter::kAvgIterations);
  CloseClusterGroup(group);
  CloseCluster(cluster);
}

// A state read as the system makes it without a handle: OpenCluster(NULL), open the
// object, read its state, close both.
void OpenReadClose(benchmark::State& state) {
  ClusterSimulator sim;
  if (!sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json"))) return state.SkipWithError("no clussimd");
  const double roundTrip = KeptRoundTripMicros();
  const ULONGLONG before = WinapiClusterRoundTrips();
  for (auto _ : state) {
    HCLUSTER cluster = OpenCluster(nullptr);
    HGROUP group = OpenClusterGroup(cluster, L"Files");
    benchmark::DoNotOptimize(GetClusterGroupState(group, nullptr, nullptr));
    CloseClusterGroup(group);
    CloseCluster(cluster);
  }
  const double trips = static_cast<double>(WinapiClusterRoundTrips() - before) / static_cast<double>(state.iterations());
  state.counters["round_trips"] = trips;
  state.counters["floor_us"] = trips * std::min(roundTrip, KeptRoundTripMicros());
}

// The same from several threads at once, as the watcher and request threads read: the
// pool serves each thread its own connection and keeps at most its bound.
void OpenReadCloseThreads(benchmark::State& state) {
  static ClusterSimulator* sim = nullptr;  // one service for all threads
  if (state.thread_index() == 0) {
    sim = new ClusterSimulator;
    if (!sim->Start(ClusterSimulator::Scenario("two-node-fileserver.json"))) state.SkipWithError("no clussimd");
  }
  for (auto _ : state) {
    HCLUSTER cluster = OpenCluster(nullptr);
    HGROUP group = OpenClusterGroup(cluster, L"Files");
    benchmark::DoNotOptimize(GetClusterGroupState(group, nullptr, nullptr));
    CloseClusterGroup(group);
    CloseCluster(cluster);
  }
  state.SetItemsProcessed(state.iterations());  // reads per second of all threads together
  if (state.thread_index() == 0) {
    delete sim;
    sim = nullptr;
  }
}

// A line written to a socket pair and echoed by another process: what a local socket allows.
void BareSocketEcho(benchmark::State& state) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return state.SkipWithError("socketpair");
  const pid_t child = fork();
  if (child == 0) {
    close(pair[0]);
    char buffer[512];
    for (ssize_t n; (n = read(pair[1], buffer, sizeof buffer)) > 0;) {
      if (write(pair[1], buffer, static_cast<size_t>(n)) != n) break;
    }
    _exit(0);
  }
  close(pair[1]);
  const std::string line = "{\"v\":1,\"op\":\"state\",\"kind\":\"group\",\"id\":17}\n";
  char answer[512];
  for (auto _ : state) {
    if (write(pair[0], line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
    std::size_t got = 0;
    while (got < line.size()) {
      const ssize_t n = read(pair[0], answer, sizeof answer);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
  }
  close(pair[0]);
  waitpid(child, nullptr, 0);
}

struct Size {
  const char* name;
  int nodes, groups, resources;
};
constexpr Size kSizes[] = {{"half", 32, 1000, 5000}, {"large", 64, 2000, 10000}, {"double", 128, 4000, 20000}};

std::string ScenarioOf(const Size& size) {
  if (size.resources == 10000) return CLUSSIM_LARGE_SCENARIO;
  const std::string path = "/tmp/clusapi-bench-" + std::to_string(size.resources) + ".json";
  return ClusterSimulator::Generate(path, size.nodes, size.groups, size.resources);
}

// CCluster::EnumerateAll, the system's main reader of the Cluster API, beside its floor.
void EnumerateAll(benchmark::State& state, const Size& size) {
  ClusterSimulator sim;
  const std::string scenario = ScenarioOf(size);
  if (scenario.empty() || !sim.Start(scenario)) return state.SkipWithError("clussimd did not start");
  double roundTrip = KeptRoundTripMicros();
  CCluster cluster;
  double objects = 0;
  const ULONGLONG before = WinapiClusterRoundTrips();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    cluster.Close();
    if (!cluster.Open(nullptr) || !cluster.EnumerateAll()) return state.SkipWithError("enumeration failed");
    objects = cluster.GetNodeCount() + cluster.GetGroupCount() + cluster.GetNetworkCount() +
              cluster.GetNetInterfaceCount() + cluster.GetResourceCount() + cluster.GetResourceTypeCount();
  }
  const double millis = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
                        static_cast<double>(state.iterations());
  const double trips = static_cast<double>(WinapiClusterRoundTrips() - before) / static_cast<double>(state.iterations());
  // The floor is a lower bound: a round trip slowed by another process's burst must not raise it.
  roundTrip = std::min(roundTrip, KeptRoundTripMicros());
  state.counters["objects"] = objects;
  state.counters["round_trips"] = trips;
  state.counters["trips_per_object"] = trips / objects;
  state.counters["round_trip_us"] = roundTrip;
  state.counters["floor_ms"] = trips * roundTrip / 1000;
  state.counters["times_floor"] = millis / (trips * roundTrip / 1000);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("ClusterApi/BareSocketEcho", BareSocketEcho)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("ClusterApi/RoundTripOnKeptConnection", RoundTripOnKeptConnection)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("ClusterApi/OpenReadClose", OpenReadClose)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("ClusterApi/OpenReadCloseThreads", OpenReadCloseThreads)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime()
      ->Threads(2)
      ->Threads(8);
  for (const Size& size : kSizes) {
    benchmark::RegisterBenchmark((std::string("ClusterApi/EnumerateAll/") + size.name).c_str(),
                                 [&size](benchmark::State& s) { EnumerateAll(s, size); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(2);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

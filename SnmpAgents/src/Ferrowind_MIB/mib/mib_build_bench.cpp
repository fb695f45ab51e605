// One full MIB build against a running clussimd for the large scenario (64 nodes, 2,000
// groups, 10,000 resources), its half and its double, with what it costs beside its
// floor: objects registered, tree memory, and a walk of the built tree in process.
#include <malloc.h>

#include <winapi_ext.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "cluster_mib_builder.h"
#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

struct Size {
  const char* name;
  int nodes, groups, resources;
};
constexpr Size kSizes[] = {{"half", 32, 1000, 5000}, {"large", 64, 2000, 10000}, {"double", 128, 4000, 20000}};

std::string GeneratedScenario(const Size& size) {
  const std::string path = "/tmp/mib-bench-" + std::to_string(size.resources) + ".json";
  return ClusterSimulator::Generate(path, size.nodes, size.groups, size.resources);
}

size_t HeapInUse() { return mallinfo2().uordblks; }

// A connected cluster and a builder, as the agent holds them.
struct BuildFixture {
  ClusterSimulator sim;
  CCluster cluster;
  CClusterIpAddressFinder finder;
  CClusterMibBuilder builder{cluster, finder};
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);

  explicit BuildFixture(const std::string& scenario) {
    builder.SetMibTableMutex(mutex);
    if (!scenario.empty() && sim.Start(scenario) && cluster.Open(nullptr)) cluster.EnumerateAll();
  }
  ~BuildFixture() { CloseHandle(mutex); }
  bool Ready() { return cluster.GetClusterHandle() != nullptr; }
};

void BuildMib(benchmark::State& state, const Size& size) {
  BuildFixture fixture(GeneratedScenario(size));
  if (!fixture.Ready()) {
    state.SkipWithError("clussimd did not start");
    return;
  }
  CSnmpMibTree tree(nullptr);
  size_t memory = 0;
  unsigned long long roundTrips = 0;
  for (auto _ : state) {
    tree.Clear();
    const size_t before = HeapInUse();
    const unsigned long long tripsBefore = WinapiClusterRoundTrips();
    if (!fixture.builder.BuildMib(tree)) state.SkipWithError("build failed");
    roundTrips = WinapiClusterRoundTrips() - tripsBefore;
    memory = HeapInUse() - before;
  }
  const double clusterObjects = fixture.cluster.GetNodeCount() + fixture.cluster.GetGroupCount() +
                                fixture.cluster.GetNetworkCount() + fixture.cluster.GetNetInterfaceCount() +
                                fixture.cluster.GetResourceCount() + fixture.cluster.GetResourceTypeCount();
  state.counters["round_trips"] = static_cast<double>(roundTrips);
  state.counters["trips_per_object"] = static_cast<double>(roundTrips) / clusterObjects;
  state.counters["objects"] = static_cast<double>(tree.Size());
  state.counters["tree_MB"] = static_cast<double>(memory) / 1e6;
  state.counters["resources"] = size.resources;
}

// GETNEXT from the first object to the last, as a walk asks, in process.
void WalkTree(benchmark::State& state, const Size& size) {
  BuildFixture fixture(GeneratedScenario(size));
  CSnmpMibTree tree(nullptr);
  if (!fixture.Ready() || !fixture.builder.BuildMib(tree)) {
    state.SkipWithError("build failed");
    return;
  }
  size_t objects = 0;
  for (auto _ : state) {
    objects = 0;
    SnmpVarBind varbind = EmptyVarBind();
    SNMPSTATUS status = 0;
    while (tree.MibGetVarbind(&varbind, SNMP_PDU_GETNEXT, &status, nullptr) && status == 0) ++objects;
    SnmpUtilVarBindFree(&varbind);
  }
  state.counters["objects"] = static_cast<double>(objects);
  state.counters["ns_per_object"] =
      benchmark::Counter(static_cast<double>(objects), benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

// The floor of one Cluster API round trip: a state read on an open handle.
void RoundTrip(benchmark::State& state) {
  BuildFixture fixture(ClusterSimulator::Scenario("two-node-fileserver.json"));
  HNODE node = fixture.Ready() ? OpenClusterNode(fixture.cluster.GetClusterHandle(), L"FS-NODE1") : nullptr;
  if (!node) {
    state.SkipWithError("no node");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(GetClusterNodeState(node));
  CloseClusterNode(node);
}

void RegisterAll() {
  benchmark::RegisterBenchmark("ClusterRoundTrip", RoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
  for (const Size& size : kSizes) {
    benchmark::RegisterBenchmark((std::string("BuildMib/") + size.name).c_str(),
                                 [size](benchmark::State& s) { BuildMib(s, size); })
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
  }
  benchmark::RegisterBenchmark("WalkTree/large", [](benchmark::State& s) { WalkTree(s, kSizes[1]); })
      ->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

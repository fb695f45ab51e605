// Full enumeration of the cluster model (CCluster::EnumerateAll) through the Cluster API
// socket, from the two-node scenario to the large one (64 nodes, 2,000 groups, 10,000
// resources) with generated steps in between, to show how it grows with the objects.
#include "cluster.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

struct Size {
  int nodes, groups, resources;
};
constexpr Size kSizes[] = {{8, 250, 1250}, {16, 500, 2500}, {32, 1000, 5000}};

std::string GeneratedScenario(const Size& size) {
  const std::string path = "/tmp/clussim-bench-" + std::to_string(size.resources) + ".json";
  return ClusterSimulator::Generate(path, size.nodes, size.groups, size.resources);
}

void Enumerate(benchmark::State& state, const std::string& scenario) {
  ClusterSimulator sim;
  if (scenario.empty() || !sim.Start(scenario)) {
    state.SkipWithError("clussimd did not start");
    return;
  }
  CCluster cluster;
  DWORD objects = 0;
  for (auto _ : state) {
    cluster.Close();
    if (!cluster.Open(nullptr) || !cluster.EnumerateAll()) {
      state.SkipWithError("enumeration failed");
      return;
    }
    objects = cluster.GetNodeCount() + cluster.GetGroupCount() + cluster.GetNetworkCount() +
              cluster.GetNetInterfaceCount() + cluster.GetResourceCount() + cluster.GetResourceTypeCount();
  }
  state.counters["objects"] = objects;
  // Objects enumerated per second: constant when the enumeration grows linearly.
  state.SetItemsProcessed(static_cast<int64_t>(objects) * state.iterations());
}

// The node addresses of every node, as the MIB build asks for them: the pair search of each
// interface walks nodes x networks, so this grows with nodes^2 x networks per node.
void NodeAddresses(benchmark::State& state, const std::string& scenario) {
  ClusterSimulator sim;
  if (scenario.empty() || !sim.Start(scenario)) {
    state.SkipWithError("clussimd did not start");
    return;
  }
  CCluster cluster;
  if (!cluster.Open(nullptr) || !cluster.EnumerateAll()) {
    state.SkipWithError("enumeration failed");
    return;
  }
  DWORD found = 0;
  for (auto _ : state) {
    found = 0;
    for (DWORD i = 0; i < cluster.GetNodeCount(); ++i) {
      CClusterNode node;
      cluster.GetNode(node, i);
      std::vector<CIpAddress> addresses;
      cluster.GetNodeIPAddresses(addresses, node.Name.c_str());
      found += static_cast<DWORD>(addresses.size());
    }
  }
  state.counters["nodes"] = cluster.GetNodeCount();
  state.counters["addresses"] = found;
}

void RegisterAll() {
  benchmark::RegisterBenchmark("EnumerateAll/two-node", [](benchmark::State& s) {
    Enumerate(s, ClusterSimulator::Scenario("two-node-fileserver.json"));
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("EnumerateAll/four-node", [](benchmark::State& s) {
    Enumerate(s, ClusterSimulator::Scenario("four-node-ipv6.json"));
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  for (const Size& size : kSizes) {
    benchmark::RegisterBenchmark(("EnumerateAll/generated-" + std::to_string(size.resources)).c_str(),
                                 [size](benchmark::State& s) { Enumerate(s, GeneratedScenario(size)); })
        ->Unit(benchmark::kMillisecond)->UseRealTime()
        ->Iterations(2);
  }
  for (const Size& size : kSizes) {
    benchmark::RegisterBenchmark(("NodeIPAddresses/nodes-" + std::to_string(size.nodes)).c_str(),
                                 [size](benchmark::State& s) { NodeAddresses(s, GeneratedScenario(size)); })
        ->Unit(benchmark::kMillisecond)->UseRealTime()
        ->Iterations(1);
  }
  benchmark::RegisterBenchmark("EnumerateAll/large", [](benchmark::State& s) { Enumerate(s, CLUSSIM_LARGE_SCENARIO); })
      ->Unit(benchmark::kMillisecond)->UseRealTime()
      ->Iterations(2);
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// What a change of a large Pacemaker cluster costs the service: 16, 64 and 256 nodes with
// 1,000, 2,000 and 4,000 resources, a node failing (node002, its groups moving). Each
// piece alone (crm_mon's XML into a model, a model following the next snapshot, a whole
// snapshot with crm_mon) and the daemon from the file being replaced to the first
// notification at a port (200 ms of it are the quiet period a burst of writes gets).
#include <windows.h>
#include <clusapi.h>

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "cib_snapshot.h"
#include "cib_source.h"
#include "cluster_simulator.h"

namespace {

struct LargeCluster {
  std::string dir;
  std::string before, after;        // the CIB files
  std::string monitorBefore, monitorAfter;  // crm_mon's XML of each
  std::string cibBefore, cibAfter;
  ~LargeCluster() {
    unlink(before.c_str());
    unlink(after.c_str());
    rmdir(dir.c_str());
  }
};

int GroupsFor(int nodes) { return nodes <= 16 ? 250 : nodes <= 64 ? 500 : 1000; }

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string CrmMon(const std::string& cib) {
  const std::string command = "CIB_file='" + cib + "' crm_mon --output-as=xml 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string text;
  char chunk[65536];
  for (size_t n; pipe && (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
  if (pipe) pclose(pipe);
  return text;
}

// Generated once per size and kept for the run.
const LargeCluster* Cluster(int nodes) {
  static std::map<int, std::unique_ptr<LargeCluster>> clusters;
  auto& slot = clusters[nodes];
  if (slot) return slot.get();
  auto cluster = std::make_unique<LargeCluster>();
  cluster->dir = "/tmp/pcmkclus-bench-" + std::to_string(getpid()) + "-" + std::to_string(nodes);
  cluster->before = cluster->dir + "/before.xml";
  cluster->after = cluster->dir + "/after.xml";
  const std::string command = std::string("python3 ") + PCMKCLUS_BENCH_DIR + "/generate-large-cib.py " +
                              std::to_string(nodes) + " " + std::to_string(GroupsFor(nodes)) + " " + cluster->dir;
  if (std::system(command.c_str()) != 0) return nullptr;
  cluster->cibBefore = Read(cluster->before);
  cluster->cibAfter = Read(cluster->after);
  cluster->monitorBefore = CrmMon(cluster->before);
  cluster->monitorAfter = CrmMon(cluster->after);
  slot = std::move(cluster);
  return slot.get();
}

void Counters(benchmark::State& state, const clustersim::ClusterModel& model) {
  state.counters["nodes"] = static_cast<double>(model.List(clustersim::Kind::Node).size());
  state.counters["resources"] = static_cast<double>(model.List(clustersim::Kind::Resource).size());
}

// crm_mon's XML and the CIB into a model: this service's own share of a snapshot.
void BuildModelFromXml(benchmark::State& state) {
  const LargeCluster* cluster = Cluster(static_cast<int>(state.range(0)));
  if (!cluster) return state.SkipWithError("cannot generate the cluster");
  for (auto _ : state) {
    clustersim::ClusterModel model;
    std::string error;
    std::vector<std::string> warnings;
    if (!pcmkclus::BuildModel(cluster->monitorBefore, cluster->cibBefore, model, error, warnings)) {
      return state.SkipWithError(error.c_str());
    }
    benchmark::DoNotOptimize(model.List(clustersim::Kind::Resource).size());
  }
}

// The model following the node failure and back, alternately: the comparison alone.
void ReconcileNodeFailure(benchmark::State& state) {
  const LargeCluster* cluster = Cluster(static_cast<int>(state.range(0)));
  if (!cluster) return state.SkipWithError("cannot generate the cluster");
  clustersim::ClusterModel model, before, after;
  std::string error;
  std::vector<std::string> warnings;
  for (auto* target : {&model, &before}) {
    if (!pcmkclus::BuildModel(cluster->monitorBefore, cluster->cibBefore, *target, error, warnings)) {
      return state.SkipWithError(error.c_str());
    }
    pcmkclus::PlaceUnownedGroups(*target);
  }
  if (!pcmkclus::BuildModel(cluster->monitorAfter, cluster->cibAfter, after, error, warnings)) {
    return state.SkipWithError(error.c_str());
  }
  bool failed = false;
  std::size_t notifications = 0;
  for (auto _ : state) {
    clustersim::Notifications out;
    model.Reconcile(failed ? before : after, out);
    failed = !failed;
    notifications = out.size();
  }
  state.counters["notifications"] = static_cast<double>(notifications);
  Counters(state, model);
}

// A whole change as the service handles it: crm_mon on a copy of the file, the model, the
// comparison.
void FollowCibFileChange(benchmark::State& state) {
  const LargeCluster* cluster = Cluster(static_cast<int>(state.range(0)));
  if (!cluster) return state.SkipWithError("cannot generate the cluster");
  clustersim::ClusterModel model;
  std::string error;
  std::vector<std::string> warnings;
  if (!pcmkclus::SnapshotOfCibFile(cluster->before, model, error, warnings)) return state.SkipWithError(error.c_str());
  pcmkclus::PlaceUnownedGroups(model);
  bool failed = false;
  for (auto _ : state) {
    clustersim::Notifications out;
    if (!pcmkclus::FollowCibFile(failed ? cluster->before : cluster->after, model, out, [](const std::string&) {})) {
      return state.SkipWithError("the snapshot failed");
    }
    failed = !failed;
  }
  Counters(state, model);
}

// pcmkclusd from the CIB file being replaced to the first notification at a port.
void DaemonChangeToNotification(benchmark::State& state) {
  const LargeCluster* cluster = Cluster(static_cast<int>(state.range(0)));
  if (!cluster) return state.SkipWithError("cannot generate the cluster");
  clustersim::testing::ClusterSimulator service;
  const std::string cib = service.Directory() + "/cib.xml", next = cib + ".new";
  std::ofstream(cib) << cluster->cibBefore;
  if (!service.StartDaemon(PCMKCLUSD_PATH, {"--cib-file", cib})) return state.SkipWithError("no pcmkclusd");
  HCLUSTER handle = OpenCluster(nullptr);
  HCHANGE port = handle ? CreateClusterNotifyPort(static_cast<HCHANGE>(INVALID_HANDLE_VALUE), handle,
                                                  CLUSTER_CHANGE_NODE_STATE | CLUSTER_CHANGE_GROUP_STATE |
                                                      CLUSTER_CHANGE_RESOURCE_STATE | CLUSTER_CHANGE_GROUP_PROPERTY,
                                                  0)
                        : nullptr;
  if (!port) return state.SkipWithError("no notification port");
  bool failed = false;
  for (auto _ : state) {
    std::ofstream(next) << (failed ? cluster->cibBefore : cluster->cibAfter);
    const auto start = std::chrono::steady_clock::now();
    rename(next.c_str(), cib.c_str());
    WCHAR name[260];
    DWORD cch = 260, filter = 0;
    DWORD_PTR key = 0;
    if (GetClusterNotify(port, &key, &filter, name, &cch, 60000) != ERROR_SUCCESS) {
      return state.SkipWithError("no notification within 60 s");
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    // The rest of the burst before the next change.
    for (cch = 260; GetClusterNotify(port, &key, &filter, name, &cch, 500) == ERROR_SUCCESS; cch = 260) {
    }
    failed = !failed;
  }
  CloseClusterNotifyPort(port);
  CloseCluster(handle);
  unlink(cib.c_str());
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond); }

BENCHMARK(BuildModelFromXml)->Apply(Sizes);
BENCHMARK(ReconcileNodeFailure)->Apply(Sizes);
BENCHMARK(FollowCibFileChange)->Apply(Sizes)->Iterations(4);
BENCHMARK(DaemonChangeToNotification)->Apply(Sizes)->Iterations(4)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();

// clussimd: the cluster service "ClusSvc" for Linux, a simulated cluster loaded from a
// scenario file and served to the Cluster API of the Win32 layer.
#include <cstdio>
#include <memory>
#include <string>

#include "daemon.h"
#include "scenario.h"
#include "service.h"
#include "wide_text.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: clussimd --scenario FILE [--socket PATH] [--control PATH]\n"
               "  --scenario FILE   the cluster to simulate (JSON, see README.md)\n"
               "%s",
               clustersim::kSocketOptionsHelp);
}

}  // namespace

int main(int argc, char** argv) {
  clustersim::ServerOptions options;
  std::string scenario;
  clustersim::DaemonCommandLine line(argc, argv);
  const auto exitCode = line.Parse(options, Usage, [&scenario](clustersim::DaemonCommandLine& at) {
    if (at.Argument() != "--scenario" || !at.HasValue()) return clustersim::DaemonCommandLine::Own::NotMine;
    scenario = at.TakeValue();
    return clustersim::DaemonCommandLine::Own::Taken;
  });
  if (exitCode) return *exitCode;
  if (scenario.empty()) {
    std::fprintf(stderr, "clussimd: no scenario: give --scenario FILE\n");
    Usage();
    return 2;
  }
  std::string error;
  if (!clustersim::RegisterClusterService(clustersim::SelfPath(argv[0]), error)) {
    std::fprintf(stderr, "clussimd: %s\n", error.c_str());
    return 1;
  }
  options.pidFile = clustersim::ClusterServicePidFile();
  clustersim::Server server(options, std::make_unique<clustersim::ScenarioSource>(scenario));
  if (!server.Start(error)) {
    std::fprintf(stderr, "clussimd: %s\n", error.c_str());
    return 1;
  }
  return server.Run();
}

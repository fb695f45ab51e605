// clussimd: the cluster service "ClusSvc" for Linux, a simulated cluster loaded from a
// scenario file and served to the Cluster API of the Win32 layer.
#include <cstdio>
#include <memory>
#include <string>

#include "cluster_protocol.h"
#include "daemon.h"
#include "scenario.h"
#include "service.h"
#include "wide_text.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: clussimd --scenario FILE [--socket PATH] [--control PATH]\n"
               "  --scenario FILE   the cluster to simulate (JSON, see README.md)\n"
               "  --socket PATH     the Cluster API socket (default $WINAPI_CLUSTER_SOCKET or <state>/run/clussvc.sock)\n"
               "  --control PATH    the clussim socket (default $CLUSSIM_CONTROL_SOCKET or <state>/run/clussim.sock)\n");
}

}  // namespace

int main(int argc, char** argv) {
  clustersim::ServerOptions options;
  std::string scenario;
  options.serviceSocket = winapi::cluster::ServiceSocketPath();
  options.controlSocket = clustersim::DefaultControlSocket();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--scenario" && hasValue) scenario = argv[++i];
    else if (arg == "--socket" && hasValue) options.serviceSocket = argv[++i];
    else if (arg == "--control" && hasValue) options.controlSocket = argv[++i];
    else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "clussimd: unknown argument \"%s\"\n", arg.c_str());
      Usage();
      return 2;
    }
  }
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

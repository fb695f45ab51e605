// pcmkclusd: the cluster service "ClusSvc" for Linux clusters run by Pacemaker, serving
// the cluster of a CIB file, or of a directory of CIB states replayed one by one, to the
// Cluster API of the Win32 layer.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cib_source.h"
#include "cib_snapshot.h"
#include "daemon.h"
#include "model_text.h"
#include "service.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: pcmkclusd (--live | --cib-file PATH) [--corosync-conf PATH] | --replay DIR [--interval SECONDS]\n"
               "                 [--socket PATH] [--control PATH]\n"
               "       pcmkclusd --print CIB [NEXT-CIB...]\n"
               "  --live            serve the local Pacemaker cluster (its CIB's notifications, a poll every 30 s)\n"
               "  --cib-file PATH   serve the cluster of a CIB file, reloaded when it is replaced\n"
               "  --replay DIR      serve the CIB states *.xml of DIR in name order; \"clussim step\" moves on\n"
               "  --corosync-conf P the links of corosync.conf P as networks and interfaces\n"
               "  --interval S      also move on every S seconds\n"
               "%s"
               "  --print CIB...    print the model of the first CIB, then the notifications and model of each next one\n"
               "                    (links from DIR/corosync.conf beside the first CIB, as in a replay)\n",
               clustersim::kSocketOptionsHelp);
}

// The model of each state and the notifications between them, as the fixtures hold them.
int Print(int argc, char** argv, int first) {
  clustersim::ClusterModel model;
  std::string error;
  std::vector<std::string> warnings;
  std::string dir = argv[first];
  dir = dir.find('/') == std::string::npos ? "." : dir.substr(0, dir.rfind('/'));
  const std::string corosync = access((dir + "/corosync.conf").c_str(), R_OK) == 0 ? dir + "/corosync.conf" : "";
  if (!pcmkclus::SnapshotOfCibFile(argv[first], model, error, warnings, corosync)) {
    std::fprintf(stderr, "pcmkclusd: %s: %s\n", argv[first], error.c_str());
    return 1;
  }
  for (const auto& warning : warnings) std::fprintf(stderr, "pcmkclusd: %s: warning: %s\n", argv[first], warning.c_str());
  pcmkclus::PlaceUnownedGroups(model);
  std::printf("%s", pcmkclus::ModelText(model).c_str());
  for (int i = first + 1; i < argc; ++i) {
    clustersim::Notifications out;
    const auto log = [](const std::string& text) { std::fprintf(stderr, "pcmkclusd: %s\n", text.c_str()); };
    if (!pcmkclus::FollowCibFile(argv[i], model, out, log, corosync)) return 1;
    std::printf("--- %s\n%s--- model\n%s", argv[i], pcmkclus::NotificationsText(out).c_str(),
                pcmkclus::ModelText(model).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  clustersim::ServerOptions options;
  options.name = "pcmkclusd";
  std::string cibFile, replay, corosyncConf;
  bool live = false;
  double interval = 0;
  int printFrom = 0;
  using Own = clustersim::DaemonCommandLine::Own;
  clustersim::DaemonCommandLine line(argc, argv);
  const auto exitCode = line.Parse(options, Usage, [&](clustersim::DaemonCommandLine& at) {
    const std::string& arg = at.Argument();
    if (arg == "--live") live = true;
    else if (!at.HasValue()) return Own::NotMine;
    else if (arg == "--print") printFrom = at.Index() + 1;
    else if (arg == "--cib-file") cibFile = at.TakeValue();
    else if (arg == "--replay") replay = at.TakeValue();
    else if (arg == "--corosync-conf") corosyncConf = at.TakeValue();
    else if (arg == "--interval") interval = std::atof(at.TakeValue());
    else return Own::NotMine;
    return printFrom ? Own::Stop : Own::Taken;
  });
  if (exitCode) return *exitCode;
  if (printFrom) return Print(argc, argv, printFrom);
  if (live + !cibFile.empty() + !replay.empty() != 1) {
    std::fprintf(stderr, "pcmkclusd: give one source: --live, --cib-file PATH or --replay DIR\n");
    Usage();
    return 2;
  }
  if (interval < 0) {
    std::fprintf(stderr, "pcmkclusd: --interval must not be negative\n");
    return 2;
  }
  std::unique_ptr<clustersim::ModelSource> source;
  if (live) {
    source = std::make_unique<pcmkclus::LiveSource>(corosyncConf, std::chrono::milliseconds(200),
                                                     std::chrono::milliseconds(30000), 2);
  } else if (!cibFile.empty()) {
    source = std::make_unique<pcmkclus::CibFileSource>(cibFile, corosyncConf, std::chrono::milliseconds(200),
                                                        std::chrono::milliseconds(5000));
  } else {
    source = std::make_unique<pcmkclus::ReplaySource>(
        replay, std::chrono::milliseconds(static_cast<long long>(interval * 1000)));
  }
  std::string error;
  if (!clustersim::RegisterClusterService(clustersim::SelfPath(argv[0]), error)) {
    std::fprintf(stderr, "pcmkclusd: %s\n", error.c_str());
    return 1;
  }
  options.pidFile = clustersim::ClusterServicePidFile();
  clustersim::Server server(options, std::move(source));
  if (!server.Start(error)) {
    std::fprintf(stderr, "pcmkclusd: %s\n", error.c_str());
    return 1;
  }
  return server.Run();
}

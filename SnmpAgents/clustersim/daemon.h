// What every cluster service daemon does before it serves: it reads the options they all
// take, installs itself as "ClusSvc" for the layer's service control manager and knows
// its pid file.
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "service.h"

namespace clustersim {

// The help lines of --socket and --control.
extern const char kSocketOptionsHelp[];

// A daemon's command line, read one argument at a time.
class DaemonCommandLine {
 public:
  DaemonCommandLine(int argc, char** argv) : argc_(argc), argv_(argv) {}

  // What a daemon's own options make of the current argument.
  enum class Own { Taken, NotMine, Stop };

  // Fills `options` (first with the defaults) from --socket and --control, answers --help,
  // refuses an unknown argument; every argument goes to `own` first, which may end the
  // reading (Stop). The exit code when the daemon ends here, else nothing.
  std::optional<int> Parse(ServerOptions& options, void (*usage)(), const std::function<Own(DaemonCommandLine&)>& own);

  const std::string& Argument() const { return argument_; }
  bool HasValue() const { return index_ + 1 < argc_; }
  // The argument after the current one, which it consumes.
  const char* TakeValue() { return argv_[++index_]; }
  // Where the current argument stands in argv.
  int Index() const { return index_; }

 private:
  int argc_;
  char** argv_;
  int index_ = 0;
  std::string argument_;
};

// Installs the service key, so that the service control manager knows "ClusSvc".
bool RegisterClusterService(const std::string& image, std::string& error);
// The pid file the layer reads for "ClusSvc"; empty when there is none.
std::string ClusterServicePidFile();
// This executable's path, for the service key.
std::string SelfPath(const char* argv0);

}  // namespace clustersim

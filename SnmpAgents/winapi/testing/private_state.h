// Benchmarks and tools that must not touch the user's layer state: the layer opens its
// registry during static initialisation, so the private state directory has to be in the
// environment before the program starts; the program re-runs itself with it (Linux only).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace conformance {

// marker: an environment name that tells the re-run from the first start.
inline void UsePrivateStateDir(char** argv, const char* marker, const char* prefix) {
  if (std::getenv(marker)) return;
  std::string dir = std::string("/tmp/") + prefix + "-XXXXXX";
  if (!mkdtemp(dir.data())) return;
  setenv(marker, dir.c_str(), 1);
  setenv("WINAPI_STATE_DIR", dir.c_str(), 1);
  setenv("WINAPI_REGISTRY", (dir + "/registry.db").c_str(), 1);
  execv("/proc/self/exe", argv);
}

}  // namespace conformance

// mgtcore and mgtctl as processes for the tests that run against the management service:
// started in the test's private state directory, mgtcore in a session of its own and
// stopped by pid (SIGTERM first, as a service manager does).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "service_paths.h"

namespace mgtcore_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline std::string StateDir() {
  const char* dir = std::getenv("WINAPI_STATE_DIR");
  return dir ? dir : "/tmp";
}

using mgtcore::PidFile;

template <class Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

inline pid_t Spawn(const std::vector<std::string>& args, const std::string& log, bool newSession) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (newSession) setsid();
  if (FILE* out = std::fopen(log.c_str(), "a")) {
    dup2(fileno(out), 1);
    dup2(fileno(out), 2);
  }
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// mgtctl's exit status, -1 when it did not exit normally.
inline int Mgtctl(const std::vector<std::string>& args) {
  std::vector<std::string> full = {MGTCTL_PROGRAM};
  full.insert(full.end(), args.begin(), args.end());
  const pid_t pid = Spawn(full, StateDir() + "/mgtctl.log", false);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The first line mgtctl status prints, empty when it printed none.
inline std::string ServiceStatus() {
  const std::string command = std::string(MGTCTL_PROGRAM) + " status";
  FILE* out = popen(command.c_str(), "r");
  char line[256] = {};
  const bool read = out && std::fgets(line, sizeof line, out);
  if (out) pclose(out);
  return read ? line : "";
}

// Requests mgtcore has served so far, as mgtctl status tells; all ones when unknown.
inline uint64_t RequestsServed() {
  const std::string line = ServiceStatus();
  const char* at = std::strstr(line.c_str(), "requests=");
  return at ? std::strtoull(at + 9, nullptr, 10) : ~0ull;
}

inline constexpr char kDefaultConfig[] =
    "{\"ServerCabinetNumber\":3,\"Settings\":{\"ShutdownIsAllowed\":1,"
    "\"SetAllowed\":1,\"DoAccountCheck\":0,\"Trap2EventLog\":4,\"TrapToAdminAlert\":2}}";

class MgtCore {
 public:
  // True once mgtcore wrote its pid file, that is once it can be reached.
  bool Start(const std::string& config = kDefaultConfig) {
    const std::string path = StateDir() + "/mgtcore.json";
    std::ofstream(path) << config;
    pid_ = Spawn({MGTCORE_PROGRAM, "--config", path}, StateDir() + "/mgtcore.log", true);
    return WaitUntil([&] {
      std::ifstream file(PidFile());
      pid_t written = 0;
      return (file >> written) && written == pid_;
    });
  }
  // SIGTERM; true when it ended on its own and cleaned up.
  bool Stop() {
    if (pid_ <= 0) return true;
    kill(pid_, SIGTERM);
    int status = 0;
    const bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) Kill();
    pid_ = 0;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 && access(PidFile().c_str(), F_OK) != 0;
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
  bool Running() const { return pid_ > 0; }
  ~MgtCore() { Stop(); }

 private:
  pid_t pid_ = 0;
};

}  // namespace mgtcore_test

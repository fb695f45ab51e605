// Runs clussimd for a test: private sockets in a fresh directory, started in its own
// session (so a group kill of the test does not reach it) and stopped by its pid.
// The test process's environment points the layer's Cluster API at it.
#pragma once
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace clustersim::testing {

class ClusterSimulator {
 public:
  ClusterSimulator() {
    char dir[] = "/tmp/clussim-test-XXXXXX";
    if (mkdtemp(dir)) dir_ = dir;
    serviceSocket_ = dir_ + "/clussvc.sock";
    controlSocket_ = dir_ + "/clussim.sock";
    setenv("WINAPI_CLUSTER_SOCKET", serviceSocket_.c_str(), 1);
    setenv("CLUSSIM_CONTROL_SOCKET", controlSocket_.c_str(), 1);
  }
  ~ClusterSimulator() {
    Stop();
    // A killed clussimd leaves its sockets behind.
    unlink(serviceSocket_.c_str());
    unlink(controlSocket_.c_str());
    unlink((dir_ + "/clussimd.log").c_str());
    rmdir(dir_.c_str());
  }
  ClusterSimulator(const ClusterSimulator&) = delete;
  ClusterSimulator& operator=(const ClusterSimulator&) = delete;

  static std::string Scenario(const std::string& file) { return std::string(CLUSSIM_SCENARIOS) + "/" + file; }

  // Writes a generated scenario of that size to path; path, or empty when it failed.
  static std::string Generate(const std::string& path, int nodes, int groups, int resources) {
    const std::string command = "python3 " + Scenario("generate-large.py") + " " + Quote(path) + " " +
                                std::to_string(nodes) + " " + std::to_string(groups) + " " + std::to_string(resources);
    return std::system(command.c_str()) == 0 ? path : std::string();
  }

  // Starts clussimd and waits until its service socket answers; false after 10 s.
  bool Start(const std::string& scenario) { return StartDaemon(CLUSSIMD_PATH, {"--scenario", scenario}); }

  // Starts another daemon of the same protocol (its source arguments in `args`) on this
  // simulator's sockets, logging to <dir>/clussimd.log, and waits until it answers.
  bool StartDaemon(const char* path, const std::vector<std::string>& args) {
    Stop();
    std::vector<std::string> argv = {path};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--socket", serviceSocket_, "--control", controlSocket_});
    std::vector<char*> pointers;
    for (auto& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      const int log = open((dir_ + "/clussimd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (log >= 0) dup2(log, 2);
      execv(path, pointers.data());
      _exit(127);
    }
    for (int i = 0; i < 1000; ++i) {
      if (Control({"status"}) == 0) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  // Runs clussim with the arguments; its exit code, its output in `output`.
  int Control(const std::vector<std::string>& args, std::string* output = nullptr) const {
    std::string command = std::string(CLUSSIM_PATH) + " --control " + Quote(controlSocket_);
    for (const auto& arg : args) command += " " + Quote(arg);
    command += " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
    const int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& Directory() const { return dir_; }
  pid_t Pid() const { return pid_; }

 private:
  static std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  }

  std::string dir_;
  std::string serviceSocket_;
  std::string controlSocket_;
  pid_t pid_ = -1;
};

}  // namespace clustersim::testing

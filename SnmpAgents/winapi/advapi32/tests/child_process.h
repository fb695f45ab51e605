// Runs a disabled test of this executable as a child process, with extra environment,
// for tests that need several processes on one registry.
#pragma once
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace registry_testing {

class ChildProcess {
 public:
  // Runs TEST(suite, DISABLED_<name>) of the current executable.
  ChildProcess(const std::string& test, const std::vector<std::string>& environment) {
    std::vector<std::string> args = {"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                     "--gtest_filter=" + test, "--gtest_brief=1"};
    std::vector<std::string> env = environment;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  }
  ~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // Exit code, or 128 + signal number.
  int Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL);
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace registry_testing

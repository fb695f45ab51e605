// Process objects: the current process through its pseudo handle, others by pid.
// A process handle holds a pidfd when the kernel offers one, so that a reused pid is not
// mistaken for the process; waits poll it (see WaitForObjects).
#include "core_internal.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "errors.h"
#include "rollback.h"

namespace winapi {
namespace {

class ProcessObject final : public KernelObject, public ExternallyChanged {
 public:
  ProcessObject(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  ~ProcessObject() override {
    if (pidfd_ >= 0) ::close(pidfd_);
  }
  ProcessObject(const ProcessObject&) = delete;
  ProcessObject& operator=(const ProcessObject&) = delete;

  const char* TypeName() const override { return "Process"; }
  bool IsWaitable() const override { return true; }
  bool IsSignaledFor(DWORD) const override { return HasEnded(); }
  bool ChangesOutsideProcess() const override { return true; }

  pid_t Pid() const { return pid_; }

  bool HasEnded() const {
    if (pidfd_ >= 0) {
      struct pollfd ready = {pidfd_, POLLIN, 0};
      return ::poll(&ready, 1, 0) == 1;
    }
    return ::kill(pid_, 0) != 0 && errno == ESRCH;
  }

  // The exit code of an ended child; 0 when it cannot be known (not our child).
  DWORD ExitCodeOfEnded() const {
    siginfo_t info{};
    const int rc = pidfd_ >= 0 ? ::waitid(P_PIDFD, static_cast<id_t>(pidfd_), &info, WEXITED | WNOHANG | WNOWAIT)
                               : ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    if (rc != 0 || info.si_pid == 0) return 0;
    return info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status) : 128u + static_cast<DWORD>(info.si_status);
  }

 private:
  const pid_t pid_;
  const int pidfd_;
};

bool IsCurrentProcess(HANDLE handle) { return handle == CurrentProcessPseudoHandle(); }

std::shared_ptr<ProcessObject> LookupProcess(HANDLE handle) { return LookupHandleAs<ProcessObject>(handle); }

}  // namespace
}  // namespace winapi

using winapi::FailWith;

// GetCurrentProcess
extern "C" WINBASEAPI HANDLE WINAPI GetCurrentProcess(void) { return winapi::CurrentProcessPseudoHandle(); }

// GetCurrentProcessId
extern "C" WINBASEAPI DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(::getpid()); }

// OpenProcess: ERROR_INVALID_PARAMETER for a pid that does not exist, as Windows.
extern "C" WINBASEAPI HANDLE WINAPI OpenProcess(DWORD, BOOL, DWORD dwProcessId) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    const auto pid = static_cast<pid_t>(dwProcessId);
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH)) {
      FailWith(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0 && errno == ESRCH) {
      FailWith(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    winapi::Rollback closePidfd([pidfd] {
      if (pidfd >= 0) ::close(pidfd);
    });
    auto process = std::make_shared<winapi::ProcessObject>(pid, pidfd);
    closePidfd.Keep();  // the object closes it from now on
    return winapi::InsertHandle(std::move(process));
  });
}

// GetProcessId
extern "C" WINBASEAPI DWORD WINAPI GetProcessId(HANDLE Process) {
  if (winapi::IsCurrentProcess(Process)) return GetCurrentProcessId();
  auto process = winapi::LookupProcess(Process);
  if (!process) {
    FailWith(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(process->Pid());
}

// GetExitCodeProcess: STILL_ACTIVE while running; the real code only for our children.
extern "C" WINBASEAPI BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (!lpExitCode) return FailWith(ERROR_INVALID_PARAMETER);
  if (winapi::IsCurrentProcess(hProcess)) {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto process = winapi::LookupProcess(hProcess);
  if (!process) return FailWith(ERROR_INVALID_HANDLE);
  *lpExitCode = process->HasEnded() ? process->ExitCodeOfEnded() : STILL_ACTIVE;
  return TRUE;
}

// GetProcessHandleCount: known for the calling process only.
extern "C" WINBASEAPI BOOL WINAPI GetProcessHandleCount(HANDLE hProcess, PDWORD pdwHandleCount) {
  if (!pdwHandleCount) return FailWith(ERROR_INVALID_PARAMETER);
  bool self = winapi::IsCurrentProcess(hProcess);
  if (!self) {
    auto process = winapi::LookupProcess(hProcess);
    if (!process) return FailWith(ERROR_INVALID_HANDLE);
    self = process->Pid() == ::getpid();
  }
  if (!self) return FailWith(ERROR_ACCESS_DENIED);
  *pdwHandleCount = winapi::HandleCount();
  return TRUE;
}

// TerminateProcess
extern "C" WINBASEAPI BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (winapi::IsCurrentProcess(hProcess)) ::_exit(static_cast<int>(uExitCode));
  auto process = winapi::LookupProcess(hProcess);
  if (!process) return FailWith(ERROR_INVALID_HANDLE);
  if (process->Pid() == ::getpid()) ::_exit(static_cast<int>(uExitCode));
  if (process->HasEnded()) return FailWith(ERROR_ACCESS_DENIED);
  if (::kill(process->Pid(), SIGKILL) != 0) return winapi::FailWithErrno();
  return TRUE;
}

// ExitProcess: runs the exit handlers, as process detach runs on Windows.
extern "C" WINBASEAPI void WINAPI ExitProcess(UINT uExitCode) { std::exit(static_cast<int>(uExitCode)); }

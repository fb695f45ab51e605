// Threads over POSIX threads.
//
// Every thread is created detached; its ThreadObject lives while a handle or the thread
// itself holds a reference, so nothing is joined and nothing leaks. A thread created
// suspended waits at a gate until ResumeThread opens it. TerminateThread signals the
// object with the given exit code at once and leaves the OS thread to return by itself
// (see processthreadsapi.h for why).
#include "core_internal.h"

#include <link.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include <process.h>

#include "errors.h"

namespace winapi {
namespace {

class ThreadObject final : public KernelObject {
 public:
  const char* TypeName() const override { return "Thread"; }
  bool IsWaitable() const override { return true; }
  bool IsSignaledFor(DWORD) const override { return finished_; }

  // All below with WaitLock() held.
  DWORD Id() const { return id_; }
  void SetId(DWORD id) { id_ = id; }
  bool Finished() const { return finished_; }
  DWORD ExitCode() const { return finished_ ? exitCode_ : STILL_ACTIVE; }
  DWORD SuspendCount() const { return suspendCount_; }
  bool Started() const { return started_; }
  void SetSuspendCount(DWORD count) { suspendCount_ = count; }
  void MarkStarted() { started_ = true; }
  int Priority() const { return priority_; }
  void SetPriority(int priority) { priority_ = priority; }

  // The first end counts; a terminated thread's own return later changes nothing.
  void Finish(DWORD exitCode) {
    if (finished_) return;
    finished_ = true;
    exitCode_ = exitCode;
    NotifyWaiters();
  }

 private:
  DWORD id_ = 0;
  DWORD suspendCount_ = 0;
  bool started_ = false;
  bool finished_ = false;
  DWORD exitCode_ = STILL_ACTIVE;
  int priority_ = THREAD_PRIORITY_NORMAL;
};

using ThreadPtr = std::shared_ptr<ThreadObject>;

constexpr DWORD kMaximumSuspendCount = 0x7F;
constexpr DWORD kErrorSignalRefused = 156;  // what a suspend count overflow reports

struct ThreadEntry {
  LPTHREAD_START_ROUTINE win32 = nullptr;
  _beginthreadex_proc_type crt = nullptr;
  void* parameter = nullptr;
  DWORD Run() const { return win32 ? win32(parameter) : static_cast<DWORD>(crt(parameter)); }
};

struct StartBlock {
  ThreadPtr object;
  ThreadEntry entry;
};

thread_local DWORD t_threadId = 0;
thread_local int t_priority = THREAD_PRIORITY_NORMAL;  // threads the layer did not create
thread_local ThreadObject* t_object = nullptr;

DWORD KernelThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

// Ends the object of the running thread when its function returns or unwinds.
class FinishOnExit {
 public:
  explicit FinishOnExit(ThreadPtr object) : object_(std::move(object)) {}
  ~FinishOnExit() {
    AbandonMutexesOfCurrentThread();
    std::lock_guard<std::mutex> guard(WaitLock());
    object_->Finish(exitCode_);
  }
  FinishOnExit(const FinishOnExit&) = delete;
  FinishOnExit& operator=(const FinishOnExit&) = delete;
  void SetExitCode(DWORD code) { exitCode_ = code; }

 private:
  ThreadPtr object_;
  DWORD exitCode_ = 0;
};

// Publishes the thread id, then waits while the thread is suspended. False when the
// thread was terminated before it could start.
bool AnnounceAndPassGate(ThreadObject& object) {
  std::unique_lock<std::mutex> lock(WaitLock());
  object.SetId(t_threadId);
  NotifyWaiters();
  WaitCondition().wait(lock, [&] { return object.SuspendCount() == 0 || object.Finished(); });
  if (object.Finished()) return false;
  object.MarkStarted();
  return true;
}

void* ThreadMain(void* argument) {
  std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(argument));
  t_threadId = KernelThreadId();
  t_object = start->object.get();
  if (!AnnounceAndPassGate(*start->object)) return nullptr;
  FinishOnExit finish(start->object);
  finish.SetExitCode(start->entry.Run());
  return nullptr;
}

// glibc carves the static TLS of every module out of the thread's stack; a Windows
// stack holds none, so it comes on top of the requested size.
size_t StaticTlsSize() {
  size_t total = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* sum) {
        for (int i = 0; i < info->dlpi_phnum; ++i)
          if (info->dlpi_phdr[i].p_type == PT_TLS) *static_cast<size_t*>(sum) += info->dlpi_phdr[i].p_memsz;
        return 0;
      },
      &total);
  return total;
}

size_t StackSizeFor(SIZE_T requested, DWORD flags) {
  if (requested == 0) return 0;  // the host's default
  // Without the reservation flag the size is what Windows commits; it reserves at least 1 MiB.
  constexpr size_t kDefaultReserve = 1u << 20;
  constexpr size_t kGranularity = 64u << 10;
  size_t size = requested;
  if (!(flags & STACK_SIZE_PARAM_IS_A_RESERVATION)) size = std::max(size, kDefaultReserve);
  size = std::max(size, static_cast<size_t>(PTHREAD_STACK_MIN)) + StaticTlsSize();
  return (size + kGranularity - 1) / kGranularity * kGranularity;
}

// Starts a thread; null handle with the last error set on failure. Everything that can
// fail for lack of memory comes before the thread starts: a failed call runs nothing.
HANDLE StartThread(const ThreadEntry& entry, SIZE_T stackSize, DWORD flags, LPDWORD threadId) {
  auto object = std::make_shared<ThreadObject>();
  if (flags & CREATE_SUSPENDED) object->SetSuspendCount(1);
  auto start = std::make_unique<StartBlock>(StartBlock{object, entry});
  HANDLE handle = InsertHandle(object);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (const size_t size = StackSizeFor(stackSize, flags)) pthread_attr_setstacksize(&attributes, size);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attributes, ThreadMain, start.get());
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    RemoveHandle(handle);
    FailWith(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(rc));
    return nullptr;
  }
  start.release();  // the thread owns it now
  DWORD id = 0;
  {
    // The id is known once the thread runs; callers get it from CreateThread.
    std::unique_lock<std::mutex> lock(WaitLock());
    WaitCondition().wait(lock, [&] { return object->Id() != 0; });
    id = object->Id();
  }
  if (threadId) *threadId = id;
  return handle;
}

bool IsCurrentThread(HANDLE handle) { return handle == CurrentThreadPseudoHandle(); }

// Windows priorities to nice values; raising needs privileges and is best effort.
int NiceValueFor(int priority) {
  switch (priority) {
    case THREAD_PRIORITY_TIME_CRITICAL: return -20;
    case THREAD_PRIORITY_HIGHEST: return -10;
    case THREAD_PRIORITY_ABOVE_NORMAL: return -5;
    case THREAD_PRIORITY_BELOW_NORMAL: return 5;
    case THREAD_PRIORITY_LOWEST: return 10;
    case THREAD_PRIORITY_IDLE: return 19;
    default: return 0;
  }
}

bool IsValidPriority(int priority) {
  return (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
         priority == THREAD_PRIORITY_TIME_CRITICAL || priority == THREAD_PRIORITY_IDLE;
}

void ApplyPriority(DWORD threadId, int priority) {
  if (threadId != 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), NiceValueFor(priority));
}

DWORD FailWithDword(DWORD error) {
  FailWith(error);
  return static_cast<DWORD>(-1);
}

}  // namespace
}  // namespace winapi

using winapi::FailWith;

// CreateThread
extern "C" WINBASEAPI HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                                                 LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                                 DWORD dwCreationFlags, LPDWORD lpThreadId) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    if (!lpStartAddress) {
      FailWith(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    winapi::ThreadEntry entry;
    entry.win32 = lpStartAddress;
    entry.parameter = lpParameter;
    return winapi::StartThread(entry, dwStackSize, dwCreationFlags, lpThreadId);
  });
}

// _beginthreadex
extern "C" WINAPI_EXPORT uintptr_t __cdecl _beginthreadex(void*, unsigned _StackSize,
                                                          _beginthreadex_proc_type _StartAddress, void* _ArgList,
                                                          unsigned _InitFlag, unsigned* _ThrdAddr) {
  if (!_StartAddress) {
    errno = EINVAL;
    return 0;
  }
  winapi::ThreadEntry entry;
  entry.crt = _StartAddress;
  entry.parameter = _ArgList;
  DWORD id = 0;
  HANDLE handle = winapi::GuardedHandle<HANDLE>([&] { return winapi::StartThread(entry, _StackSize, _InitFlag, &id); });
  if (!handle) {
    errno = EAGAIN;
    return 0;
  }
  if (_ThrdAddr) *_ThrdAddr = id;
  return reinterpret_cast<uintptr_t>(handle);
}

// _endthreadex
extern "C" WINAPI_EXPORT void __cdecl _endthreadex(unsigned _Retval) { ExitThread(_Retval); }

// ExitThread: ends the calling thread through pthread_exit, which unwinds its stack.
extern "C" WINBASEAPI void WINAPI ExitThread(DWORD dwExitCode) {
  winapi::AbandonMutexesOfCurrentThread();
  if (winapi::t_object) {
    std::lock_guard<std::mutex> guard(winapi::WaitLock());
    winapi::t_object->Finish(dwExitCode);
  }
  pthread_exit(nullptr);
}

// ResumeThread: returns the previous suspend count.
extern "C" WINBASEAPI DWORD WINAPI ResumeThread(HANDLE hThread) {
  if (winapi::IsCurrentThread(hThread)) return 0;
  auto thread = winapi::LookupHandleAs<winapi::ThreadObject>(hThread);
  if (!thread) return winapi::FailWithDword(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(winapi::WaitLock());
  const DWORD previous = thread->SuspendCount();
  if (previous > 0) thread->SetSuspendCount(previous - 1);
  if (previous == 1) winapi::NotifyWaiters();
  return previous;
}

// SuspendThread: only a thread that has not started yet can be held (see the header).
extern "C" WINBASEAPI DWORD WINAPI SuspendThread(HANDLE hThread) {
  if (winapi::IsCurrentThread(hThread)) return winapi::FailWithDword(ERROR_NOT_SUPPORTED);
  auto thread = winapi::LookupHandleAs<winapi::ThreadObject>(hThread);
  if (!thread) return winapi::FailWithDword(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(winapi::WaitLock());
  if (thread->Started() || thread->Finished()) return winapi::FailWithDword(ERROR_NOT_SUPPORTED);
  const DWORD previous = thread->SuspendCount();
  if (previous >= winapi::kMaximumSuspendCount) return winapi::FailWithDword(winapi::kErrorSignalRefused);
  thread->SetSuspendCount(previous + 1);
  return previous;
}

// GetCurrentThread
extern "C" WINBASEAPI HANDLE WINAPI GetCurrentThread(void) { return winapi::CurrentThreadPseudoHandle(); }

// GetCurrentThreadId: the kernel thread id, cached per thread.
extern "C" WINBASEAPI DWORD WINAPI GetCurrentThreadId(void) {
  if (winapi::t_threadId == 0) winapi::t_threadId = winapi::KernelThreadId();
  return winapi::t_threadId;
}

// GetThreadId
extern "C" WINBASEAPI DWORD WINAPI GetThreadId(HANDLE Thread) {
  if (winapi::IsCurrentThread(Thread)) return GetCurrentThreadId();
  auto thread = winapi::LookupHandleAs<winapi::ThreadObject>(Thread);
  if (!thread) {
    FailWith(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> guard(winapi::WaitLock());
  return thread->Id();
}

// GetExitCodeThread: STILL_ACTIVE while the thread runs.
extern "C" WINBASEAPI BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  if (!lpExitCode) return FailWith(ERROR_INVALID_PARAMETER);
  if (winapi::IsCurrentThread(hThread)) {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto thread = winapi::LookupHandleAs<winapi::ThreadObject>(hThread);
  if (!thread) return FailWith(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(winapi::WaitLock());
  *lpExitCode = thread->ExitCode();
  return TRUE;
}

// TerminateThread: signals the thread's object with the exit code; the OS thread is
// left to return by itself (see processthreadsapi.h). A thread still held suspended
// never runs its function.
extern "C" WINBASEAPI BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  if (winapi::IsCurrentThread(hThread)) ExitThread(dwExitCode);
  auto thread = winapi::LookupHandleAs<winapi::ThreadObject>(hThread);
  if (!thread) return FailWith(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(winapi::WaitLock());
  thread->Finish(dwExitCode);
  return TRUE;
}

// SetThreadPriority: stored, and applied as the thread's nice value where permitted.
extern "C" WINBASEAPI BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
  if (!winapi::IsValidPriority(nPriority)) return FailWith(ERROR_INVALID_PARAMETER);
  if (winapi::IsCurrentThread(hThread)) {
    if (winapi::t_object) {
      std::lock_guard<std::mutex> guard(winapi::WaitLock());
      winapi::t_object->SetPriority(nPriority);
    } else {
      winapi::t_priority = nPriority;
    }
    winapi::ApplyPriority(GetCurrentThreadId(), nPriority);
    return TRUE;
  }
  auto thread = winapi::LookupHandleAs<winapi::ThreadObject>(hThread);
  if (!thread) return FailWith(ERROR_INVALID_HANDLE);
  DWORD id = 0;
  {
    std::lock_guard<std::mutex> guard(winapi::WaitLock());
    thread->SetPriority(nPriority);
    if (!thread->Finished()) id = thread->Id();
  }
  winapi::ApplyPriority(id, nPriority);
  return TRUE;
}

// GetThreadPriority
extern "C" WINBASEAPI int WINAPI GetThreadPriority(HANDLE hThread) {
  std::shared_ptr<winapi::ThreadObject> thread;
  winapi::ThreadObject* object = nullptr;
  if (winapi::IsCurrentThread(hThread)) {
    if (!winapi::t_object) return winapi::t_priority;
    object = winapi::t_object;
  } else {
    thread = winapi::LookupHandleAs<winapi::ThreadObject>(hThread);
    object = thread.get();
  }
  if (!object) {
    FailWith(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  std::lock_guard<std::mutex> guard(winapi::WaitLock());
  return object->Priority();
}

// SwitchToThread
extern "C" WINBASEAPI BOOL WINAPI SwitchToThread(void) {
  sched_yield();
  return TRUE;
}

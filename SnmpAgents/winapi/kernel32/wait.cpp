// The wait functions and Sleep. Every wait runs under the one WaitLock() and sleeps on
// WaitCondition(); objects that other processes change are polled.
#include "core_internal.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "errors.h"

namespace winapi {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollPeriod = std::chrono::milliseconds(2);

// The pseudo handles of the current process and thread: valid, never signalled.
class NeverSignaled final : public KernelObject {
 public:
  const char* TypeName() const override { return "Self"; }
  bool IsWaitable() const override { return true; }
};

bool NeedsPolling(const std::vector<ObjectPtr>& objects) {
  for (const auto& object : objects) {
    const auto* external = dynamic_cast<const ExternallyChanged*>(object.get());
    if (external && external->ChangesOutsideProcess()) return true;
  }
  return false;
}

void ReleaseUnclaimed(const std::vector<ObjectPtr>& objects) {
  for (const auto& object : objects)
    if (auto* external = dynamic_cast<ExternallyChanged*>(object.get())) external->ReleaseUnclaimed();
}

// WAIT_OBJECT_0 + i or WAIT_ABANDONED_0 + i when the wait is satisfied now, else nullopt.
std::optional<DWORD> TrySatisfy(const std::vector<ObjectPtr>& objects, bool waitAll, DWORD threadId) {
  if (!waitAll) {
    for (DWORD i = 0; i < objects.size(); ++i) {
      if (!objects[i]->IsSignaledFor(threadId)) continue;
      return (objects[i]->AcquireFor(threadId) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
    }
    return std::nullopt;
  }
  const bool all = std::all_of(objects.begin(), objects.end(),
                               [threadId](const ObjectPtr& object) { return object->IsSignaledFor(threadId); });
  if (!all) {
    ReleaseUnclaimed(objects);
    return std::nullopt;
  }
  std::optional<DWORD> abandoned;
  for (DWORD i = 0; i < objects.size(); ++i)
    if (objects[i]->AcquireFor(threadId) && !abandoned) abandoned = i;
  return abandoned ? WAIT_ABANDONED_0 + *abandoned : WAIT_OBJECT_0;
}

// The objects behind the handles, or WAIT_FAILED with the last error set.
std::optional<std::vector<ObjectPtr>> ResolveWaitHandles(DWORD count, const HANDLE* handles, bool waitAll) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    FailWith(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  std::vector<ObjectPtr> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    ObjectPtr object;
    if (handles[i] == CurrentProcessPseudoHandle() || handles[i] == CurrentThreadPseudoHandle())
      object = std::make_shared<NeverSignaled>();
    else
      object = LookupHandle(handles[i]);
    if (!object || !object->IsWaitable()) {
      FailWith(ERROR_INVALID_HANDLE);
      return std::nullopt;
    }
    // Waiting for all of one object twice cannot be satisfied consistently.
    if (waitAll && std::find(objects.begin(), objects.end(), object) != objects.end()) {
      FailWith(ERROR_INVALID_PARAMETER);
      return std::nullopt;
    }
    objects.push_back(std::move(object));
  }
  return objects;
}

// Resolving the handles allocates; the guard costs nothing until something throws.
DWORD WaitForHandles(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds) {
  return GuardedLastError<DWORD>(WAIT_FAILED, [&] {
    const auto objects = ResolveWaitHandles(count, handles, waitAll);
    if (!objects) return WAIT_FAILED;
    return WaitForObjects(*objects, waitAll, milliseconds);
  });
}

}  // namespace

Deadline DeadlineAfter(DWORD milliseconds) {
  if (milliseconds == INFINITE) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(milliseconds);
}

DWORD WaitForObjects(const std::vector<ObjectPtr>& objects, bool waitAll, DWORD milliseconds) {
  const DWORD threadId = GetCurrentThreadId();
  const Deadline deadline = DeadlineAfter(milliseconds);
  const bool polling = NeedsPolling(objects);
  std::unique_lock<std::mutex> lock(WaitLock());
  for (;;) {
    if (auto result = TrySatisfy(objects, waitAll, threadId)) return *result;
    const auto now = Clock::now();
    if (deadline && now >= *deadline) return WAIT_TIMEOUT;
    if (!polling && !deadline) {
      WaitCondition().wait(lock);
      continue;
    }
    auto wake = polling ? now + kPollPeriod : *deadline;
    if (deadline) wake = std::min(wake, *deadline);
    WaitCondition().wait_until(lock, wake);
  }
}

}  // namespace winapi

// WaitForSingleObject
extern "C" WINBASEAPI DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return winapi::WaitForHandles(1, &hHandle, false, dwMilliseconds);
}

// WaitForSingleObjectEx: there are no APCs to deliver, so alertable waits are plain waits.
extern "C" WINBASEAPI DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL) {
  return winapi::WaitForHandles(1, &hHandle, false, dwMilliseconds);
}

// WaitForMultipleObjects
extern "C" WINBASEAPI DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                                          DWORD dwMilliseconds) {
  return winapi::WaitForHandles(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds);
}

// WaitForMultipleObjectsEx
extern "C" WINBASEAPI DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                                            DWORD dwMilliseconds, BOOL) {
  return winapi::WaitForHandles(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds);
}

// SignalObjectAndWait: events, mutexes and semaphores can be signalled.
extern "C" WINBASEAPI DWORD WINAPI SignalObjectAndWait(HANDLE hObjectToSignal, HANDLE hObjectToWaitOn,
                                                       DWORD dwMilliseconds, BOOL) {
  return winapi::GuardedLastError<DWORD>(WAIT_FAILED, [&]() -> DWORD {
    const auto target = winapi::ResolveWaitHandles(1, &hObjectToWaitOn, false);
    if (!target) return WAIT_FAILED;
    const auto object = winapi::LookupHandle(hObjectToSignal);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    const std::string_view type = object->TypeName();
    BOOL signaled = FALSE;
    if (type == "Event") signaled = SetEvent(hObjectToSignal);
    else if (type == "Mutex") signaled = ReleaseMutex(hObjectToSignal);
    else if (type == "Semaphore") signaled = ReleaseSemaphore(hObjectToSignal, 1, nullptr);
    else SetLastError(ERROR_INVALID_HANDLE);
    if (!signaled) return WAIT_FAILED;
    return winapi::WaitForObjects(*target, false, dwMilliseconds);
  });
}

// Sleep: Sleep(0) gives up the rest of the time slice.
extern "C" WINBASEAPI void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) pause();
  }
  struct timespec wake {};
  clock_gettime(CLOCK_MONOTONIC, &wake);
  wake.tv_sec += dwMilliseconds / 1000;
  wake.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
  if (wake.tv_nsec >= 1000000000L) {
    wake.tv_sec += 1;
    wake.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
  }
}

// SleepEx: nothing can interrupt it without APCs, so it always returns 0.
extern "C" WINBASEAPI DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL) {
  Sleep(dwMilliseconds);
  return 0;
}

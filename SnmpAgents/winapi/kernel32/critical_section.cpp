// Critical sections and one-time initialisation.
//
// A CRITICAL_SECTION holds a pointer to a pthread mutex the layer allocates; the
// recursion is counted in the structure's own fields by the owner, as Windows does, so
// that TryEnter from another thread fails and re-entry by the owner succeeds.
#include "core_internal.h"

#include <pthread.h>
#include <sched.h>

#include <condition_variable>
#include <mutex>
#include <new>

#include "errors.h"

namespace {

using OwnerId = uintptr_t;

pthread_mutex_t* LockOf(LPCRITICAL_SECTION section) {
  auto* lock = static_cast<pthread_mutex_t*>(__atomic_load_n(&section->DebugInfo, __ATOMIC_ACQUIRE));
  if (lock) return lock;
  // Zero-filled, or initialised without memory: create the lock on first use. Entering
  // cannot fail, so a lack of memory is waited out rather than thrown at the caller.
  pthread_mutex_t* created = nullptr;
  while (!(created = new (std::nothrow) pthread_mutex_t)) sched_yield();
  pthread_mutex_init(created, nullptr);
  void* expected = nullptr;
  if (__atomic_compare_exchange_n(&section->DebugInfo, &expected, created, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_ACQUIRE))
    return created;
  pthread_mutex_destroy(created);
  delete created;
  return static_cast<pthread_mutex_t*>(expected);
}

OwnerId CurrentOwnerId() { return static_cast<OwnerId>(GetCurrentThreadId()); }

OwnerId OwnerOf(LPCRITICAL_SECTION section) {
  return reinterpret_cast<OwnerId>(__atomic_load_n(&section->OwningThread, __ATOMIC_RELAXED));
}

void TakeOwnership(LPCRITICAL_SECTION section, OwnerId owner) {
  __atomic_store_n(&section->OwningThread, reinterpret_cast<HANDLE>(owner), __ATOMIC_RELAXED);
  section->RecursionCount = 1;
}

// False when there is no memory for the lock; the section is then made on first use.
bool InitializeSection(LPCRITICAL_SECTION section, DWORD spinCount) {
  auto* lock = new (std::nothrow) pthread_mutex_t;
  if (lock) pthread_mutex_init(lock, nullptr);
  section->DebugInfo = lock;
  section->LockCount = -1;
  section->RecursionCount = 0;
  section->OwningThread = nullptr;
  section->LockSemaphore = nullptr;
  section->SpinCount = spinCount;
  return lock != nullptr;
}

// ---- InitOnce: Ptr is 0 (not run), kRunning, or the context with kDone in its low bits.

constexpr uintptr_t kRunning = 1;
constexpr uintptr_t kDone = 2;
constexpr uintptr_t kStateMask = (uintptr_t{1} << INIT_ONCE_CTX_RESERVED_BITS) - 1;

std::mutex& InitOnceLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::condition_variable& InitOnceDone() {
  static auto* condition = new std::condition_variable;
  return *condition;
}

uintptr_t LoadState(PINIT_ONCE once) {
  return reinterpret_cast<uintptr_t>(__atomic_load_n(&once->Ptr, __ATOMIC_ACQUIRE));
}

void StoreState(PINIT_ONCE once, uintptr_t state) {
  {
    std::lock_guard<std::mutex> guard(InitOnceLock());
    __atomic_store_n(&once->Ptr, reinterpret_cast<PVOID>(state), __ATOMIC_RELEASE);
  }
  InitOnceDone().notify_all();
}

// True when this caller must run the callback; otherwise waits until it has run.
bool ClaimOrWait(PINIT_ONCE once) {
  std::unique_lock<std::mutex> lock(InitOnceLock());
  for (;;) {
    const uintptr_t state = LoadState(once);
    if ((state & kStateMask) == kDone) return false;
    if (state == 0) {
      __atomic_store_n(&once->Ptr, reinterpret_cast<PVOID>(kRunning), __ATOMIC_RELAXED);
      return true;
    }
    InitOnceDone().wait(lock);
  }
}

}  // namespace

// InitializeCriticalSection: cannot fail; without memory now, the lock is made on first use.
extern "C" WINBASEAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  InitializeSection(lpCriticalSection, 0);
}

// InitializeCriticalSectionAndSpinCount: spinning is left to the pthread mutex.
extern "C" WINBASEAPI BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                                        DWORD dwSpinCount) {
  if (!InitializeSection(lpCriticalSection, dwSpinCount)) return winapi::FailWith(ERROR_NOT_ENOUGH_MEMORY);
  return TRUE;
}

// InitializeCriticalSectionEx
extern "C" WINBASEAPI BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount,
                                                              DWORD) {
  if (!InitializeSection(lpCriticalSection, dwSpinCount)) return winapi::FailWith(ERROR_NOT_ENOUGH_MEMORY);
  return TRUE;
}

// SetCriticalSectionSpinCount
extern "C" WINBASEAPI DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                               DWORD dwSpinCount) {
  const auto previous = static_cast<DWORD>(lpCriticalSection->SpinCount);
  lpCriticalSection->SpinCount = dwSpinCount;
  return previous;
}

// EnterCriticalSection
extern "C" WINBASEAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  const OwnerId self = CurrentOwnerId();
  if (OwnerOf(lpCriticalSection) == self) {
    ++lpCriticalSection->RecursionCount;
    return;
  }
  pthread_mutex_lock(LockOf(lpCriticalSection));
  TakeOwnership(lpCriticalSection, self);
}

// TryEnterCriticalSection
extern "C" WINBASEAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  const OwnerId self = CurrentOwnerId();
  if (OwnerOf(lpCriticalSection) == self) {
    ++lpCriticalSection->RecursionCount;
    return TRUE;
  }
  if (pthread_mutex_trylock(LockOf(lpCriticalSection)) != 0) return FALSE;
  TakeOwnership(lpCriticalSection, self);
  return TRUE;
}

// LeaveCriticalSection: a call by a thread that does not own the section is ignored
// (undefined on Windows; unlocking a mutex of another thread would be undefined here).
extern "C" WINBASEAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (OwnerOf(lpCriticalSection) != CurrentOwnerId()) return;
  if (--lpCriticalSection->RecursionCount > 0) return;
  __atomic_store_n(&lpCriticalSection->OwningThread, nullptr, __ATOMIC_RELAXED);
  pthread_mutex_unlock(LockOf(lpCriticalSection));
}

// DeleteCriticalSection
extern "C" WINBASEAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  auto* lock = static_cast<pthread_mutex_t*>(lpCriticalSection->DebugInfo);
  if (lock) {
    pthread_mutex_destroy(lock);
    delete lock;
  }
  lpCriticalSection->DebugInfo = nullptr;
  lpCriticalSection->RecursionCount = 0;
  lpCriticalSection->OwningThread = nullptr;
}

// InitOnceInitialize
extern "C" WINBASEAPI void WINAPI InitOnceInitialize(PINIT_ONCE InitOnce) { InitOnce->Ptr = nullptr; }

// InitOnceExecuteOnce: concurrent callers wait for the one that runs the callback; a
// callback that fails leaves the object unrun, so a later call tries again.
extern "C" WINBASEAPI BOOL WINAPI InitOnceExecuteOnce(PINIT_ONCE InitOnce, PINIT_ONCE_FN InitFn, PVOID Parameter,
                                                      LPVOID* Context) {
  if (!InitOnce || !InitFn) return winapi::FailWith(ERROR_INVALID_PARAMETER);
  if ((LoadState(InitOnce) & kStateMask) != kDone && ClaimOrWait(InitOnce)) {
    PVOID context = nullptr;
    if (!InitFn(InitOnce, Parameter, &context)) {
      StoreState(InitOnce, 0);
      return FALSE;
    }
    StoreState(InitOnce, (reinterpret_cast<uintptr_t>(context) & ~kStateMask) | kDone);
  }
  if (Context) *Context = reinterpret_cast<PVOID>(LoadState(InitOnce) & ~kStateMask);
  return TRUE;
}

// Events, mutexes, semaphores, the wait functions, critical sections and one-time
// initialisation, including a named mutex shared with a second process.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "conformance.h"
#include "core_testing.h"

#if !defined(_WIN32)
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

using conformance::kSentinel;
using core_testing::Handle;
using core_testing::kAbandoned;
using core_testing::kFailed;
using core_testing::kSignaled;
using core_testing::kTimeout;

std::wstring UniqueName(const wchar_t* base) {
  static std::atomic<int> serial{0};
  return std::wstring(L"k1-") + base + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(serial++);
}

// Waiters that each count one successful wait on a shared object.
class Waiters {
 public:
  Waiters(HANDLE object, int count) : object_(object) {
    for (int i = 0; i < count; ++i)
      threads_.emplace_back([this] {
        if (WaitForSingleObject(object_, 5000) == kSignaled) ++woken_;
      });
  }
  ~Waiters() {
    for (auto& thread : threads_) thread.join();
  }
  int Woken() const { return woken_; }

 private:
  HANDLE object_;
  std::atomic<int> woken_{0};
  std::vector<std::thread> threads_;
};

TEST(SyncEvents, SetWakesOneWaiterOfAnAutoResetEventAndAllOfAManualOne) {
  struct Case {
    BOOL manualReset;
    int wokenBySet;
  };
  for (const Case& c : {Case{FALSE, 1}, Case{TRUE, 3}}) {
    Handle event(CreateEventW(nullptr, c.manualReset, FALSE, nullptr));
    ASSERT_TRUE(event);
    Waiters waiters(event.get(), 3);
    Sleep(100);  // let them block
    ASSERT_TRUE(SetEvent(event.get()));
    Sleep(200);
    EXPECT_EQ(waiters.Woken(), c.wokenBySet) << "manual reset " << c.manualReset;
    // Release the rest so that the waiters end.
    for (int i = waiters.Woken(); i < 3; ++i) {
      SetEvent(event.get());
      Sleep(50);
    }
  }
}

TEST(SyncEvents, InitialStateAndResetDecideWhatWaitsSee) {
  struct Case {
    BOOL manualReset;
    BOOL initialState;
    bool resetFirst;
    DWORD firstWait;
    DWORD secondWait;
  };
  const Case cases[] = {
      {FALSE, TRUE, false, kSignaled, kTimeout},  // an auto-reset event is consumed by the wait
      {TRUE, TRUE, false, kSignaled, kSignaled},
      {FALSE, FALSE, false, kTimeout, kTimeout},
      {TRUE, TRUE, true, kTimeout, kTimeout},
  };
  for (const Case& c : cases) {
    Handle event(CreateEventW(nullptr, c.manualReset, c.initialState, nullptr));
    ASSERT_TRUE(event);
    if (c.resetFirst) {
      ASSERT_TRUE(ResetEvent(event.get()));
    }
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), c.firstWait) << c.manualReset << c.initialState << c.resetFirst;
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), c.secondWait) << c.manualReset << c.initialState << c.resetFirst;
  }
}

TEST(SyncEvents, TimedWaitReturnsTimeoutAfterRoughlyTheTime) {
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event.get(), 100), kTimeout);
  const auto elapsed = core_testing::MillisecondsSince(start);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 2000);
}

TEST(SyncMutexes, OwnerRecursesOthersWaitAndOnlyTheOwnerReleases) {
  Handle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_TRUE(mutex);
  ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), kSignaled);  // recursion 2
  ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), kSignaled);  // recursion 3

  DWORD otherWait = 0, otherRelease = TRUE, otherError = 0;
  std::thread([&] {
    otherWait = WaitForSingleObject(mutex.get(), 50);
    SetLastError(kSentinel);
    otherRelease = ReleaseMutex(mutex.get());
    otherError = GetLastError();
  }).join();
  EXPECT_EQ(otherWait, kTimeout);
  EXPECT_FALSE(otherRelease);
  EXPECT_EQ(otherError, static_cast<DWORD>(ERROR_NOT_OWNER));

  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(mutex.get())) << "release " << i;
  SetLastError(kSentinel);
  EXPECT_FALSE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  std::thread([&] {
    otherWait = WaitForSingleObject(mutex.get(), 0);
    otherRelease = ReleaseMutex(mutex.get());
  }).join();
  EXPECT_EQ(otherWait, kSignaled);
  EXPECT_TRUE(otherRelease);
}

DWORD WINAPI TakeAndEnd(LPVOID mutex) { return WaitForSingleObject(static_cast<HANDLE>(mutex), 0); }

TEST(SyncMutexes, MutexOfAnEndedOwnerIsAbandonedOnceThenOwnedByTheWaiter) {
  struct Case {
    const char* how;
    bool win32Thread;
  };
  for (const Case& c : {Case{"CreateThread", true}, Case{"std::thread", false}}) {
    Handle mutex(CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex);
    if (c.win32Thread) {
      Handle thread(CreateThread(nullptr, 0, TakeAndEnd, mutex.get(), 0, nullptr));
      ASSERT_EQ(WaitForSingleObject(thread.get(), 5000), kSignaled);
    } else {
      std::thread([&] { TakeAndEnd(mutex.get()); }).join();
    }
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 2000), kAbandoned) << c.how;
    EXPECT_TRUE(ReleaseMutex(mutex.get())) << c.how << ": the waiter owns it";
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), kSignaled) << c.how << ": abandoned only once";
    ReleaseMutex(mutex.get());
  }
}

TEST(SyncMutexes, WaitForMultipleReportsTheIndexOfTheAbandonedMutex) {
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  std::thread([&] { WaitForSingleObject(mutex.get(), 0); }).join();
  const HANDLE both[] = {event.get(), mutex.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 1000), kAbandoned + 1);
  ASSERT_TRUE(ReleaseMutex(mutex.get()));

  std::thread([&] { WaitForSingleObject(mutex.get(), 0); }).join();
  ASSERT_TRUE(SetEvent(event.get()));
  const DWORD all = WaitForMultipleObjects(2, both, TRUE, 1000);
  EXPECT_TRUE(all >= kAbandoned && all < kAbandoned + 2) << all;
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST(SyncNamedObjects, NamesShareObjectsAndRejectOtherTypes) {
  const std::wstring name = UniqueName(L"named");
  SetLastError(kSentinel);
  Handle first(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(first);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  SetLastError(kSentinel);
  Handle second(CreateEventW(nullptr, FALSE, TRUE, name.c_str()));  // arguments ignored
  ASSERT_TRUE(second);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(second.get(), 0), kTimeout) << "the existing, unsignalled event";
  ASSERT_TRUE(SetEvent(second.get()));
  EXPECT_EQ(WaitForSingleObject(first.get(), 0), kSignaled);

  Handle opened(OpenEventW(EVENT_ALL_ACCESS, FALSE, name.c_str()));
  EXPECT_TRUE(opened) << GetLastError();

  const std::wstring missing = UniqueName(L"missing");
  struct Refusal {
    const char* what;
    HANDLE (*open)(const std::wstring& name);
    bool onMissingName;
    DWORD error;
  };
  const Refusal refusals[] = {
      {"CreateMutexW on an event name", [](const std::wstring& n) { return CreateMutexW(nullptr, FALSE, n.c_str()); },
       false, ERROR_INVALID_HANDLE},
      {"CreateSemaphoreW on an event name",
       [](const std::wstring& n) { return CreateSemaphoreW(nullptr, 0, 1, n.c_str()); }, false, ERROR_INVALID_HANDLE},
      {"OpenMutexW on an event name",
       [](const std::wstring& n) { return OpenMutexW(MUTEX_ALL_ACCESS, FALSE, n.c_str()); }, false,
       ERROR_INVALID_HANDLE},
      {"OpenEventW of a missing name",
       [](const std::wstring& n) { return OpenEventW(EVENT_ALL_ACCESS, FALSE, n.c_str()); }, true,
       ERROR_FILE_NOT_FOUND},
  };
  for (const Refusal& r : refusals) {
    SetLastError(kSentinel);
    EXPECT_EQ(r.open(r.onMissingName ? missing : name), nullptr) << r.what;
    EXPECT_EQ(GetLastError(), r.error) << r.what;
  }

  first.Reset();
  second.Reset();
  opened.Reset();
  SetLastError(kSentinel);
  Handle reused(CreateMutexW(nullptr, FALSE, name.c_str()));
  EXPECT_TRUE(reused) << "the name is free once every handle is closed: " << GetLastError();
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST(SyncNamedObjects, ExistingNamedMutexIsNotTakenByInitialOwner) {
  const std::wstring name = UniqueName(L"mutex");
  Handle first(CreateMutexW(nullptr, FALSE, name.c_str()));
  ASSERT_TRUE(first);
  std::thread([&] {
    SetLastError(kSentinel);
    Handle again(CreateMutexW(nullptr, TRUE, name.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    SetLastError(kSentinel);
    EXPECT_FALSE(ReleaseMutex(again.get())) << "bInitialOwner is ignored for an existing mutex";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  }).join();
  EXPECT_EQ(WaitForSingleObject(first.get(), 0), kSignaled);
  EXPECT_TRUE(ReleaseMutex(first.get()));
}

TEST(SyncWaits, WaitAnyPicksTheLowestSignalledAndWaitAllNeedsEveryOne) {
  Handle autoEvent(CreateEventW(nullptr, FALSE, TRUE, nullptr));
  Handle manualEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle later(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  const HANDLE handles[] = {manualEvent.get(), autoEvent.get(), later.get()};

  EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 0), kTimeout);
  EXPECT_EQ(WaitForSingleObject(autoEvent.get(), 0), kSignaled) << "an unsatisfied wait-all consumed the event";
  SetEvent(autoEvent.get());
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), kSignaled + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), kSignaled + 2);

  SetEvent(autoEvent.get());
  std::thread setter([&] {
    Sleep(50);
    SetEvent(manualEvent.get());
  });
  EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 5000), kSignaled);
  setter.join();
  EXPECT_EQ(WaitForSingleObject(autoEvent.get(), 0), kTimeout) << "wait-all takes the auto-reset event";
}

TEST(SyncWaits, BadArgumentsFailWithTheDocumentedErrors) {
  Handle event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  CloseHandle(closed);
  std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, event.get());
  const HANDLE withClosed[] = {event.get(), closed};
  const HANDLE bogus[] = {reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7ff0))};
  struct Case {
    const char* what;
    DWORD count;
    const HANDLE* handles;
    DWORD error;
  };
  const Case cases[] = {
      {"no handles", 0, withClosed, ERROR_INVALID_PARAMETER},
      {"more than MAXIMUM_WAIT_OBJECTS", MAXIMUM_WAIT_OBJECTS + 1, tooMany.data(), ERROR_INVALID_PARAMETER},
      {"a closed handle", 2, withClosed, ERROR_INVALID_HANDLE},
      {"a value never handed out", 1, bogus, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, FALSE, 0), kFailed) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  SetLastError(kSentinel);
  EXPECT_EQ(WaitForSingleObject(closed, 0), kFailed);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SyncSemaphores, CountsDownOnWaitsAndRefusesToExceedTheMaximum) {
  Handle semaphore(CreateSemaphoreW(nullptr, 2, 3, nullptr));
  ASSERT_TRUE(semaphore);
  EXPECT_EQ(WaitForSingleObject(semaphore.get(), 0), kSignaled);
  EXPECT_EQ(WaitForSingleObject(semaphore.get(), 0), kSignaled);
  EXPECT_EQ(WaitForSingleObject(semaphore.get(), 0), kTimeout);
  LONG previous = -1;
  ASSERT_TRUE(ReleaseSemaphore(semaphore.get(), 3, &previous));
  EXPECT_EQ(previous, 0);
  SetLastError(kSentinel);
  EXPECT_FALSE(ReleaseSemaphore(semaphore.get(), 1, &previous));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));
  EXPECT_EQ(WaitForSingleObject(semaphore.get(), 0), kSignaled) << "a refused release must not change the count";
  SetLastError(kSentinel);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 4, 3, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SyncCriticalSections, OwnerReentersOthersTryInVainUntilTheLastLeave) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  auto tryFromOtherThread = [&] {
    BOOL entered = FALSE;
    std::thread([&] {
      entered = TryEnterCriticalSection(&section);
      if (entered) LeaveCriticalSection(&section);
    }).join();
    return entered;
  };
  EXPECT_FALSE(tryFromOtherThread());
  LeaveCriticalSection(&section);
  EXPECT_FALSE(tryFromOtherThread()) << "still entered once";
  LeaveCriticalSection(&section);
  EXPECT_TRUE(tryFromOtherThread());
  DeleteCriticalSection(&section);
}

TEST(SyncCriticalSections, ExcludesConcurrentIncrements) {
  CRITICAL_SECTION section;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 4000));
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&section);
        counter = counter + 1;
        LeaveCriticalSection(&section);
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 80000);
  DeleteCriticalSection(&section);
}

struct OnceProbe {
  std::atomic<int> calls{0};
  BOOL result = TRUE;
};

BOOL WINAPI SlowInit(PINIT_ONCE, PVOID parameter, PVOID* context) {
  auto* probe = static_cast<OnceProbe*>(parameter);
  ++probe->calls;
  Sleep(30);
  *context = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(0x1230));
  return probe->result;
}

TEST(SyncInitOnce, RunsTheCallbackOnceUnderContentionAndRetriesAfterFailure) {
  INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  OnceProbe probe;
  std::atomic<int> sawContext{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      PVOID context = nullptr;
      if (InitOnceExecuteOnce(&once, SlowInit, &probe, &context) &&
          context == reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(0x1230)))
        ++sawContext;
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_EQ(sawContext.load(), 8);

  INIT_ONCE failing = INIT_ONCE_STATIC_INIT;
  OnceProbe refusing;
  refusing.result = FALSE;
  EXPECT_FALSE(InitOnceExecuteOnce(&failing, SlowInit, &refusing, nullptr));
  refusing.result = TRUE;
  EXPECT_TRUE(InitOnceExecuteOnce(&failing, SlowInit, &refusing, nullptr));
  EXPECT_EQ(refusing.calls.load(), 2);
}

TEST(SyncLastError, EachThreadHasItsOwn) {
  SetLastError(1234);
  DWORD seenByOther = 0;
  std::thread([&] {
    seenByOther = GetLastError();
    SetLastError(5678);
  }).join();
  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

// ---- a named mutex held by another process ----

#if !defined(_WIN32)
constexpr const char* kChildMutexVar = "K1_CHILD_MUTEX";
constexpr const char* kChildMarkerVar = "K1_CHILD_MARKER";
constexpr const char* kChildReleaseVar = "K1_CHILD_RELEASE";

// Run by the parent test in a second process: takes the mutex, says so, holds it a
// while, then releases it or ends without releasing.
TEST(SyncCrossProcess, DISABLED_ChildHoldsMutex) {
  const char* name = std::getenv(kChildMutexVar);
  const char* marker = std::getenv(kChildMarkerVar);
  ASSERT_TRUE(name && marker);
  const std::wstring wide(name, name + std::char_traits<char>::length(name));
  HANDLE mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(WaitForSingleObject(mutex, 5000), kSignaled);
  if (FILE* file = std::fopen(marker, "w")) std::fclose(file);
  Sleep(300);
  if (std::getenv(kChildReleaseVar)) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return;
  }
  _exit(0);  // still owning it
}

pid_t SpawnChild(const std::string& name, const std::string& marker, bool release) {
  std::vector<std::string> args = {"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                   "--gtest_filter=SyncCrossProcess.DISABLED_ChildHoldsMutex"};
  std::vector<std::string> env = {std::string(kChildMutexVar) + "=" + name,
                                  std::string(kChildMarkerVar) + "=" + marker};
  if (release) env.push_back(std::string(kChildReleaseVar) + "=1");
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}
#endif

TEST(SyncCrossProcess, NamedMutexSerialisesProcessesAndReportsAnAbandonedOwner) {
#if defined(_WIN32)
  GTEST_SKIP() << "the second process is started with posix_spawn";
#else
  struct Case {
    bool childReleases;
    DWORD expected;
  };
  for (const Case& c : {Case{true, kSignaled}, Case{false, kAbandoned}}) {
    const std::wstring wideName = UniqueName(L"CFileDebug_cross");
    const std::string name(wideName.begin(), wideName.end());
    const std::string marker = "/tmp/" + name + ".held";
    Handle mutex(CreateMutexW(nullptr, FALSE, wideName.c_str()));
    ASSERT_TRUE(mutex);
    const pid_t child = SpawnChild(name, marker, c.childReleases);
    ASSERT_GT(child, 0);
    Handle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(child)));
    ASSERT_TRUE(process) << GetLastError();
    EXPECT_EQ(GetProcessId(process.get()), static_cast<DWORD>(child));

    for (int i = 0; i < 500 && access(marker.c_str(), F_OK) != 0; ++i) Sleep(10);
    ASSERT_EQ(access(marker.c_str(), F_OK), 0) << "the child never took the mutex";
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 50), kTimeout) << "the child owns it";
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 5000), c.expected) << "child releases " << c.childReleases;
    EXPECT_TRUE(ReleaseMutex(mutex.get()));

    EXPECT_EQ(WaitForSingleObject(process.get(), 5000), kSignaled) << "process handle signalled at exit";
    DWORD exitCode = STILL_ACTIVE;
    EXPECT_TRUE(GetExitCodeProcess(process.get(), &exitCode));
    EXPECT_EQ(exitCode, 0u);
    int status = 0;
    waitpid(child, &status, 0);
    unlink(marker.c_str());
  }
#endif
}

}  // namespace

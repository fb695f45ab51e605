// Threads and processes: suspended start, exit codes, termination of a blocked thread,
// stack size, ids, priorities and process handles.
#include <windows.h>

#include <process.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "conformance.h"
#include "core_testing.h"

namespace {

using conformance::kSentinel;
using core_testing::Handle;
using core_testing::kSignaled;
using core_testing::kTimeout;

DWORD WINAPI SetFlag(LPVOID flag) {
  static_cast<std::atomic<bool>*>(flag)->store(true);
  return 7;
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<bool> ran{false};
  DWORD id = 0;
  Handle thread(CreateThread(nullptr, 0, SetFlag, &ran, CREATE_SUSPENDED, &id));
  ASSERT_TRUE(thread);
  EXPECT_NE(id, 0u);
  Sleep(50);
  EXPECT_FALSE(ran.load());
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), kTimeout);

  EXPECT_EQ(SuspendThread(thread.get()), 1u) << "a second suspension of a thread that has not started";
  EXPECT_EQ(ResumeThread(thread.get()), 2u);
  Sleep(30);
  EXPECT_FALSE(ran.load()) << "still suspended once";
  EXPECT_EQ(ResumeThread(thread.get()), 1u);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 5000), kSignaled);
  EXPECT_TRUE(ran.load());
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(ResumeThread(thread.get()), 0u);
}

DWORD WINAPI ReturnParameter(LPVOID value) { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(value)); }
DWORD WINAPI CallExitThread(LPVOID value) {
  ExitThread(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(value)));
}
unsigned __stdcall CrtReturn(void* value) { return static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(value)); }
unsigned __stdcall CrtEnd(void* value) { _endthreadex(static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(value))); }

TEST(Threads, ExitCodeComesFromReturnExitThreadOrEndthreadex) {
  struct Case {
    const char* how;
    LPTHREAD_START_ROUTINE win32;
    _beginthreadex_proc_type crt;
    DWORD code;
  };
  const Case cases[] = {
      {"return", ReturnParameter, nullptr, 11},
      {"ExitThread", CallExitThread, nullptr, 0xC0000005},
      {"_beginthreadex return", nullptr, CrtReturn, 13},
      {"_endthreadex", nullptr, CrtEnd, 14},
  };
  for (const Case& c : cases) {
    LPVOID parameter = reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(c.code));
    unsigned crtId = 0;
    Handle thread(c.win32 ? CreateThread(nullptr, 0, c.win32, parameter, 0, nullptr)
                          : reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, c.crt, parameter, 0, &crtId)));
    ASSERT_TRUE(thread) << c.how;
    ASSERT_EQ(WaitForSingleObject(thread.get(), 5000), kSignaled) << c.how;
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code)) << c.how;
    EXPECT_EQ(code, c.code) << c.how;
    if (c.crt) {
      EXPECT_EQ(GetThreadId(thread.get()), crtId) << c.how;
    }
  }
}

DWORD WINAPI BlockOnEvent(LPVOID event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  return 1;
}

TEST(Threads, TerminatingABlockedThreadWakesItsWaitersWithTheExitCode) {
  Handle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle thread(CreateThread(nullptr, 0, BlockOnEvent, release.get(), 0, nullptr));
  ASSERT_TRUE(thread);
  Sleep(30);
  std::atomic<DWORD> waiterResult{0xFFFF};
  std::thread waiter([&] { waiterResult = WaitForSingleObject(thread.get(), 5000); });
  Sleep(30);
  ASSERT_TRUE(TerminateThread(thread.get(), 77));
  waiter.join();
  EXPECT_EQ(waiterResult.load(), kSignaled);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 77u);
  // Where the thread keeps running, its own return must not change the code.
  SetEvent(release.get());
  Sleep(30);
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 77u);
}

// Not inlined into itself, and the volatile frame lives across the call: real frames.
__attribute__((noinline)) unsigned Recurse(unsigned depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  frame[sizeof frame - 1] = static_cast<char>(depth);
  if (depth == 0) return 0;
  return Recurse(depth - 1) + static_cast<unsigned char>(frame[sizeof frame - 1] & 1);
}

unsigned __stdcall DeepRecursion(void*) { return Recurse(128); }  // about 520 KiB of frames

TEST(Threads, StackOfOneMebibyteHoldsHalfAMebibyteOfFrames) {
  Handle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0x100000, DeepRecursion, nullptr, 0, nullptr)));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 5000), kSignaled);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 64u);
}

DWORD WINAPI ReportOwnId(LPVOID out) {
  *static_cast<DWORD*>(out) = GetCurrentThreadId();
  return 0;
}

TEST(Threads, IdsAgreeBetweenCreatorHandleAndThread) {
  DWORD fromCreate = 0, fromInside = 0;
  Handle thread(CreateThread(nullptr, 0, ReportOwnId, &fromInside, 0, &fromCreate));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 5000), kSignaled);
  EXPECT_EQ(fromInside, fromCreate);
  EXPECT_EQ(GetThreadId(thread.get()), fromCreate);
  EXPECT_NE(fromCreate, GetCurrentThreadId());
  EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
  EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)));
  EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
}

TEST(Threads, PriorityIsKeptAndInvalidValuesAreRefused) {
  Handle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle thread(CreateThread(nullptr, 0, BlockOnEvent, release.get(), 0, nullptr));
  ASSERT_TRUE(thread);
  struct Case {
    int priority;
    BOOL accepted;
  };
  const Case cases[] = {
      {THREAD_PRIORITY_ABOVE_NORMAL, TRUE}, {THREAD_PRIORITY_LOWEST, TRUE}, {THREAD_PRIORITY_IDLE, TRUE},
      {THREAD_PRIORITY_NORMAL, TRUE},       {7, FALSE},                     {-3, FALSE},
  };
  for (const Case& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(SetThreadPriority(thread.get(), c.priority), c.accepted) << c.priority;
    if (c.accepted) {
      EXPECT_EQ(GetThreadPriority(thread.get()), c.priority);
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.priority;
    }
  }
  SetEvent(release.get());
  EXPECT_EQ(WaitForSingleObject(thread.get(), 5000), kSignaled);
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
}

TEST(Threads, CallsOnHandlesThatAreNoThreadsFail) {
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(closed);
  for (HANDLE handle : {event.get(), closed}) {
    DWORD code = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetExitCodeThread(handle, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(kSentinel);
    EXPECT_EQ(ResumeThread(handle), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

TEST(Processes, OwnProcessIsOpenAndRunningAndAMissingPidIsRefused) {
  Handle self(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, GetCurrentProcessId()));
  ASSERT_TRUE(self) << GetLastError();
  EXPECT_EQ(GetProcessId(self.get()), GetCurrentProcessId());
  EXPECT_EQ(GetProcessId(GetCurrentProcess()), GetCurrentProcessId());
  EXPECT_EQ(WaitForSingleObject(self.get(), 0), kTimeout);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(self.get(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

  SetLastError(kSentinel);
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0x3FFFFFFC), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Processes, HandleCountFollowsOpenAndClose) {
  DWORD before = 0, during = 0, after = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &during));
  CloseHandle(event);
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
  EXPECT_EQ(during, before + 1);
  EXPECT_EQ(after, before);
}

}  // namespace

#include "thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

struct Worker {
  std::atomic<bool> stop{false};
  std::atomic<int> runs{0};
};

unsigned __stdcall RunUntilStopped(void* parameter) {
  auto* worker = static_cast<Worker*>(parameter);
  ++worker->runs;
  while (!worker->stop) Sleep(5);
  return 7;
}

unsigned __stdcall ReturnAtOnce(void* parameter) {
  ++static_cast<Worker*>(parameter)->runs;
  return 3;
}

ULONGLONG Elapsed(ULONGLONG since) { return GetTickCount64() - since; }

// A second handle, to look at the thread after its owner has closed its own.
HANDLE DuplicateOf(HANDLE handle) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  return copy;
}

TEST(ThreadWrapper, SetNameRules) {
  const std::wstring base70(70, L'b');
  const std::wstring base62(62, L'b');
  const struct {
    const char* what;
    const wchar_t* base;
    const wchar_t* suffix;
    bool result;
    std::wstring name;
  } cases[] = {
      {"base and suffix", L"Ferrowind_MIB", L":Thread_AgentMain", true, L"Ferrowind_MIB:Thread_AgentMain"},
      {"base alone", L"EvtMain", nullptr, true, L"EvtMain"},
      {"70 characters: first 62, no suffix", base70.c_str(), L":Thread_AgentMain", true, base62},
      {"62 and 1 stay under 64", base62.c_str(), L"!", true, base62 + L"!"},
      {"62 and 2 reach 64", base62.c_str(), L"!!", true, base62},
      {"empty base keeps the name", L"", L"x", false, L"Previous"},
      {"null base keeps the name", nullptr, L"x", false, L"Previous"},
  };
  for (const auto& c : cases) {
    CThread thread;
    thread.SetName(L"Previous");
    EXPECT_EQ(thread.SetName(c.base, c.suffix), c.result) << c.what;
    EXPECT_EQ(std::wstring(thread.GetName()), c.name) << c.what;
  }
  CThread unnamed;
  EXPECT_EQ(std::wstring(unnamed.GetName()), L"???");
}

TEST(ThreadWrapper, StartWaitAndPriority) {
  Worker worker;
  CThread thread;
  thread.SetName(L"worker");
  ASSERT_TRUE(thread.Start(RunUntilStopped, &worker, THREAD_PRIORITY_ABOVE_NORMAL, false, 0x100000));
  EXPECT_NE(thread.GetThreadId(), 0u);
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_ABOVE_NORMAL);
  EXPECT_FALSE(thread.Start(RunUntilStopped, &worker)) << "a second start would lose the first handle";
  EXPECT_FALSE(thread.WaitForTermination(50));
  worker.stop = true;
  EXPECT_TRUE(thread.WaitForTermination(5000));
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.GetHandle(), &exitCode));
  EXPECT_EQ(exitCode, 7u);
  EXPECT_TRUE(thread.Close());
  EXPECT_EQ(thread.GetHandle(), nullptr);
  EXPECT_TRUE(thread.WaitForTermination(0)) << "no thread counts as ended";
  EXPECT_TRUE(thread.Close());
}

TEST(ThreadWrapper, SuspendedStartRunsOnlyWhenResumed) {
  Worker worker;
  CThread thread;
  ASSERT_TRUE(thread.Start(ReturnAtOnce, &worker, 0, true));
  Sleep(50);
  EXPECT_EQ(worker.runs, 0);
  ResumeThread(thread.GetHandle());
  EXPECT_TRUE(thread.WaitForTermination(5000));
  EXPECT_EQ(worker.runs, 1);
}

TEST(ThreadWrapper, KillWithoutThreadIsTrue) {
  CThread thread;
  EXPECT_TRUE(thread.Kill(0));
  EXPECT_EQ(thread.GetHandle(), nullptr);
}

TEST(ThreadWrapper, KillOfAnEndedThreadOnlyCloses) {
  Worker worker;
  CThread thread;
  ASSERT_TRUE(thread.Start(ReturnAtOnce, &worker));
  ASSERT_TRUE(thread.WaitForTermination(5000));
  const HANDLE copy = DuplicateOf(thread.GetHandle());
  EXPECT_TRUE(thread.Kill(99));
  EXPECT_EQ(thread.GetHandle(), nullptr);
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(copy, &exitCode));
  EXPECT_EQ(exitCode, 3u) << "an ended thread keeps its own exit code";
  CloseHandle(copy);
}

TEST(ThreadWrapper, DestroyingAnEndedThreadDoesNotWait) {
  Worker worker;
  const ULONGLONG start = GetTickCount64();
  {
    CThread thread;
    thread.bTerminateThread = true;
    ASSERT_TRUE(thread.Start(ReturnAtOnce, &worker));
    while (worker.runs == 0) Sleep(1);
  }
  EXPECT_LT(Elapsed(start), 2000u);
}

TEST(ThreadWrapper, DestroyingARunningThreadTerminatesItAfterTheGrace) {
  // Static: where termination cannot stop the OS thread at once, it must not outlive
  // the memory it reads.
  static Worker worker;
  HANDLE copy = nullptr;
  ULONGLONG start = 0;
  {
    CThread thread;
    thread.bTerminateThread = true;
    ASSERT_TRUE(thread.Start(RunUntilStopped, &worker));
    copy = DuplicateOf(thread.GetHandle());
    start = GetTickCount64();
  }
  const ULONGLONG elapsed = Elapsed(start);
  EXPECT_GE(elapsed, 4900u);
  EXPECT_LT(elapsed, 9000u);
  EXPECT_EQ(WaitForSingleObject(copy, 2000), WAIT_OBJECT_0);
  DWORD exitCode = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeThread(copy, &exitCode));
  EXPECT_EQ(exitCode, 0u);
  CloseHandle(copy);
  worker.stop = true;
}

}  // namespace

#include "com_thread_init.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <thread>

namespace {

// COM state is per thread: each case runs on a thread of its own.
template <class Body>
void OnFreshThread(Body body) {
  std::thread(body).join();
}

// S_OK when COM was not initialised on this thread; the probe is undone either way.
HRESULT ProbeComInit() {
  const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (SUCCEEDED(result)) CoUninitialize();
  return result;
}

TEST(ComThreadInit, SecondInitDoesNotCallComAgain) {
  OnFreshThread([] {
    CComThreadInit init;
    const DWORD self = GetCurrentThreadId();
    EXPECT_TRUE(init.Init(self, COINIT_MULTITHREADED));
    EXPECT_TRUE(init.Init(self, COINIT_MULTITHREADED));
    EXPECT_TRUE(init.Uninit(self));
    // Had Init called CoInitializeEx twice, one Uninit would leave COM initialised.
    EXPECT_EQ(ProbeComInit(), S_OK);
    EXPECT_FALSE(init.Uninit(self));
  });
}

TEST(ComThreadInit, ChangedModeFailsAndIsNotUndone) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CComThreadInit init;
    const DWORD self = GetCurrentThreadId();
    EXPECT_FALSE(init.Init(self, COINIT_MULTITHREADED));
    EXPECT_FALSE(init.Init(self, COINIT_MULTITHREADED)) << "the stored failure is returned";
    EXPECT_TRUE(init.Uninit(self));
    // The thread's own initialisation is still there.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(ProbeComInit(), S_OK);
  });
}

TEST(ComThreadInit, AlreadyInitialisedThreadIsBalanced) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CComThreadInit init;
    const DWORD self = GetCurrentThreadId();
    EXPECT_TRUE(init.Init(self, COINIT_MULTITHREADED));  // S_FALSE: counted, so undone by Uninit
    EXPECT_TRUE(init.Uninit(self));
    CoUninitialize();
    EXPECT_EQ(ProbeComInit(), S_OK);
  });
}

TEST(ComThreadInit, UninitOfUnknownThread) {
  CComThreadInit init;
  EXPECT_FALSE(init.Uninit(GetCurrentThreadId()));
}

}  // namespace

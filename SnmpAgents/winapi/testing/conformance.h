// Helpers for the layer's conformance tests: the same test source runs against our
// layer on Linux and against Wine's implementation in the Windows build.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include <string>

namespace conformance {

// True under Wine (ntdll exports wine_get_version), false on our layer and on Windows.
inline bool OnWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline bool OnOurLayer() {
#if defined(_WIN32)
  return false;
#else
  return true;
#endif
}

// Sentinel for last-error checks: set before a call that must overwrite it.
inline constexpr DWORD kSentinel = 0xdeadbeef;

// A fresh directory under the temporary path, named after the test and the process.
inline std::wstring FreshTempDir(const wchar_t* name) {
  wchar_t base[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, base);
  std::wstring dir = std::wstring(base) + name + L"-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

// Runs a check of documented behaviour where a known gap (of Wine, or of our layer) is
// expected when `gapHere` holds. There its failures are collected, not reported, and
// the test passes; when the check passes after all, the gap is gone and the test fails
// so that the marker is removed. Elsewhere the check runs as it is.
template <class Check>
void ExpectKnownGap(bool gapHere, const char* gap, Check check) {
  if (!gapHere) {
    check();
    return;
  }
  ::testing::TestPartResultArray failures;
  {
    ::testing::ScopedFakeTestPartResultReporter collect(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
    check();
  }
  if (failures.size() == 0) {
    ADD_FAILURE() << "the known gap \"" << gap << "\" no longer shows: remove its marker";
  } else {
    ::testing::Test::RecordProperty("known_gap", gap);
  }
}

}  // namespace conformance

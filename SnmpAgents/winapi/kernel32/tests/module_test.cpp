// Modules (names, file names, DllMain calls, search flags) and the environment.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwctype>
#include <string>

#include "conformance.h"

namespace {

using conformance::kSentinel;

constexpr const wchar_t* kProbe = L"module_test_probe.dll";

std::wstring ProbeLog() {
  wchar_t log[256] = {};
  GetEnvironmentVariableW(L"MODULE_TEST_PROBE_LOG", log, 256);
  return log;
}

void ResetProbeLog() { SetEnvironmentVariableW(L"MODULE_TEST_PROBE_LOG", nullptr); }

TEST(Modules, SystemNamesResolveAndExportTheirFunctions) {
  for (const wchar_t* name : {L"kernel32.dll", L"KERNEL32", L"Kernel32.DLL", L"ntdll.dll", L"NTDLL"}) {
    SetLastError(kSentinel);
    EXPECT_NE(GetModuleHandleW(name), nullptr) << name << " error " << GetLastError();
  }
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  using GetLastErrorProc = DWORD(WINAPI*)();
  auto getLastError = reinterpret_cast<GetLastErrorProc>(reinterpret_cast<void*>(GetProcAddress(kernel32, "GetLastError")));
  ASSERT_NE(getLastError, nullptr);
  SetLastError(1234);
  EXPECT_EQ(getLastError(), 1234u);

  HMODULE loaded = LoadLibraryW(L"C:\\Windows\\System32\\KERNEL32.DLL");
  EXPECT_EQ(loaded, kernel32) << "a system path names the same module";
  EXPECT_TRUE(FreeLibrary(loaded));

  SetLastError(kSentinel);
  EXPECT_EQ(GetProcAddress(kernel32, "NoSuchFunctionAnywhere"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  if (conformance::OnOurLayer()) {
    // A known gap: the layer exports nothing by ordinal.
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(kernel32, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(5))), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  }
  SetLastError(kSentinel);
  EXPECT_EQ(GetModuleHandleW(L"no-such-module.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(Modules, MissingLibrariesFailWithModuleNotFound) {
  for (const wchar_t* name : {L"no_such_library_k2.dll", L"C:\\no\\such\\dir\\lib.dll"}) {
    SetLastError(kSentinel);
    EXPECT_EQ(LoadLibraryExW(name, nullptr, 0), nullptr) << name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << name;
  }
  SetLastError(kSentinel);
  EXPECT_EQ(LoadLibraryExW(nullptr, nullptr, 0), nullptr);
  EXPECT_NE(GetLastError(), kSentinel);
}

TEST(Modules, FileNameTruncationReturnsTheBufferSize) {
  wchar_t full[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, full, MAX_PATH * 4);
  ASSERT_GT(length, 3u);
  EXPECT_EQ(length, std::wstring(full).size());
  EXPECT_NE(std::wstring(full).find(L"winapi_kernel32_io_test"), std::wstring::npos) << full;

  struct Case {
    DWORD size;
    DWORD result;
    DWORD error;
  };
  const Case cases[] = {
      {length + 1, length, kSentinel},
      {length, length, ERROR_INSUFFICIENT_BUFFER},
      {4, 4, ERROR_INSUFFICIENT_BUFFER},
      {0, 0, ERROR_INSUFFICIENT_BUFFER},
  };
  for (const auto& c : cases) {
    std::wstring buffer(length + 8, L'#');
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), c.size), c.result) << "size " << c.size;
    if (c.error != kSentinel) {
      EXPECT_EQ(GetLastError(), c.error) << "size " << c.size;
    }
    if (c.size == 0) continue;
    EXPECT_EQ(buffer.compare(0, c.size - 1, full, c.size - 1), 0) << "size " << c.size;
    // Wine leaves a truncated name unterminated, as Windows XP did.
    if (!conformance::OnWine()) {
      EXPECT_EQ(buffer[c.size - 1], c.result < c.size ? full[c.size - 1] : L'\0') << "size " << c.size;
    }
  }
}

TEST(Modules, HandleFromAddressAndFlagChecks) {
  HMODULE self = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&ProbeLog), &self));
  EXPECT_EQ(self, GetModuleHandleW(nullptr));
  HMODULE module = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(1));
  SetLastError(kSentinel);
  EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  L"kernel32.dll", &module));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(module, nullptr);

  struct Case {
    DWORD flags;
    BOOL result;
  };
  const Case cases[] = {
      {LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, TRUE},
      {LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32, TRUE},
      {0, FALSE},
      {0x0B00, FALSE},  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR is for LoadLibraryExW only
      {0x1, FALSE},
  };
  for (const auto& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(SetDefaultDllDirectories(c.flags), c.result) << std::hex << c.flags;
    if (!c.result) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << std::hex << c.flags;
    }
  }
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

TEST(Modules, DllMainSeesAttachOnceAndDetachAtLastRelease) {
  ResetProbeLog();
  HMODULE first = LoadLibraryW(kProbe);
  ASSERT_NE(first, nullptr) << GetLastError();
  HMODULE second = LoadLibraryW(kProbe);
  EXPECT_EQ(second, first);
  EXPECT_EQ(ProbeLog(), L"A");
  EXPECT_EQ(GetModuleHandleW(kProbe), first);
  using AnswerProc = int (*)();
  auto answer = reinterpret_cast<AnswerProc>(reinterpret_cast<void*>(GetProcAddress(first, "ProbeAnswer")));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(GetProcAddress(first, "GetLastError"), nullptr) << "imports are not the module's exports";

  EXPECT_TRUE(FreeLibrary(second));
  EXPECT_EQ(ProbeLog(), L"A") << "still referenced";
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(ProbeLog(), L"AD0");
  EXPECT_EQ(GetModuleHandleW(kProbe), nullptr);

  // Loaded again after the last release: attached again, whether the image stayed mapped.
  HMODULE reloaded = LoadLibraryW(kProbe);
  ASSERT_NE(reloaded, nullptr);
  EXPECT_EQ(ProbeLog(), L"AD0A");
  EXPECT_TRUE(FreeLibrary(reloaded));
  EXPECT_EQ(ProbeLog(), L"AD0AD0");

  ResetProbeLog();
  SetEnvironmentVariableW(L"MODULE_TEST_PROBE_FAIL", L"1");
  SetLastError(kSentinel);
  EXPECT_EQ(LoadLibraryW(kProbe), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  EXPECT_EQ(ProbeLog().substr(0, 1), L"A");
  EXPECT_EQ(GetModuleHandleW(kProbe), nullptr) << "a failed attach unloads";
  SetEnvironmentVariableW(L"MODULE_TEST_PROBE_FAIL", nullptr);

  // Pinned modules stay, whatever FreeLibrary is called.
  ResetProbeLog();
  HMODULE pinned = LoadLibraryW(kProbe);
  ASSERT_NE(pinned, nullptr);
  HMODULE again = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, kProbe, &again));
  EXPECT_EQ(again, pinned);
  FreeLibrary(pinned);
  FreeLibrary(pinned);
  EXPECT_EQ(ProbeLog(), L"A");
  EXPECT_EQ(GetModuleHandleW(kProbe), pinned);
}

TEST(Modules, LoadedModulesAreDetachedAtExitWithReservedSet) {
  if (conformance::OnWine()) GTEST_SKIP() << "death tests re-run the executable, too slow under Wine";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (!LoadLibraryW(L"module_test_probe.dll")) std::exit(3);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "probe detached at exit");
}

TEST(Environment, ExpandFollowsTheSizeContract) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"K2_VAR", L"value"));
  struct Case {
    const wchar_t* source;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"a%k2_var%b", L"avalueb"},
      {L"%K2_VAR%%K2_VAR%", L"valuevalue"},
      {L"a%no_such_k2%b%K2_VAR%", L"a%no_such_k2%bvalue"},
      {L"100% sure", L"100% sure"},
      {L"", L""},
  };
  for (const auto& c : cases) {
    wchar_t buffer[64] = {};
    const DWORD needed = ExpandEnvironmentStringsW(c.source, nullptr, 0);
    EXPECT_EQ(needed, std::wstring(c.expected).size() + 1) << c.source;
    EXPECT_EQ(ExpandEnvironmentStringsW(c.source, buffer, 64), needed) << c.source;
    EXPECT_EQ(std::wstring(buffer), c.expected);
    wchar_t small[2] = {L'#', L'#'};
    if (needed > 2) {
      EXPECT_EQ(ExpandEnvironmentStringsW(c.source, small, 2), needed) << c.source;
    }
  }
  wchar_t root[MAX_PATH] = {};
  ASSERT_GT(ExpandEnvironmentStringsW(L"%SystemRoot%", root, MAX_PATH), 0u);
  std::wstring lower(root);
  for (auto& ch : lower) ch = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(ch)));
  EXPECT_EQ(lower, L"c:\\windows");
}

TEST(Environment, VariablesAreCaseInsensitiveAndReportTheirSize) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"K2_Mixed", L"abc"));
  wchar_t buffer[8] = {};
  EXPECT_EQ(GetEnvironmentVariableW(L"k2_mixed", buffer, 8), 3u);
  EXPECT_EQ(std::wstring(buffer), L"abc");
  EXPECT_EQ(GetEnvironmentVariableW(L"K2_MIXED", buffer, 3), 4u) << "too small: size with terminator";
  ASSERT_TRUE(SetEnvironmentVariableW(L"K2_MIXED", L"xyz"));
  EXPECT_EQ(GetEnvironmentVariableW(L"k2_Mixed", buffer, 8), 3u);
  EXPECT_EQ(std::wstring(buffer), L"xyz") << "one variable, whatever case sets it";
  ASSERT_TRUE(SetEnvironmentVariableW(L"k2_mixed", nullptr));
  SetLastError(kSentinel);
  EXPECT_EQ(GetEnvironmentVariableW(L"K2_MIXED", buffer, 8), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

}  // namespace

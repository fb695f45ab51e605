// Process status of the current process: ids, modules, names and memory counters.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "conformance.h"

namespace {

using conformance::kSentinel;

std::wstring BaseName(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

TEST(ProcessStatus, EnumProcessesListsThisProcess) {
  std::vector<DWORD> ids(4096);
  DWORD needed = 0;
  ASSERT_TRUE(EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &needed));
  ASSERT_EQ(needed % sizeof(DWORD), 0u);
  ids.resize(needed / sizeof(DWORD));
  EXPECT_NE(std::find(ids.begin(), ids.end(), GetCurrentProcessId()), ids.end());
}

TEST(ProcessStatus, ModulesStartWithTheMainModuleAndIncludeKernel32) {
  HANDLE self = GetCurrentProcess();
  DWORD needed = 0;
  ASSERT_TRUE(EnumProcessModules(self, nullptr, 0, &needed));
  ASSERT_GE(needed, 2 * sizeof(HMODULE));
  std::vector<HMODULE> modules(needed / sizeof(HMODULE) + 8);
  ASSERT_TRUE(EnumProcessModules(self, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed));
  modules.resize(needed / sizeof(HMODULE));
  EXPECT_EQ(modules.front(), GetModuleHandleW(nullptr));
  EXPECT_NE(std::find(modules.begin(), modules.end(), GetModuleHandleW(L"kernel32.dll")), modules.end());

  HMODULE first = nullptr;
  ASSERT_TRUE(EnumProcessModules(self, &first, sizeof(first), &needed));
  EXPECT_EQ(first, GetModuleHandleW(nullptr)) << "a short buffer still gets the main module";
  EXPECT_EQ(needed, modules.size() * sizeof(HMODULE)) << "and the size the whole list needs";
}

TEST(ProcessStatus, NamesOfTheMainModule) {
  wchar_t own[MAX_PATH * 4] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, own, MAX_PATH * 4), 0u);
  wchar_t name[MAX_PATH] = {};
  const DWORD length = GetModuleBaseNameW(GetCurrentProcess(), nullptr, name, MAX_PATH);
  ASSERT_GT(length, 0u) << GetLastError();
  EXPECT_EQ(std::wstring(name, length), BaseName(own));
  wchar_t full[MAX_PATH * 4] = {};
  ASSERT_GT(GetModuleFileNameExW(GetCurrentProcess(), nullptr, full, MAX_PATH * 4), 0u);
  EXPECT_EQ(std::wstring(full), std::wstring(own));

  wchar_t shortName[4] = {L'#', L'#', L'#', L'#'};
  const DWORD cut = GetModuleBaseNameW(GetCurrentProcess(), nullptr, shortName, 4);
  EXPECT_LE(cut, 4u);
  EXPECT_EQ(std::wstring(shortName, 3), std::wstring(name, 3));
}

TEST(ProcessStatus, MemoryCountersFollowTheWorkingSet) {
  PROCESS_MEMORY_COUNTERS_EX before{};
  ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&before),
                                   sizeof(before)))
      << GetLastError();
  EXPECT_GT(before.WorkingSetSize, 0u);
  EXPECT_GE(before.PeakWorkingSetSize, before.WorkingSetSize);
  // Wine fills the basic counters only (cb 72, PrivateUsage 0).
  const bool privateUsageKnown = !conformance::OnWine();
  if (privateUsageKnown) {
    EXPECT_EQ(before.cb, sizeof(PROCESS_MEMORY_COUNTERS_EX));
    EXPECT_GT(before.PrivateUsage, 0u);
  }

  constexpr size_t kTouched = 64 << 20;
  std::vector<char> block(kTouched, 1);
  PROCESS_MEMORY_COUNTERS_EX after{};
  ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&after),
                                   sizeof(after)));
  EXPECT_GE(after.WorkingSetSize, before.WorkingSetSize + kTouched / 2) << "touched pages are in the working set";
  if (privateUsageKnown) {
    EXPECT_GE(after.PrivateUsage, before.PrivateUsage + kTouched / 2);
  }
  EXPECT_EQ(block[kTouched - 1], 1);

  PROCESS_MEMORY_COUNTERS basic{};
  ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &basic, sizeof(basic)));
  EXPECT_EQ(basic.cb, sizeof(PROCESS_MEMORY_COUNTERS));
  SetLastError(kSentinel);
  EXPECT_FALSE(GetProcessMemoryInfo(GetCurrentProcess(), &basic, 10));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace

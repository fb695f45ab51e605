#include "dynamic_library_module.h"

#include <gtest/gtest.h>

namespace {

using GetTickCountFn = DWORD(WINAPI*)();

TEST(DynamicLibrary, LoadResults) {
  const struct {
    const wchar_t* path;
    bool loads;
  } cases[] = {
      {nullptr, false},
      {L"kernel32.dll", true},
      {L"ntdll.dll", true},
      {L"no-such-library-fw.dll", false},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    const HMODULE module = DynamicLibraryModule::loadLibrary(c.path, 0);
    EXPECT_EQ(module != nullptr, c.loads) << (c.path ? "a named library" : "null path");
    if (!c.loads && c.path) {
      EXPECT_NE(GetLastError(), 0u);
    }
    if (module) FreeLibrary(module);
  }
}

TEST(DynamicLibrary, OwnerLooksUpExports) {
  const DynamicLibraryModule kernel32(L"kernel32.dll");
  ASSERT_TRUE(kernel32);
  const auto getTickCount = kernel32.getProc<GetTickCountFn>("GetTickCount");
  ASSERT_NE(getTickCount, nullptr);
  EXPECT_GT(getTickCount(), 0u);
  EXPECT_EQ(kernel32.getProc<GetTickCountFn>("NoSuchExportFw"), nullptr);
  const DynamicLibraryModule missing(L"no-such-library-fw.dll");
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.getProc<GetTickCountFn>("GetTickCount"), nullptr);
}

TEST(DynamicLibrary, SearchPathRestrictionIsAccepted) {
  SetLastError(0);
  EXPECT_TRUE(SetDefaultDllDirectories(DynamicLibraryModule::kSafeDllDirectories)) << GetLastError();
}

}  // namespace

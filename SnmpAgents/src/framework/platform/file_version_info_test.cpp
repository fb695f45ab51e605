#include "file_version_info.h"

#include <gtest/gtest.h>

#include <string>

#include "os_version.h"

namespace {

// The test executable carries the project's version resource, its description holding a
// tab (see CMakeLists.txt).
std::wstring OwnPath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

TEST(VersionInfo, OwnResourceStrings) {
  CFileVersionInfo info;
  ASSERT_TRUE(info.Load(OwnPath().c_str())) << GetLastError();
  const struct {
    const wchar_t* entry;
    std::wstring value;
  } cases[] = {
      {L"CompanyName", L"Vornekt"},
      {L"ProductVersion", L"4.0.0.0"},
      {L"FileDescription", L"Platform?helpers test"},
  };
  for (const auto& c : cases) {
    std::wstring value = L"stale";
    EXPECT_TRUE(info.QueryString(value, c.entry));
    EXPECT_EQ(value, c.value);
  }
  std::wstring value;
  EXPECT_FALSE(info.QueryString(value, L"NoSuchEntry"));
  EXPECT_FALSE(info.QueryString(value, L"CompanyName", 0x0407)) << "no German translation";
}

TEST(VersionInfo, FixedVersion) {
  CFileVersionInfo info;
  ASSERT_TRUE(info.Load(OwnPath().c_str()));
  const VS_FIXEDFILEINFO* fixed = info.GetFixedInfo();
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, static_cast<DWORD>(VS_FFI_SIGNATURE));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00040000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
}

TEST(VersionInfo, TranslationLookup) {
  CFileVersionInfo info;
  ASSERT_TRUE(info.Load(OwnPath().c_str()));
  const struct {
    WORD requested;
    bool found;
    WORD langId;
    WORD codePage;
  } cases[] = {
      {0, true, 0x0409, 1200},       // language 0: the first translation
      {0x0409, true, 0x0409, 1200},
      {0x0407, false, 0x0407, 0},
  };
  for (const auto& c : cases) {
    WORD langId = c.requested;
    WORD codePage = 0;
    EXPECT_EQ(info.ContainsLangId(langId, codePage), c.found) << std::hex << c.requested;
    EXPECT_EQ(langId, c.langId) << std::hex << c.requested;
    EXPECT_EQ(codePage, c.codePage) << std::hex << c.requested;
  }
}

TEST(VersionInfo, MissingFilesAndEmptyInfo) {
  CFileVersionInfo info;
  SetLastError(0);
  EXPECT_FALSE(info.Load(L"C:\\no\\such\\file-fw.dll"));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_FALSE(info.Load(nullptr));
  EXPECT_EQ(info.GetFixedInfo(), nullptr);
  WORD langId = 0;
  WORD codePage = 0;
  EXPECT_FALSE(info.ContainsLangId(langId, codePage));
  std::wstring value;
  EXPECT_FALSE(info.QueryString(value, L"CompanyName"));
}

TEST(VersionInfo, OperatingSystemVersion) {
  OSVERSIONINFOEXW version{};
  ASSERT_TRUE(COSVersion::Get(version));
  EXPECT_GE(version.dwMajorVersion, 5u);
  EXPECT_GT(version.dwBuildNumber, 0u);
}

}  // namespace

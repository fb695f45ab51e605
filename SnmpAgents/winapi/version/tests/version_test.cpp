// Version resources: the stamped test executable, the kernel32 module, missing and
// unversioned files, and damaged binaries.
#include <algorithm>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conformance.h"

namespace {

using conformance::kSentinel;

std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH * 4, L'\0');
  path.resize(GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

std::wstring Directory(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

class VersionInfo {
 public:
  explicit VersionInfo(const std::wstring& path) {
    DWORD handle = 1;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (!size) return;
    EXPECT_EQ(handle, 0u);
    data_.resize(size);
    loaded_ = GetFileVersionInfoW(path.c_str(), 0, size, data_.data()) != FALSE;
  }
  bool Loaded() const { return loaded_; }

  const VS_FIXEDFILEINFO* Fixed() const {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data_.data(), L"\\", &value, &length) || length != sizeof(VS_FIXEDFILEINFO)) return nullptr;
    return static_cast<const VS_FIXEDFILEINFO*>(value);
  }

  std::wstring String(const wchar_t* table, const wchar_t* name) const {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\") + table + L"\\" + name;
    if (!VerQueryValueW(data_.data(), path.c_str(), &value, &length)) return L"<missing>";
    const std::wstring text(static_cast<const wchar_t*>(value));
    EXPECT_EQ(length, text.size() + 1) << "the length counts the terminator";
    return text;
  }

 private:
  std::vector<char> data_;
  bool loaded_ = false;
};

TEST(VersionResource, StampedExecutableCarriesTheProjectVersionAndStrings) {
  VersionInfo info(ModulePath(nullptr));
  ASSERT_TRUE(info.Loaded()) << GetLastError();
  const VS_FIXEDFILEINFO* fixed = info.Fixed();
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>((FW_TEST_VERSION_MAJOR << 16) | FW_TEST_VERSION_MINOR));
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(FW_TEST_VERSION_PATCH << 16));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  struct Case {
    const wchar_t* table;
    const wchar_t* name;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"040904B0", L"CompanyName", L"Vornekt"},
      {L"040904B0", L"ProductName", L"Ferrowind_MIB"},
      {L"040904b0", L"FileDescription", L"Version resource conformance test"},
      {L"040904B0", L"internalname", L"winapi_version_test"},
      {L"040904B0", L"NoSuchValue", L"<missing>"},
      {L"040704B0", L"CompanyName", L"<missing>"},
  };
  for (const auto& c : cases) EXPECT_EQ(info.String(c.table, c.name), c.expected) << c.table << "\\" << c.name;
}

TEST(VersionResource, TranslationListsLanguageAndCodePage) {
  const std::wstring self = ModulePath(nullptr);
  std::vector<char> data(GetFileVersionInfoSizeW(self.c_str(), nullptr));
  ASSERT_FALSE(data.empty());
  ASSERT_TRUE(GetFileVersionInfoW(self.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
  WORD* pairs = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pairs), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(pairs[0], 0x0409);
  EXPECT_EQ(pairs[1], 1200);
  SetLastError(kSentinel);
  void* value = nullptr;
  EXPECT_FALSE(VerQueryValueW(data.data(), L"\\NoSuchBlock", &value, &length));
}

TEST(VersionResource, Kernel32ReportsTheOperatingSystemVersion) {
  VersionInfo info(ModulePath(GetModuleHandleW(L"kernel32.dll")));
  ASSERT_TRUE(info.Loaded()) << GetLastError();
  const VS_FIXEDFILEINFO* fixed = info.Fixed();
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  if (conformance::OnOurLayer()) {
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 10);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), 0);
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), 20348);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionLS), 1);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(info.String(L"040904B0", L"OriginalFilename"), L"kernel32.dll");
  }
}

TEST(VersionResource, MissingAndUnversionedFilesAreTold) {
  const std::wstring dir = Directory(ModulePath(nullptr));
  struct Case {
    std::wstring path;
    DWORD error;
  };
  // A PE image with resources but no version: Wine answers ERROR_RESOURCE_DATA_NOT_FOUND.
  const DWORD noVersion = conformance::OnWine() ? ERROR_RESOURCE_DATA_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
  const Case cases[] = {
      {dir + L"no-such-file.dll", ERROR_FILE_NOT_FOUND},
      {dir + L"format_test_messages.dll", noVersion},
  };
  for (const auto& c : cases) {
    SetLastError(kSentinel);
    DWORD handle = 7;
    EXPECT_EQ(GetFileVersionInfoSizeW(c.path.c_str(), &handle), 0u) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
    char buffer[64];
    SetLastError(kSentinel);
    EXPECT_FALSE(GetFileVersionInfoW(c.path.c_str(), 0, sizeof(buffer), buffer)) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
}

TEST(VersionResource, DamagedBinariesNeverCrash) {
  if (!conformance::OnOurLayer()) GTEST_SKIP() << "checks the layer's own ELF and PE readers";
  const std::wstring self = ModulePath(nullptr);
  HANDLE file = CreateFileW(self.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::vector<char> image(GetFileSize(file, nullptr));
  DWORD read = 0;
  ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &read, nullptr);
  CloseHandle(file);
  ASSERT_GT(image.size(), 4096u);
  auto cut = [&](size_t size) { return std::vector<char>(image.begin(), image.begin() + static_cast<ptrdiff_t>(size)); };
  auto patched = [&](size_t at, char value) {
    std::vector<char> copy = image;
    if (copy.size() < at + 8) return copy;
    std::fill_n(copy.begin() + static_cast<ptrdiff_t>(at), 8, value);
    return copy;
  };
  const std::vector<std::pair<const char*, std::vector<char>>> inputs = {
      {"ELF magic only", {'\x7f', 'E', 'L', 'F'}},
      {"first page only", cut(4096)},
      {"section table offset huge", patched(0x28, '\x7f')},
      {"section count huge", patched(0x3C, '\xff')},
      {"MZ only", {'M', 'Z'}},
      {"empty", {}},
  };
  const std::wstring dir = conformance::FreshTempDir(L"k2-version");
  int index = 0;
  for (const auto& [name, bytes] : inputs) {
    const std::wstring path = dir + L"\\damaged" + std::to_wstring(index++) + L".bin";
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(out);
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    if (size == 0) continue;
    std::vector<char> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) continue;
    void* value = nullptr;
    UINT length = 0;
    VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\CompanyName", &value, &length);
    EXPECT_LE(length, size) << name;
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <future>
#include <new>
#include <stdexcept>
#include <system_error>

#include "../errors.h"
#include "../paths.h"
#include "../wide_text.h"

namespace {

// Destructors at process exit still map paths (the trace facility closes its file then):
// the mapping's own state must outlive them. A crash here fails the whole executable.
struct MapsAPathAtExit {
  ~MapsAPathAtExit() { winapi::ToHostPath(L"C:\\Logs\\closing.log"); }
} g_mapsAPathAtExit;

TEST(LayerPaths, SystemDriveMapsBeforeAndAtExit) {
  EXPECT_NE(winapi::ToHostPath(L"C:\\Logs\\x.log").find("/drive_c/Logs/x.log"), std::string::npos);
}

TEST(LayerStrings, Utf8AndUtf16RoundTrip) {
  const std::wstring texts[] = {L"", L"plain", L"\u00e4\u00f6\u00fc", L"\u20ac 1252", L"\U0001F600 astral"};
  for (const auto& text : texts) {
    EXPECT_EQ(winapi::WideFromUtf8(winapi::Utf8FromWide(text)), text);
    EXPECT_EQ(winapi::WideFromUtf16(winapi::Utf16FromWide(text)), text);
  }
}

TEST(LayerStrings, MalformedInputBecomesReplacement) {
  EXPECT_EQ(winapi::WideFromUtf8("\xC3"), L"\uFFFD");
  EXPECT_EQ(winapi::WideFromUtf8("\xE0\x80\x80"), L"\uFFFD");  // overlong
  EXPECT_EQ(winapi::WideFromUtf16(std::u16string(1, u'\xD800')), L"\uFFFD");
}

TEST(LayerStrings, CaseInsensitiveCompare) {
  EXPECT_TRUE(winapi::EqualsNoCase(L"Software\\Debug", L"SOFTWARE\\debug"));
  EXPECT_LT(winapi::CompareNoCase(L"abc", L"ABD"), 0);
  EXPECT_LT(winapi::CompareNoCase(L"ab", L"ABC"), 0);
}

TEST(LayerPaths, WindowsPathsMapUnderTheRoot) {
  setenv("WINAPI_ROOT", "/r", 1);
  struct Case {
    const wchar_t* windows;
    const char* host;
  } cases[] = {
      {L"C:\\Logs\\trace.txt", "/r/drive_c/Logs/trace.txt"},
      {L"d:/x", "/r/drive_d/x"},
      {L"\\\\srv\\share\\f", "/r/unc/srv/share/f"},
      {L"\\Windows", "/r/drive_c/Windows"},
      {L"/var/tmp/x", "/var/tmp/x"},
      {L"rel\\a", "rel/a"},
  };
  for (const auto& c : cases) EXPECT_EQ(winapi::ToHostPath(c.windows), c.host) << c.host;
  EXPECT_EQ(winapi::ToWindowsPath("/r/drive_c/Logs/trace.txt"), L"C:\\Logs\\trace.txt");
  EXPECT_EQ(winapi::ToWindowsPath("/var/tmp/x"), L"/var/tmp/x");
}

// Each result kind reports a lack of memory as such and nothing else as one.
TEST(LayerErrors, GuardedCallsMapExceptionsByKind) {
  struct Case {
    const char* what;
    std::function<void()> raise;
    DWORD error;
    HRESULT hr;
  };
  const Case cases[] = {
      {"bad_alloc", [] { throw std::bad_alloc(); }, ERROR_NOT_ENOUGH_MEMORY, E_OUTOFMEMORY},
      {"system_error EACCES", [] { throw std::system_error(EACCES, std::generic_category()); }, ERROR_ACCESS_DENIED,
       HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      {"system_error of a future", [] { throw std::system_error(std::make_error_code(std::future_errc::no_state)); },
       ERROR_GEN_FAILURE, E_FAIL},
      {"length_error", [] { throw std::length_error("too long"); }, ERROR_GEN_FAILURE, E_FAIL},
      {"an int", [] { throw 42; }, ERROR_GEN_FAILURE, E_FAIL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<LSTATUS>(c.error), winapi::GuardedStatus([&]() -> LSTATUS {
                c.raise();
                return ERROR_SUCCESS;
              })) << c.what;
    EXPECT_EQ(c.hr, winapi::GuardedHResult([&]() -> HRESULT {
                c.raise();
                return S_OK;
              })) << c.what;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FALSE, winapi::GuardedBool([&]() -> BOOL {
                c.raise();
                return TRUE;
              })) << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, winapi::GuardedHandle(
                                        [&]() -> HANDLE {
                                          c.raise();
                                          return nullptr;
                                        },
                                        INVALID_HANDLE_VALUE))
        << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
  }
  // Without an exception the result passes through and the last error stays.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(7, winapi::GuardedLastError(-1, [] { return 7; }));
  EXPECT_EQ(0xdeadbeefu, GetLastError());
}

}  // namespace

// Message formatting (inserts, escapes, widths, message files) and code page conversion.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "conformance.h"

namespace {

using conformance::kSentinel;

constexpr DWORD kFromString = FORMAT_MESSAGE_FROM_STRING;
constexpr DWORD kArray = FORMAT_MESSAGE_ARGUMENT_ARRAY;
constexpr WORD kLangGerman = 0x07;  // a language the test table lacks

std::wstring Visible(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) out += c == L'\r' ? std::wstring(L"\\r") : c == L'\n' ? std::wstring(L"\\n") : std::wstring(1, c);
  return out;
}

std::wstring FormatArray(DWORD flags, const wchar_t* format, const std::vector<DWORD_PTR>& args, DWORD* error) {
  wchar_t buffer[512];
  SetLastError(kSentinel);
  const DWORD n = FormatMessageW(flags, format, 0, 0, buffer, 512,
                                 args.empty() ? nullptr : reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args.data())));
  *error = GetLastError();
  return n ? std::wstring(buffer, n) : std::wstring(L"<failed>");
}

DWORD FormatVarArgs(wchar_t* buffer, DWORD size, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const DWORD n = FormatMessageW(kFromString, format, 0, 0, buffer, size, &args);
  va_end(args);
  return n;
}

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::wstring text(path);
  return text.substr(0, text.find_last_of(L"\\/") + 1);
}

std::vector<char> ReadWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::vector<char> bytes(GetFileSize(file, nullptr));
  DWORD read = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

void WriteWholeFile(const std::wstring& path, const std::vector<char>& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

TEST(MessageFormat, InsertsAndEscapesProduceTheDocumentedText) {
  struct Case {
    const wchar_t* format;
    std::vector<DWORD_PTR> args;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"%1!d! items", {static_cast<DWORD_PTR>(-7)}, L"-7 items"},
      {L"%2 before %1", {(DWORD_PTR)L"a", (DWORD_PTR)L"b"}, L"b before a"},
      {L"[%1!5d!][%1!-5d!]", {42}, L"[   42][42   ]"},
      {L"[%1!-5s!]", {(DWORD_PTR)L"ab"}, L"[ab   ]"},
      {L"%1!.2s!", {(DWORD_PTR)L"abcdef"}, L"ab"},
      {L"[%1!*.*s!] %4", {6, 2, (DWORD_PTR)L"abcdef", (DWORD_PTR)L"four"}, L"[    ab] four"},
      {L"%1!x! %1!#X! %1!08X! %1!o!", {0xBEEF}, L"beef 0XBEEF 0000BEEF 137357"},
      {L"%1!u!", {static_cast<DWORD_PTR>(-1)}, L"4294967295"},
      {L"%1!I64d! %2!I64u! %2!I64x!", {static_cast<DWORD_PTR>(-5LL), 0x123456789AULL}, L"-5 78187493530 123456789a"},
      {L"%1!S! %2!hs! %3!ls! %4!s!", {(DWORD_PTR)"nar", (DWORD_PTR)"hs", (DWORD_PTR)L"ls", (DWORD_PTR)L"wide"},
       L"nar hs ls wide"},
      {L"%1!c!%2!C!", {L'W', 'n'}, L"Wn"},
      {L"%1!05d!|%1!+d!|%1! d!", {42}, L"00042|+42| 42"},
      {L"%1!lu! %1!hd!", {0x10002}, L"65538 2"},
      {L"100%% done%. %! ok", {}, L"100% done. ! ok"},
      {L"a%nb%tc%rd", {}, L"a\r\nb\tc\rd"},
      {L"stop%0 never", {}, L"stop"},
      {L"x\ny\r\nz", {}, L"x\r\ny\r\nz"},
      {L"%1", {(DWORD_PTR)L"Gr\u00FC\u00DFe \u20AC"}, L"Gr\u00FC\u00DFe \u20AC"},
      {L"%1", {0}, L"(null)"},
  };
  for (const auto& c : cases) {
    DWORD error = 0;
    const std::wstring text = FormatArray(kFromString | kArray, c.format, c.args, &error);
    EXPECT_EQ(text, c.expected) << Visible(c.format) << " error " << error;
  }
}

TEST(MessageFormat, BadInsertsFailWithInvalidParameter) {
  struct Case {
    const wchar_t* format;
    bool wineAgrees;
  };
  const Case cases[] = {
      {L"ends in %", true},
      {L"%1!d unterminated", true},
      // Wine prints the unknown conversion character instead of failing.
      {L"%1!z!", false},
      {L"%1!f!", false},
  };
  const std::vector<DWORD_PTR> args{1, 2, 3};
  for (const auto& c : cases) {
    if (!c.wineAgrees && conformance::OnWine()) continue;
    DWORD error = 0;
    EXPECT_EQ(FormatArray(kFromString | kArray, c.format, args, &error), L"<failed>") << Visible(c.format);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << Visible(c.format);
  }
  DWORD error = 0;
  EXPECT_EQ(FormatArray(kFromString, L"needs %1", {}, &error), L"<failed>") << "inserts without arguments";
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(MessageFormat, WidthsAndIgnoredInserts) {
  struct Case {
    DWORD flags;
    const wchar_t* format;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {FORMAT_MESSAGE_MAX_WIDTH_MASK, L"line1\r\nline2%nline3\r\n", L"line1 line2\r\nline3 "},
      {10, L"aaaa bbbb cccc dddd eeee", L"aaaa bbbb\r\ncccc dddd\r\neeee"},
      {3, L"abcdefgh ij", L"abc\r\ndef\r\ngh\r\nij"},
      {FORMAT_MESSAGE_IGNORE_INSERTS, L"x %1 %% %n %2!d! end", L"x %1 %% \r\n %2!d! end"},
  };
  for (const auto& c : cases) {
    DWORD error = 0;
    EXPECT_EQ(Visible(FormatArray(kFromString | c.flags, c.format, {}, &error)), Visible(c.expected))
        << Visible(c.format) << " flags " << c.flags;
  }
}

TEST(MessageFormat, VaListArgumentsAreTakenByInsertNumber) {
  wchar_t buffer[128];
  const DWORD n = FormatVarArgs(buffer, 128, L"%2!s!-%1!d!-%3!I64x!", 17, L"two", 0xABCDEF0123ULL);
  ASSERT_GT(n, 0u) << GetLastError();
  EXPECT_EQ(std::wstring(buffer, n), L"two-17-abcdef0123");
}

TEST(MessageFormat, BufferIsAllocatedOrMustBeLargeEnough) {
  LPWSTR allocated = reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(0x1));
  const DWORD_PTR args[] = {(DWORD_PTR)L"left", (DWORD_PTR)L"right"};
  const DWORD n = FormatMessageW(kFromString | kArray | FORMAT_MESSAGE_ALLOCATE_BUFFER, L"%1 and %2", 0, 0,
                                 reinterpret_cast<LPWSTR>(&allocated), 0,
                                 reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  ASSERT_EQ(n, 14u) << GetLastError();
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::wstring(allocated), L"left and right");
  EXPECT_GE(LocalSize(allocated), (n + 1) * sizeof(WCHAR));
  EXPECT_EQ(LocalFree(allocated), nullptr);

  wchar_t small[3] = {L'#', L'#', L'#'};
  SetLastError(kSentinel);
  EXPECT_EQ(FormatMessageW(kFromString, L"abcdef", 0, 0, small, 3, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(MessageFormat, SystemTextsEndInLineBreak) {
  wchar_t buffer[512];
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 ERROR_FILE_NOT_FOUND, 0, buffer, 512, nullptr);
  ASSERT_GT(n, 2u) << GetLastError();
  const std::wstring text(buffer, n);
  EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
  // Wine words its system messages in its own short way.
  if (!conformance::OnWine()) {
    EXPECT_EQ(text, L"The system cannot find the file specified.\r\n");
    const DWORD h = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80070005u, 0, buffer, 512, nullptr);
    EXPECT_EQ(std::wstring(buffer, h), L"Access is denied.\r\n") << "HRESULTs of Win32 errors carry their text";
  }
  const DWORD flat = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                                    ERROR_ACCESS_DENIED, 0, buffer, 512, nullptr);
  ASSERT_GT(flat, 0u);
  EXPECT_EQ(std::wstring(buffer, flat).find(L'\n'), std::wstring::npos);

  SetLastError(kSentinel);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x1234567, 0, buffer, 512, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

class MessageFileTest : public ::testing::TestWithParam<DWORD> {};

TEST_P(MessageFileTest, MessagesOfTheCompiledTableFormatWithInserts) {
  SetLastError(kSentinel);
  HMODULE module = LoadLibraryExW(L"format_test_messages.dll", nullptr, GetParam());
  ASSERT_NE(module, nullptr) << "error " << GetLastError();
  if (GetParam() & LOAD_LIBRARY_AS_DATAFILE) {
    EXPECT_NE(reinterpret_cast<uintptr_t>(module) & 3, 0u) << "a data file module carries low bits";
  }
  struct Case {
    DWORD id;
    std::vector<DWORD_PTR> args;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {1, {}, L"Plain message.\r\n"},
      {2, {(DWORD_PTR)L"N1", 3, (DWORD_PTR)L"down"}, L"Node N1 changed to state 3 (down).\r\n"},
      {0x40002A3B, {(DWORD_PTR)L"C1"}, L"Cluster C1 is up.\r\nSecond line.\r\n"},
      {0xC0002A3C, {(DWORD_PTR)L"G", (DWORD_PTR)L"N2"}, L"Group G failed\r\non node N2.\r\n"},
  };
  for (const auto& c : cases) {
    wchar_t buffer[256];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | kArray, module, c.id, 0, buffer, 256,
                                   c.args.empty() ? nullptr : reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(c.args.data())));
    EXPECT_EQ(Visible(std::wstring(buffer, n)), Visible(c.expected)) << "id " << std::hex << c.id << " error " << GetLastError();
  }
  wchar_t buffer[64];
  SetLastError(kSentinel);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, module, 5, 0, buffer, 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  SetLastError(kSentinel);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, module, 1, MAKELANGID(kLangGerman, SUBLANG_DEFAULT), buffer,
                           64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
  EXPECT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, module, 1, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                           buffer, 64, nullptr), 0u);
  EXPECT_TRUE(FreeLibrary(module));
}

INSTANTIATE_TEST_SUITE_P(LoadFlags, MessageFileTest,
                         ::testing::Values(LOAD_LIBRARY_AS_DATAFILE, LOAD_LIBRARY_AS_IMAGE_RESOURCE,
                                           DONT_RESOLVE_DLL_REFERENCES));

TEST(MessageFormat, ModuleWithoutMessageTableIsReported) {
  wchar_t buffer[64];
  SetLastError(kSentinel);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, GetModuleHandleW(nullptr), 1, 0, buffer, 64, nullptr), 0u);
  const DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_RESOURCE_TYPE_NOT_FOUND || error == ERROR_RESOURCE_DATA_NOT_FOUND) << error;
}

TEST(MessageFormat, RawMessageTableFileFormatsLikeTheImage) {
  // Windows opens only PE images as data files; the layer also takes the compiler's .bin.
  if (!conformance::OnOurLayer()) GTEST_SKIP() << "raw message tables are a layer extension";
  HMODULE module = LoadLibraryExW(L"format_test_messages.bin", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << GetLastError();
  wchar_t buffer[128];
  const DWORD_PTR args[] = {(DWORD_PTR)L"C7"};
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | kArray, module, 0x40002A3B, 0, buffer, 128,
                                 reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  EXPECT_EQ(Visible(std::wstring(buffer, n)), L"Cluster C7 is up.\\r\\nSecond line.\\r\\n");
  FreeLibrary(module);
}

TEST(MessageFormat, CorruptMessageFilesNeverCrash) {
  if (!conformance::OnOurLayer()) GTEST_SKIP() << "checks the layer's own resource parser";
  const std::vector<char> image = ReadWholeFile(ExecutableDirectory() + L"format_test_messages.dll");
  const std::vector<char> table = ReadWholeFile(ExecutableDirectory() + L"format_test_messages.bin");
  ASSERT_GT(image.size(), 0x200u);
  ASSERT_GT(table.size(), 16u);
  auto patched = [](std::vector<char> bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
    return bytes;
  };
  auto truncated = [](const std::vector<char>& bytes, size_t size) {
    return std::vector<char>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(std::min(size, bytes.size())));
  };
  const uint32_t peOffset = static_cast<uint8_t>(image[0x3C]) | (static_cast<uint8_t>(image[0x3D]) << 8);
  const std::vector<std::pair<const char*, std::vector<char>>> inputs = {
      {"image cut after the DOS header", truncated(image, 0x40)},
      {"image cut in half", truncated(image, image.size() / 2)},
      {"image cut before its end", truncated(image, image.size() - 8)},
      {"PE offset outside the file", patched(image, 0x3C, 0xFFFFFFF0u)},
      {"section count huge", patched(image, peOffset + 4 + 2, 0xFFFFu)},
      {"resource directory far away", patched(image, peOffset + 24 + 112 + 16, 0x7FFFFFF0u)},
      {"only a signature", {'M', 'Z'}},
      {"table with huge block count", patched(table, 0, 0x7FFFFFFFu)},
      {"table block pointing outside", patched(table, 12, 0xFFFFFF00u)},
      {"table entry of length zero", patched(table, 4 + 12 * 3, 0)},
      {"table cut short", truncated(table, 20)},
      {"table with reversed ids", patched(table, 4, 0xFFFFFFFFu)},
  };
  const std::wstring dir = conformance::FreshTempDir(L"k2-corrupt");
  int index = 0;
  for (const auto& [name, bytes] : inputs) {
    const std::wstring path = dir + L"\\corrupt" + std::to_wstring(index++) + L".dll";
    WriteWholeFile(path, bytes);
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) continue;
    for (DWORD id : {1u, 2u, 0x40002A3Bu, 0xFFFFFFFFu}) {
      wchar_t buffer[256];
      const DWORD_PTR args[] = {(DWORD_PTR)L"a", 1, (DWORD_PTR)L"b"};
      const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | kArray, module, id, 0, buffer, 256,
                                     reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
      EXPECT_LT(n, 256u) << name;
    }
    FreeLibrary(module);
  }
}

TEST(CodePages, WideToMultiByteSizeContract) {
  struct Case {
    UINT codePage;
    const wchar_t* text;
    int length;
    int bufferSize;
    int result;
    DWORD error;
  };
  const Case cases[] = {
      {CP_UTF8, L"h\u00E9llo", -1, 0, 7, 0},   // -1 counts the terminator
      {CP_UTF8, L"h\u00E9llo", 5, 0, 6, 0},    // an explicit length does not
      {CP_UTF8, L"h\u00E9llo", -1, 7, 7, 0},
      {CP_UTF8, L"h\u00E9llo", -1, 6, 0, ERROR_INSUFFICIENT_BUFFER},
      {CP_UTF8, L"\U0001F600", -1, 0, 5, 0},   // one code point, however wide WCHAR is
      {CP_ACP, L"abc\u20AC", -1, 0, 5, 0},
      {CP_UTF8, L"x", 0, 0, 0, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    char buffer[16] = {};
    SetLastError(kSentinel);
    const int result = WideCharToMultiByte(c.codePage, 0, c.text, c.length, c.bufferSize ? buffer : nullptr,
                                           c.bufferSize, nullptr, nullptr);
    EXPECT_EQ(result, c.result) << Visible(c.text) << " length " << c.length << " buffer " << c.bufferSize;
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error) << Visible(c.text);
    }
  }
  char utf8[8] = {};
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\U0001F600", -1, utf8, 8, nullptr, nullptr), 5);
  EXPECT_EQ(std::string(utf8), "\xF0\x9F\x98\x80");
  wchar_t back[4] = {};
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, back, 4);
  EXPECT_EQ(units, static_cast<int>(sizeof(L"\U0001F600") / sizeof(WCHAR)));
  EXPECT_EQ(std::wstring(back), L"\U0001F600");
}

TEST(CodePages, Ansi1252RoundTripsEveryDefinedByte) {
  std::string bytes;
  for (int b = 0x20; b <= 0xFF; ++b)
    if (b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D) bytes += static_cast<char>(b);
  wchar_t wide[256] = {};
  const int units = MultiByteToWideChar(1252, 0, bytes.data(), static_cast<int>(bytes.size()), wide, 256);
  ASSERT_EQ(units, static_cast<int>(bytes.size()));
  EXPECT_EQ(wide[0x80 - 0x20], L'\u20AC') << "0x80 is the euro sign";
  EXPECT_EQ(wide[0xFC - 0x20 - 5], L'\u00FC');
  char narrow[256] = {};
  BOOL usedDefault = TRUE;
  ASSERT_EQ(WideCharToMultiByte(1252, 0, wide, units, narrow, 256, nullptr, &usedDefault), units);
  EXPECT_FALSE(usedDefault);
  EXPECT_EQ(std::string(narrow, units), bytes);

  usedDefault = FALSE;
  ASSERT_EQ(WideCharToMultiByte(1252, 0, L"a\u4E2Db", 3, narrow, 8, "*", &usedDefault), 3);
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(std::string(narrow, 3), "a*b");
  if (conformance::OnOurLayer()) {
    EXPECT_EQ(GetACP(), 1252u);
    EXPECT_EQ(GetOEMCP(), 437u);
  }
}

TEST(CodePages, InvalidCharactersAreReportedOnRequest) {
  wchar_t wide[8] = {};
  SetLastError(kSentinel);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC3\x28", 2, wide, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\x28", 2, wide, 8), 2);
  EXPECT_EQ(wide[0], L'\uFFFD');

  char narrow[8] = {};
  const wchar_t lone[] = {static_cast<wchar_t>(0xD800), L'x', 0};
  SetLastError(kSentinel);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, narrow, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  // Wine ignores lpUsedDefaultChar for UTF-8 instead of refusing it.
  if (!conformance::OnWine()) {
    BOOL used = FALSE;
    SetLastError(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"x", -1, narrow, 8, nullptr, &used), 0) << "UTF-8 has no default";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

}  // namespace

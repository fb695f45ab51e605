// Profile files: parsing rules, list and truncation contracts, encodings and writing.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conformance.h"

namespace {

const char kSample[] =
    "; leading comment\r\n"
    "[Settings]\r\n"
    "  Name = Value with spaces  \r\n"
    "Quoted = \"  padded  \"\r\n"
    "Single='x'\r\n"
    "Unbalanced=\"open\r\n"
    "Empty=\r\n"
    "Number=42abc\r\n"
    "Hex=0x1F\r\n"
    ";Commented=1\r\n"
    "\r\n"
    "[ Other ]\r\n"
    "Name=second\r\n";

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = conformance::FreshTempDir(L"k2-profile");
    sample_ = Write(L"sample.ini", std::string(kSample));
  }

  std::wstring Write(const wchar_t* name, const std::string& bytes) const {
    const std::wstring path = dir_ + L"\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return path;
  }

  static std::wstring Get(const wchar_t* section, const wchar_t* key, const wchar_t* fallback,
                          const std::wstring& path) {
    wchar_t buffer[128];
    const DWORD n = GetPrivateProfileStringW(section, key, fallback, buffer, 128, path.c_str());
    return std::wstring(buffer, n);
  }

  static std::vector<std::wstring> Split(const wchar_t* list, DWORD length) {
    std::vector<std::wstring> items;
    for (DWORD i = 0; i < length;) {
      std::wstring item(list + i);
      items.push_back(item);
      i += static_cast<DWORD>(item.size()) + 1;
    }
    return items;
  }

  std::wstring dir_;
  std::wstring sample_;
};

TEST_F(ProfileTest, ValuesAreTrimmedUnquotedAndLookedUpWithoutCase) {
  struct Case {
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"Settings", L"Name", L"Value with spaces"},
      {L"SETTINGS", L"name", L"Value with spaces"},
      {L"Settings", L"Quoted", L"  padded  "},
      {L"Settings", L"Single", L"x"},
      {L"Settings", L"Unbalanced", L"\"open"},
      {L"Settings", L"Empty", L""},
      {L"Settings", L"Commented", L"fallback"},
      {L"Other", L"Name", L"second"},
      {L"Missing", L"Name", L"fallback"},
      {L"Settings", L"Missing", L"fallback"},
  };
  for (const auto& c : cases) EXPECT_EQ(Get(c.section, c.key, L"fallback", sample_), c.expected) << c.section << "/" << c.key;
  EXPECT_EQ(Get(L"Settings", L"Missing", L"trailing   ", sample_), L"trailing") << "the default loses trailing blanks";
  EXPECT_EQ(Get(L"Settings", L"Name", L"fallback", dir_ + L"\\missing.ini"), L"fallback");
}

TEST_F(ProfileTest, IntegersParseLeadingDigitsAndDefaultOnlyWhenAbsent) {
  struct Case {
    const wchar_t* key;
    UINT expected;
  };
  const Case cases[] = {
      {L"Number", 42}, {L"Hex", 31}, {L"Empty", 7}, {L"Missing", 7}, {L"Name", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GetPrivateProfileIntW(L"Settings", c.key, 7, sample_.c_str()), c.expected) << c.key;
  EXPECT_EQ(GetPrivateProfileIntW(L"Settings", L"Number", 7, (dir_ + L"\\missing.ini").c_str()), 7u);
}

TEST_F(ProfileTest, NullSectionOrKeyListsNamesDoubleNullTerminated) {
  wchar_t buffer[256];
  DWORD n = GetPrivateProfileStringW(nullptr, nullptr, L"x", buffer, 256, sample_.c_str());
  EXPECT_EQ(Split(buffer, n), (std::vector<std::wstring>{L"Settings", L"Other"}));
  EXPECT_EQ(buffer[n], L'\0');
  EXPECT_EQ(n, 15u) << "names and their terminators, without the final one";

  n = GetPrivateProfileStringW(L"settings", nullptr, L"x", buffer, 256, sample_.c_str());
  EXPECT_EQ(Split(buffer, n), (std::vector<std::wstring>{L"Name", L"Quoted", L"Single", L"Unbalanced", L"Empty",
                                                          L"Number", L"Hex"}));

  n = GetPrivateProfileSectionW(L"Other", buffer, 256, sample_.c_str());
  EXPECT_EQ(Split(buffer, n), (std::vector<std::wstring>{L"Name=second"}));
}

TEST_F(ProfileTest, TruncationFollowsTheDocumentedReturnValues) {
  struct Case {
    const wchar_t* section;
    const wchar_t* key;
    DWORD size;
    DWORD result;
    std::wstring contents;
  };
  const Case cases[] = {
      {L"Other", L"Name", 4, 3, std::wstring(L"sec\0", 4)},
      {L"Other", L"Name", 1, 0, std::wstring(L"\0", 1)},
      {nullptr, nullptr, 5, 3, std::wstring(L"Set\0\0", 5)},
      {nullptr, nullptr, 12, 10, std::wstring(L"Settings\0O\0\0", 12)},
  };
  for (const auto& c : cases) {
    std::wstring buffer(c.size + 2, L'#');
    EXPECT_EQ(GetPrivateProfileStringW(c.section, c.key, L"dflt", buffer.data(), c.size, sample_.c_str()), c.result)
        << "size " << c.size;
    EXPECT_EQ(buffer.substr(0, c.size), c.contents) << "size " << c.size;
    EXPECT_EQ(buffer[c.size], L'#') << "size " << c.size << ": nothing past the buffer";
  }
}

TEST_F(ProfileTest, UnicodeAndUtf8FilesWithByteOrderMarks) {
  const std::wstring text = L"[S]\r\nKey=Gr\u00FC\u00DFe \u20AC\r\n";
  std::string utf16 = "\xFF\xFE";
  for (wchar_t c : text) {
    utf16 += static_cast<char>(c & 0xFF);
    utf16 += static_cast<char>((c >> 8) & 0xFF);
  }
  const std::wstring unicodeFile = Write(L"utf16.ini", utf16);
  EXPECT_EQ(Get(L"S", L"Key", L"", unicodeFile), L"Gr\u00FC\u00DFe \u20AC");

  const std::wstring ansiFile = Write(L"ansi.ini", "[S]\r\nKey=Gr\xFC\xDF" "e \x80\r\n");
  EXPECT_EQ(Get(L"S", L"Key", L"", ansiFile), L"Gr\u00FC\u00DFe \u20AC");

  // Windows reads a UTF-8 byte order mark only on recent versions; Wine takes the bytes as ANSI.
  if (!conformance::OnWine()) {
    const std::wstring utf8File = Write(L"utf8.ini", "\xEF\xBB\xBF[S]\r\nKey=Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\r\n");
    EXPECT_EQ(Get(L"S", L"Key", L"", utf8File), L"Gr\u00FC\u00DFe \u20AC");
  }

  ASSERT_TRUE(WritePrivateProfileStringW(L"S", L"Other", L"\u00E9t\u00E9", unicodeFile.c_str()));
  EXPECT_EQ(Get(L"S", L"Other", L"", unicodeFile), L"\u00E9t\u00E9") << "a Unicode file stays Unicode";
  EXPECT_EQ(Get(L"S", L"Key", L"", unicodeFile), L"Gr\u00FC\u00DFe \u20AC");
}

TEST_F(ProfileTest, WritingAddsReplacesAndDeletesWithoutLosingComments) {
  const std::wstring path = dir_ + L"\\written.ini";
  DeleteFileW(path.c_str());
  ASSERT_TRUE(WritePrivateProfileStringW(L"First", L"A", L"1", path.c_str())) << GetLastError();
  ASSERT_TRUE(WritePrivateProfileStringW(L"Second", L"B", L"2", path.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(L"first", L"C", L"3", path.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(L"First", L"a", L"replaced", path.c_str()));
  EXPECT_EQ(Get(L"First", L"A", L"", path), L"replaced");
  EXPECT_EQ(Get(L"First", L"C", L"", path), L"3");
  EXPECT_EQ(Get(L"Second", L"B", L"", path), L"2");

  ASSERT_TRUE(WritePrivateProfileStringW(L"First", L"C", nullptr, path.c_str()));
  EXPECT_EQ(Get(L"First", L"C", L"gone", path), L"gone");
  ASSERT_TRUE(WritePrivateProfileStringW(L"Second", nullptr, nullptr, path.c_str()));
  EXPECT_EQ(Get(L"Second", L"B", L"gone", path), L"gone");
  EXPECT_EQ(Get(L"First", L"A", L"", path), L"replaced");

  ASSERT_TRUE(WritePrivateProfileStringW(L"Settings", L"Added", L"new", sample_.c_str()));
  EXPECT_EQ(Get(L"Settings", L"Added", L"", sample_), L"new");
  EXPECT_EQ(Get(L"Other", L"Name", L"", sample_), L"second");
  EXPECT_EQ(Get(L"Settings", L"Commented", L"still a comment", sample_), L"still a comment");
  EXPECT_EQ(GetPrivateProfileIntW(L"Settings", L"Hex", 0, sample_.c_str()), 31u);
}

}  // namespace

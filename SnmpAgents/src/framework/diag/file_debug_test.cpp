#include "file_debug.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "trace_test_support.h"

namespace {

using fw::diag::CFileDebug;
using namespace fw::diag::testing;

std::string Utf16(const std::wstring& text) {
  std::string bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return bytes;
}

class AppendFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = TempDirFor(L"append");
    m_path = m_dir + L"\\trace.log";
    DeleteFileW(m_path.c_str());
    DeleteFileW((m_path + L".txt").c_str());
  }
  void TearDown() override {
    DeleteFileW(m_path.c_str());
    DeleteFileW((m_path + L".txt").c_str());
    RemoveDirectoryW(m_dir.c_str());
  }
  std::wstring m_dir;
  std::wstring m_path;
};

TEST_F(AppendFileTest, EncodingFollowsTheFile) {
  const struct {
    const char* what;
    std::string existing;  // empty: no file yet
    std::wstring line;
    std::string expected;
  } cases[] = {
      {"new file: byte order mark and UTF-16 LE", "", L"\nline one\nline two",
       "\xFF\xFE" + Utf16(L"\r\nline one\r\nline two")},
      {"existing UTF-16 file", "\xFF\xFE" + Utf16(L"old"), L"\nnew", "\xFF\xFE" + Utf16(L"old\r\nnew")},
      {"existing file without mark: ANSI", "old\r\n", L"\nabc\n", "old\r\n\r\nabc\r\n"},
      {"astral character as a surrogate pair", "", L"\U0001F600", std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6)},
  };
  for (const auto& c : cases) {
    DeleteFileW(m_path.c_str());
    if (!c.existing.empty()) {
      ASSERT_TRUE(WriteFileBytes(m_path, c.existing));
    }
    CFileDebug file;
    file.SetPath(m_path, true);
    file.SetLimit(1 << 20);
    file.Write(c.line);
    EXPECT_EQ(ReadFileBytes(m_path), c.expected) << c.what;
  }
}

TEST_F(AppendFileTest, FullFileMovesToTxtReplacingAnOlderOne) {
  ASSERT_TRUE(WriteFileBytes(m_path + L".txt", "stale"));
  CFileDebug file;
  file.SetPath(m_path, true);
  file.SetLimit(64);
  const std::wstring line = L"\n0123456789abcdef";  // 36 bytes with "\r\n" in UTF-16
  file.Write(line);
  EXPECT_EQ(ReadFileBytes(m_path).size(), 2u + 36u);
  file.Write(line);  // 74 bytes: over the limit
  EXPECT_FALSE(FileExists(m_path));
  EXPECT_EQ(ReadFileBytes(m_path + L".txt"), "\xFF\xFE" + Utf16(L"\r\n0123456789abcdef\r\n0123456789abcdef"));
  file.Write(L"\nnext");
  EXPECT_EQ(ReadFileBytes(m_path), "\xFF\xFE" + Utf16(L"\r\nnext"));
}

TEST_F(AppendFileTest, UnwritablePathLosesTheLineOnly) {
  CFileDebug file;
  file.SetPath(m_dir + L"\\missing\\dir\\trace.log", true);
  file.SetLimit(1 << 20);
  file.Write(L"\nlost");
  EXPECT_FALSE(FileExists(m_dir + L"\\missing"));
  CFileDebug none;
  none.Write(L"\nno path");  // nothing configured: nothing happens
}

TEST_F(AppendFileTest, WritersOfOneFileDoNotLoseLines) {
  constexpr int kThreads = 4;
  constexpr int kLines = 40;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      CFileDebug file;  // each with its own handle of the named mutex, as separate processes have
      file.SetPath(m_path, true);
      file.SetLimit(1 << 20);
      for (int i = 0; i < kLines; ++i) file.Write(L"\nwriter " + std::to_wstring(t) + L" line " + std::to_wstring(i));
    });
  }
  for (auto& writer : writers) writer.join();
  const std::wstring text = DecodeUtf16Le(ReadFileBytes(m_path));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) {
      const std::wstring line = L"\r\nwriter " + std::to_wstring(t) + L" line " + std::to_wstring(i) + L"\r\n";
      EXPECT_NE((text + L"\r\n").find(line), std::wstring::npos) << "lost writer " << t << " line " << i;
    }
  }
}

}  // namespace

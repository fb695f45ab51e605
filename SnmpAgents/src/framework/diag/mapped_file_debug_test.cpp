#include "mapped_file_debug.h"

#include <gtest/gtest.h>

#include <string>

#include "trace_test_support.h"

namespace {

using fw::diag::CMappedFileDebug;
using namespace fw::diag::testing;

constexpr wchar_t kMarker[] = L"\r\n[EOF]\r\n";

class RingFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = TempDirFor(L"ring");
    m_path = m_dir + L"\\ring.log";
    DeleteFileW(m_path.c_str());
  }
  void TearDown() override {
    DeleteFileW(m_path.c_str());
    RemoveDirectoryW(m_dir.c_str());
  }
  std::string Bytes() const { return ReadFileBytes(m_path); }
  std::wstring Text() const { return DecodeUtf16Le(Bytes()); }

  std::wstring m_dir;
  std::wstring m_path;
};

TEST_F(RingFileTest, UnwrappedRingIsCutToItsText) {
  {
    CMappedFileDebug ring;
    ring.Write(m_path, 4096, L"\nabc");
    ring.Write(m_path, 4096, L"\ndef");
  }
  EXPECT_EQ(Bytes().size(), 2u + 2 * 10u);
  EXPECT_EQ(Bytes().substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(Text(), L"\r\nabc\r\ndef");
}

TEST_F(RingFileTest, AfterAWrapEveryLineEndsWithTheMarker) {
  // The byte order mark, four 10-byte lines and room for the 18-byte marker.
  constexpr ULONGLONG kLimit = 64;
  CMappedFileDebug ring;
  for (int i = 0; i < 20; ++i) {
    wchar_t line[8];
    line[0] = L'\n';
    line[1] = L'L';
    line[2] = static_cast<wchar_t>(L'0' + i / 10);
    line[3] = static_cast<wchar_t>(L'0' + i % 10);
    ring.Write(m_path, kLimit, std::wstring_view(line, 4));
    const std::wstring text = Text();
    const bool wrapped = i >= 4;
    const std::wstring newest = std::wstring(line + 1, 3) + kMarker;
    EXPECT_EQ(text.find(newest) != std::wstring::npos, wrapped) << "line " << i << ": " << std::string(text.begin(), text.end());
    EXPECT_LE(Bytes().size(), kLimit);
    EXPECT_EQ(Bytes().substr(0, 2), "\xFF\xFE") << "byte order mark overwritten at line " << i;
  }
  ring.Close();
  const std::wstring text = Text();
  EXPECT_NE(text.find(std::wstring(L"L19") + kMarker), std::wstring::npos) << std::string(text.begin(), text.end());
}

TEST_F(RingFileTest, OversizedPieceStaysInsideTheMapping) {
  const struct {
    const char* what;
    std::wstring before;
  } cases[] = {{"at the start", L""}, {"after other text", L"\nearlier text"}};
  for (const auto& c : cases) {
    DeleteFileW(m_path.c_str());
    {
      CMappedFileDebug ring;
      if (!c.before.empty()) ring.Write(m_path, 64, c.before);
      ring.Write(m_path, 64, std::wstring(L"\n") + std::wstring(5000, L'x'));
      ring.Write(m_path, 64, std::wstring(5000, L'y'));
    }
    const std::string bytes = Bytes();
    EXPECT_EQ(bytes.size(), 64u) << c.what;
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE") << c.what;
    EXPECT_EQ(Text(), std::wstring(22, L'y') + kMarker) << c.what;
  }
}

TEST_F(RingFileTest, ExistingRingGoesOnAfterItsText) {
  {
    CMappedFileDebug ring;
    ring.Write(m_path, 4096, L"\nfirst");
  }
  {
    CMappedFileDebug ring;
    ring.Write(m_path, 4096, L"\nsecond");
  }
  EXPECT_EQ(Text(), L"\r\nfirst\r\nsecond");
}

TEST_F(RingFileTest, ExistingFileLongerThanTheRing) {
  ASSERT_TRUE(WriteFileBytes(m_path, "\xFF\xFE" + std::string(300, 'a')));
  {
    CMappedFileDebug ring;
    ring.Write(m_path, 64, L"\nnew");
  }
  const std::string bytes = Bytes();
  EXPECT_EQ(bytes.size(), 64u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(DecodeUtf16Le(bytes).substr(0, 14), std::wstring(L"\r\nnew") + kMarker);
}

TEST_F(RingFileTest, UnusableSettingsLoseLinesWithoutHarm) {
  CMappedFileDebug ring;
  ring.Write(m_path, 16, L"\ntoo small a ring");
  EXPECT_FALSE(FileExists(m_path));
  ring.Write(m_dir + L"\\missing\\ring.log", 4096, L"\nno directory");
  ring.Write(L"", 4096, L"\nno path");
  ring.Close();
  ring.Close();
}

TEST_F(RingFileTest, ChangedLimitReopensAndKeepsTheText) {
  CMappedFileDebug ring;
  ring.Write(m_path, 4096, L"\none");
  EXPECT_TRUE(ring.IsOpenFor(m_path, 4096));
  ring.Write(m_path, 8192, L"\ntwo");
  EXPECT_TRUE(ring.IsOpenFor(m_path, 8192));
  ring.Close();
  EXPECT_EQ(Text(), L"\r\none\r\ntwo");
}

}  // namespace

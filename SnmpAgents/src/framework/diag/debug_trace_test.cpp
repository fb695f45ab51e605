#include "debug_trace.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "trace_test_support.h"

namespace {

using namespace fw::diag::testing;

constexpr wchar_t kApp[] = L"UnitApp";

std::string Narrow(const std::wstring& text) {
  std::string result;
  for (wchar_t c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_key = std::make_unique<ScratchSettingsKey>(L"Trace");
    m_dir = TempDirFor(L"trace");
    m_path = m_dir + L"\\trace.log";
    DeleteFileW(m_path.c_str());
  }
  void TearDown() override {
    m_key.reset();
    DeleteFileW(m_path.c_str());
    DeleteFileW((m_dir + L"\\second.log").c_str());
    RemoveDirectoryW(m_dir.c_str());
  }

  void ConfigureFile(DWORD level, bool ringFile = false) {
    ASSERT_TRUE(m_key->SetDword(kApp, L"FileDebugLevel", level));
    ASSERT_TRUE(m_key->SetString(kApp, L"TraceFile", m_path));
    ASSERT_TRUE(m_key->SetDword(kApp, L"TraceFileMemoryMapped", ringFile ? 1 : 0));
  }
  std::unique_ptr<CDebugTrace> StartTrace(bool banner = false) {
    auto trace = std::make_unique<CDebugTrace>(m_key->Path());
    trace->Initialize(kApp, banner);
    return trace;
  }
  std::wstring Text() const { return DecodeUtf16Le(ReadFileBytes(m_path)); }

  std::unique_ptr<ScratchSettingsKey> m_key;
  std::wstring m_dir;
  std::wstring m_path;
};

TEST_F(TraceTest, PrefixesFollowTheLeadingNewlinesInOrder) {
  const struct {
    std::vector<const wchar_t*> options;
    const wchar_t* format;
    const wchar_t* pattern;
  } cases[] = {
      {{}, L"\n\nhello %d", L"\r\n\r\nhello 5"},
      {{}, L"no newline %d", L"no newline 5"},
      {{L"DateStampOn", L"TimeStampOn"}, L"\n\nmsg %d",
       L"\r\n\r\n\\[\\d{4}-\\d{2}-\\d{2}\\] \\[\\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\] msg 5"},
      {{L"ThreadIdOn"}, L"\nmsg %d", L"\r\n\\(\\d{6,}\\) msg 5"},
      {{L"CpuIdOn"}, L"\nmsg %d", L"\r\n#\\d{2,} msg 5"},
      {{L"MemUsageOn"}, L"\nmsg %d", L"\r\n\\{PB \\d{5,}kB, MU \\d{5,}kB\\} msg 5"},
      {{L"HandleCountOn"}, L"\nmsg %d", L"\r\n\\{\\d{3,} H\\} msg 5"},
      {{L"AppNameOn"}, L"\nmsg %d", L"\r\nUnitApp: {7}msg 5"},
      {{L"AppNameOn", L"HandleCountOn", L"MemUsageOn", L"CpuIdOn", L"ThreadIdOn", L"TimeStampOn", L"DateStampOn"},
       L"\n\n\nall %d",
       L"\r\n\r\n\r\n\\[[-\\d]{10}\\] \\[[:.\\d]{12}\\] \\(\\d+\\) #\\d+ \\{PB \\d+kB, MU \\d+kB\\} \\{\\d+ H\\} "
       L"UnitApp: {7}all 5"},
  };
  for (const auto& c : cases) {
    m_key = std::make_unique<ScratchSettingsKey>(L"Trace");
    DeleteFileW(m_path.c_str());
    ConfigureFile(1);
    for (const wchar_t* option : c.options) m_key->SetDword(kApp, option, 1);
    StartTrace()->Trace(1, c.format, 5);
    const std::wstring text = Text();
    EXPECT_TRUE(std::regex_match(text, std::wregex(c.pattern))) << Narrow(c.format) << " gave " << Narrow(text);
  }
}

TEST_F(TraceTest, LevelsSelectTheLines) {
  ConfigureFile(3);
  auto trace = StartTrace();
  trace->Trace(0, L"\nzero counts as one");
  trace->Trace(1, L"\none");
  trace->Trace(3, L"\nthree");
  trace->Trace(4, L"\nfour");
  trace.reset();
  EXPECT_EQ(Text(), L"\r\nzero counts as one\r\none\r\nthree");
}

TEST_F(TraceTest, SwitchesDecideActivityAndOutput) {
  const struct {
    const char* what;
    std::function<void()> arrange;
    bool active;
    bool written;
  } cases[] = {
      {"no settings key", [] {}, false, false},
      {"key without outputs", [this] { m_key->CreateKey(); }, false, false},
      {"file output", [this] { ConfigureFile(1); }, true, true},
      {"file output but TraceEnabled 0",
       [this] {
         ConfigureFile(1);
         m_key->SetDword(L"", L"TraceEnabled", 0);
       },
       true, false},
      {"file level without path", [this] { m_key->SetDword(kApp, L"FileDebugLevel", 1); }, false, false},
      {"dynamic update alone", [this] { m_key->SetDword(L"", L"DynamicUpdate", 3600); }, true, false},
      {"debugger output alone", [this] { m_key->SetDword(kApp, L"WinDebugLevel", 1); }, true, false},
  };
  for (const auto& c : cases) {
    m_key = std::make_unique<ScratchSettingsKey>(L"Trace");
    DeleteFileW(m_path.c_str());
    c.arrange();
    auto trace = StartTrace();
    EXPECT_EQ(trace->IsActive(), c.active) << c.what;
    trace->Trace(1, L"\nline");
    trace.reset();
    EXPECT_EQ(FileExists(m_path), c.written) << c.what;
  }
}

TEST_F(TraceTest, CallerLastErrorIsKept) {
  const struct {
    const char* what;
    std::wstring path;
  } cases[] = {
      {"line written", L""},
      {"file cannot be opened", L"\\missing\\dir\\x.log"},
  };
  for (const auto& c : cases) {
    ConfigureFile(1);
    if (!c.path.empty()) m_key->SetString(kApp, L"TraceFile", m_dir + c.path);
    auto trace = StartTrace();
    for (DWORD error : {DWORD{0}, DWORD{ERROR_ACCESS_DENIED}, DWORD{0xdeadbeef}}) {
      SetLastError(error);
      trace->Trace(1, L"\n%s %d", L"text", 1);
      EXPECT_EQ(GetLastError(), error) << c.what;
    }
  }
}

TEST_F(TraceTest, LongMessagesArriveWhole) {
  ConfigureFile(1);
  m_key->SetDword(kApp, L"DateStampOn", 1);
  m_key->SetDword(kApp, L"TimeStampOn", 1);
  auto trace = StartTrace();
  const std::size_t lengths[] = {200, 255, 256, 480, 511, 512, 600, 5000};
  for (std::size_t length : lengths) {
    trace->Trace(1, L"\n%s|", std::wstring(length, L'm'));
  }
  trace.reset();
  const std::wstring text = Text();
  std::size_t at = 0;
  for (std::size_t length : lengths) {
    const std::wstring expected = L"] " + std::wstring(length, L'm') + L"|";
    at = text.find(expected, at);
    ASSERT_NE(at, std::wstring::npos) << "message of " << length << " characters lost or cut";
    at += expected.size();
  }
}

TEST_F(TraceTest, BadCallsStillWriteTheRest) {
  ConfigureFile(1);
  auto trace = StartTrace();
  const char* nullNarrow = nullptr;
  trace->Trace(1, nullptr);
  trace->Trace(1, L"\n%s|%d|%hs|%d", 42, L"x", nullNarrow);
  trace.reset();
  EXPECT_EQ(Text(), L"\r\n<?>|<?>|(null)|<?>");
}

TEST_F(TraceTest, BannersMarkStartAndClose) {
  ConfigureFile(1);
  StartTrace(true).reset();
  const std::wstring text = Text();
  const std::wstring stamp = L"at \\d{2}:\\d{2}:\\d{2} \\d{2}\\.\\d{2}\\.\\d{4} -----\r\n";
  const std::wregex banners(L"\r\n\r\n----- Application \\[UnitApp\\] started " + stamp +
                            L"\r\n\r\n----- Application \\[UnitApp\\] closed " + stamp);
  EXPECT_TRUE(std::regex_match(text, banners)) << Narrow(text);
}

TEST_F(TraceTest, RingFileSurvivesSettingsRereads) {
  ConfigureFile(1, true);
  auto trace = StartTrace();
  trace->Trace(1, L"\none");
  trace->ReadSettings();  // unchanged: the ring stays open
  trace->Trace(1, L"\ntwo");
  m_key->SetDword(kApp, L"TraceFileLimit", 0x80000000u | 8192);
  trace->ReadSettings();  // new size: closed and reopened
  trace->Trace(1, L"\nthree");
  m_key->SetDword(kApp, L"TraceFileMemoryMapped", 0);
  trace->ReadSettings();  // append mode on the same file
  trace->Trace(1, L"\nfour");
  trace.reset();
  EXPECT_EQ(Text(), L"\r\none\r\ntwo\r\nthree\r\nfour");
}

TEST_F(TraceTest, ConcurrentCallersShareTheRing) {
  ConfigureFile(1, true);
  auto trace = StartTrace();
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&trace, t] {
      for (int i = 0; i < kLines; ++i) trace->Trace(1, L"\nthread %d line %d.", t, i);
    });
  }
  for (auto& caller : callers) caller.join();
  trace.reset();
  const std::wstring text = Text();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) {
      const std::wstring line = L"\r\nthread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + L".";
      EXPECT_NE(text.find(line), std::wstring::npos) << Narrow(line) << " lost";
    }
  }
}

TEST_F(TraceTest, DynamicUpdateFollowsTheRegistry) {
  ConfigureFile(1);
  m_key->SetDword(L"", L"DynamicUpdate", 1);
  auto trace = StartTrace();
  trace->Trace(1, L"\nbefore");
  const std::wstring second = m_dir + L"\\second.log";
  DeleteFileW(second.c_str());
  m_key->SetString(kApp, L"TraceFile", second);
  Sleep(1100);  // the interval counts whole seconds
  trace->Trace(1, L"\nafter");
  trace.reset();
  EXPECT_EQ(Text(), L"\r\nbefore");
  EXPECT_EQ(DecodeUtf16Le(ReadFileBytes(second)), L"\r\nafter");
}

}  // namespace

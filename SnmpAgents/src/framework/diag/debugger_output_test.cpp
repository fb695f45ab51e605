#include "debugger_output.h"

#include <gtest/gtest.h>

#include <conformance.h>

#include <string>

#include "trace_test_support.h"

namespace {

using namespace fw::diag::testing;

// Our layer appends debugger output to the file named by WINAPI_DEBUG_OUTPUT; under Wine
// the text goes to the debugger channel, which a test cannot read back.
class DebuggerCapture {
 public:
  DebuggerCapture() : m_path(L"debug-output-" + std::to_wstring(GetCurrentProcessId()) + L".txt") {
    DeleteFileW(m_path.c_str());
    SetEnvironmentVariableW(L"WINAPI_DEBUG_OUTPUT", m_path.c_str());
  }
  ~DebuggerCapture() {
    SetEnvironmentVariableW(L"WINAPI_DEBUG_OUTPUT", nullptr);
    DeleteFileW(m_path.c_str());
  }
  DebuggerCapture(const DebuggerCapture&) = delete;
  DebuggerCapture& operator=(const DebuggerCapture&) = delete;

  std::string Take() {
    std::string text = ReadFileBytes(m_path);
    DeleteFileW(m_path.c_str());
    return text;
  }

 private:
  std::wstring m_path;
};

TEST(DebuggerOutput, LinesAreSplitAtNewlines) {
  if (!conformance::OnOurLayer()) GTEST_SKIP() << "debugger output is not readable here";
  DebuggerCapture capture;
  const struct {
    const wchar_t* line;
    std::string output;
  } cases[] = {
      {L"\nsingle", "single\n"},
      {L"\n\ntwo leading", "\ntwo leading\n"},
      {L"\nfirst\nsecond", "first\nsecond\n"},
      {L"\nbanner -----\n", "banner -----\n"},
      {L"no newline", "no newline\n"},
      {L"\n", ""},
      {L"", ""},
  };
  for (const auto& c : cases) {
    fw::diag::WriteToDebugger(c.line);
    EXPECT_EQ(capture.Take(), c.output) << "for line of length " << std::wstring(c.line).size();
  }
}

TEST(DebuggerOutput, LongPieceIsPassedInParts) {
  if (!conformance::OnOurLayer()) GTEST_SKIP() << "debugger output is not readable here";
  DebuggerCapture capture;
  const std::size_t length = fw::diag::kMaxDebuggerPiece + 100;
  fw::diag::WriteToDebugger(L"\n" + std::wstring(length, L'a'));
  const std::string expected =
      std::string(fw::diag::kMaxDebuggerPiece, 'a') + "\n" + std::string(100, 'a') + "\n";
  EXPECT_EQ(capture.Take(), expected);
}

}  // namespace

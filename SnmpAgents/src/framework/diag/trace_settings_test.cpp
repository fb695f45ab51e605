#include "trace_settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "trace_test_support.h"

namespace {

using fw::diag::DecodeTraceFileLimit;
using fw::diag::ReadTraceSettings;
using fw::diag::TraceFileMutexName;
using fw::diag::TraceSettings;
using fw::diag::testing::ScratchSettingsKey;

constexpr wchar_t kApp[] = L"UnitApp";

struct SettingsCase {
  const char* what;
  std::function<void(const ScratchSettingsKey&)> arrange;
  std::function<void(TraceSettings&)> expect;  // changes to the defaults that must result
};

void ExpectSame(const TraceSettings& expected, const TraceSettings& actual, const char* what) {
  EXPECT_EQ(actual.traceEnabled, expected.traceEnabled) << what;
  EXPECT_EQ(actual.dynamicUpdate, expected.dynamicUpdate) << what;
  EXPECT_EQ(actual.timeStampOn, expected.timeStampOn) << what;
  EXPECT_EQ(actual.dateStampOn, expected.dateStampOn) << what;
  EXPECT_EQ(actual.threadIdOn, expected.threadIdOn) << what;
  EXPECT_EQ(actual.cpuIdOn, expected.cpuIdOn) << what;
  EXPECT_EQ(actual.appNameOn, expected.appNameOn) << what;
  EXPECT_EQ(actual.memUsageOn, expected.memUsageOn) << what;
  EXPECT_EQ(actual.handleCountOn, expected.handleCountOn) << what;
  EXPECT_EQ(actual.conLevel, expected.conLevel) << what;
  EXPECT_EQ(actual.winLevel, expected.winLevel) << what;
  EXPECT_EQ(actual.fileLevel, expected.fileLevel) << what;
  EXPECT_EQ(actual.fileLimit, expected.fileLimit) << what;
  EXPECT_EQ(actual.filePath, expected.filePath) << what;
  EXPECT_EQ(actual.memoryMapped, expected.memoryMapped) << what;
}

TEST(TraceSettingsRead, RegistryTable) {
  SetEnvironmentVariableW(L"FW_TRACE_DIR", L"C:\\Traces");
  const std::wstring longPath = L"C:\\" + std::wstring(300, L'p');
  const DWORD qword[2] = {3, 0};
  const SettingsCase cases[] = {
      {"key missing: disabled", [](const ScratchSettingsKey&) {}, [](TraceSettings&) {}},
      {"key without TraceEnabled: enabled", [](const ScratchSettingsKey& k) { k.CreateKey(); },
       [](TraceSettings& s) { s.traceEnabled = true; }},
      {"TraceEnabled 0: disabled", [](const ScratchSettingsKey& k) { k.SetDword(L"", L"TraceEnabled", 0); },
       [](TraceSettings&) {}},
      {"TraceEnabled as text is ignored",
       [](const ScratchSettingsKey& k) { k.SetString(L"", L"TraceEnabled", L"0"); },
       [](TraceSettings& s) { s.traceEnabled = true; }},
      {"DynamicUpdate", [](const ScratchSettingsKey& k) { k.SetDword(L"", L"DynamicUpdate", 30); },
       [](TraceSettings& s) {
         s.traceEnabled = true;
         s.dynamicUpdate = 30;
       }},
      {"debugger level from the subkey", [](const ScratchSettingsKey& k) { k.SetDword(kApp, L"WinDebugLevel", 4); },
       [](TraceSettings& s) {
         // Creating the subkey creates the base key too, so tracing is on.
         s.traceEnabled = true;
         s.winLevel = 4;
       }},
      {"prefix options", [](const ScratchSettingsKey& k) {
         for (const wchar_t* name : {L"TimeStampOn", L"DateStampOn", L"ThreadIdOn", L"CpuIdOn", L"AppNameOn",
                                     L"MemUsageOn", L"HandleCountOn"}) {
           k.SetDword(kApp, name, 1);
         }
       },
       [](TraceSettings& s) {
         s.traceEnabled = s.timeStampOn = s.dateStampOn = s.threadIdOn = s.cpuIdOn = true;
         s.appNameOn = s.memUsageOn = s.handleCountOn = true;
       }},
      {"prefix option 0 stays off", [](const ScratchSettingsKey& k) { k.SetDword(kApp, L"TimeStampOn", 0); },
       [](TraceSettings& s) { s.traceEnabled = true; }},
      {"levels of the wrong type are ignored", [&](const ScratchSettingsKey& k) {
         k.Set(kApp, L"ConDebugLevel", REG_QWORD, qword, sizeof(qword));
         k.Set(kApp, L"WinDebugLevel", REG_BINARY, qword, sizeof(DWORD));
         k.SetString(kApp, L"FileDebugLevel", L"3");
       },
       [](TraceSettings& s) { s.traceEnabled = true; }},
      {"file values unread while FileDebugLevel is 0", [](const ScratchSettingsKey& k) {
         k.SetString(kApp, L"TraceFile", L"C:\\t.log");
         k.SetDword(kApp, L"TraceFileLimit", 10);
         k.SetDword(kApp, L"TraceFileMemoryMapped", 1);
       },
       [](TraceSettings& s) { s.traceEnabled = true; }},
      {"file output with limit in bytes", [](const ScratchSettingsKey& k) {
         k.SetDword(kApp, L"FileDebugLevel", 3);
         k.SetDword(kApp, L"TraceFileLimit", 0x80001000u);
         k.SetString(kApp, L"TraceFile", L"C:\\t.log");
         k.SetDword(kApp, L"TraceFileMemoryMapped", 1);
       },
       [](TraceSettings& s) {
         s.traceEnabled = s.memoryMapped = true;
         s.fileLevel = 3;
         s.fileLimit = 4096;
         s.filePath = L"C:\\t.log";
       }},
      {"limit in megabytes", [](const ScratchSettingsKey& k) {
         k.SetDword(kApp, L"FileDebugLevel", 1);
         k.SetDword(kApp, L"TraceFileLimit", 10);
       },
       [](TraceSettings& s) {
         s.traceEnabled = true;
         s.fileLevel = 1;
         s.fileLimit = 10ull << 20;
       }},
      {"TraceFile only as REG_SZ", [](const ScratchSettingsKey& k) {
         k.SetDword(kApp, L"FileDebugLevel", 1);
         k.SetString(kApp, L"TraceFile", L"%FW_TRACE_DIR%\\x.log", REG_EXPAND_SZ);
       },
       [](TraceSettings& s) {
         s.traceEnabled = true;
         s.fileLevel = 1;
       }},
      {"TraceFile has variables expanded", [](const ScratchSettingsKey& k) {
         k.SetDword(kApp, L"FileDebugLevel", 1);
         k.SetString(kApp, L"TraceFile", L"%FW_TRACE_DIR%\\x.log");
       },
       [](TraceSettings& s) {
         s.traceEnabled = true;
         s.fileLevel = 1;
         s.filePath = L"C:\\Traces\\x.log";
       }},
      {"TraceFile cut to 259 characters", [&](const ScratchSettingsKey& k) {
         k.SetDword(kApp, L"FileDebugLevel", 1);
         k.SetString(kApp, L"TraceFile", longPath);
       },
       [&](TraceSettings& s) {
         s.traceEnabled = true;
         s.fileLevel = 1;
         s.filePath = longPath.substr(0, 259);
       }},
  };
  for (const SettingsCase& c : cases) {
    const ScratchSettingsKey key(L"Settings");
    c.arrange(key);
    TraceSettings expected;
    c.expect(expected);
    ExpectSame(expected, ReadTraceSettings(key.Path(), kApp), c.what);
  }
}

TEST(TraceSettingsRead, FileLimitDecoding) {
  const struct {
    DWORD value;
    ULONGLONG limit;
  } cases[] = {
      {0x80001000u, 4096},          {10, 10ull << 20},           {0, 50ull << 20},
      {0x80000000u, 0},             {0x7FFFFFFFu, 0x7FFFFFFFull << 20}, {0xFFFFFFFFu, 0x7FFFFFFFu},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeTraceFileLimit(c.value), c.limit) << std::hex << c.value;
  }
}

TEST(TraceSettingsRead, MutexNameIsUpperCaseWithoutSeparators) {
  const struct {
    const wchar_t* path;
    const wchar_t* name;
  } cases[] = {
      {L"C:\\Temp\\Trace Files\\agent.log", L"CFILEDEBUG_C__TEMP_TRACE FILES_AGENT.LOG"},
      {L"d:trace.txt", L"CFILEDEBUG_D_TRACE.TXT"},
      {L"\\\\srv\\share\\t.log", L"CFILEDEBUG___SRV_SHARE_T.LOG"},
      {L"", L"CFILEDEBUG_"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TraceFileMutexName(c.path), c.name);
  }
}

}  // namespace

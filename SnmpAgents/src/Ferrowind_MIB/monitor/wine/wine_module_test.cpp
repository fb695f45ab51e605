// The real Ferrowind_MIB.dll on Wine's Win32, loaded and driven as the SNMP service does.
// Wine has no management service, so the main thread never attaches: it retries every
// 15 s and every request is refused. The tests run in definition order on one load of the
// module and wait for the retry interval once.
#include <windows.h>
#include <snmp.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "extension_module.h"
#include "request_builder.h"
#include "trace_test_support.h"

namespace {

using fw::diag::testing::DecodeUtf16Le;
using fw::diag::testing::ReadFileBytes;
using fw::diag::testing::TempDirFor;
using fw::testing::Addr;
using fw::testing::ExtensionModule;
using fw::testing::RequestList;
using Clock = std::chrono::steady_clock;

constexpr wchar_t kAgent[] = L"Ferrowind_MIB";
const std::wstring kRegion = L"1.3.6.1.4.1.884.2.10.2.9.1";
constexpr wchar_t kCommonRoot[] = L"SOFTWARE\\Morvasten";
constexpr wchar_t kTraceKey[] = L"SOFTWARE\\Debug\\Ferrowind_MIB";
constexpr auto kRetryInterval = std::chrono::seconds(15);
constexpr auto kStopWait = std::chrono::seconds(30);

std::wstring ModulePath() {
  wchar_t own[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, own, MAX_PATH * 4);
  std::wstring dir(own);
  dir.erase(dir.find_last_of(L"\\/") + 1);
  return dir + L"..\\lib\\" + FW_FERROWIND_DLL;
}

// The installation seed, imported with Wine's own reg.exe, as an installer would.
DWORD ImportRegFile(const std::wstring& path) {
  std::wstring command = L"reg.exe import \"" + path + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
    return GetLastError();
  }
  DWORD code = WAIT_TIMEOUT;
  if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

bool WriteValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const bool ok = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

bool WriteDword(const std::wstring& path, const wchar_t* name, DWORD value) {
  return WriteValue(path, name, REG_DWORD, &value, sizeof(value));
}

bool WriteString(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  return WriteValue(path, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// A value as text ("<none>" when it cannot be read; a DWORD as its decimal number).
std::wstring ReadValue(const std::wstring& path, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return L"<none>";
  wchar_t data[260] = {};
  DWORD type = 0, size = sizeof(data) - sizeof(wchar_t);
  const LONG read = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS) return L"<none>";
  if (type == REG_DWORD) {
    DWORD number = 0;
    std::memcpy(&number, data, sizeof(number));
    return std::to_wstring(number);
  }
  return data;
}

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::wstring StateWord() { return ReadValue(std::wstring(kCommonRoot) + L"\\#Status", kAgent); }

std::wstring VolatileParameters() { return std::wstring(kCommonRoot) + L"\\" + kAgent + L"\\Parameters\\VolatileParameters"; }

// The names in the export table of a loaded module, and the number of exported functions.
std::vector<std::string> ExportNames(HMODULE module, DWORD& functions) {
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  functions = 0;
  if (entry.VirtualAddress == 0) return {};
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  functions = exports->NumberOfFunctions;
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::vector<std::string> result;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) result.emplace_back(reinterpret_cast<const char*>(base + names[i]));
  return result;
}

size_t Count(const std::wstring& text, const std::wstring& line) {
  size_t count = 0;
  for (size_t at = text.find(line); at != std::wstring::npos; at = text.find(line, at + line.size())) ++count;
  return count;
}

class WineModule : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    seedResult = ImportRegFile(FW_INSTALL_REG);
    // The trace goes to a file of its own; the module reads these settings when it loads.
    traceFile = TempDirFor(L"ferrowind-wine") + L"\\Ferrowind_MIB.log";
    DeleteFileW(traceFile.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey);
    WriteDword(kTraceKey, L"FileDebugLevel", 5);
    WriteString(kTraceKey, L"TraceFile", traceFile);
    WriteDword(kTraceKey, L"ThreadIdOn", 1);

    module = LoadLibraryW(ModulePath().c_str());
    loadError = GetLastError();
    if (module) agent.Find(module);
  }
  static void TearDownTestSuite() {
    if (module) {
      if (agent.close) agent.close();
      FreeLibrary(module);
    }
    module = nullptr;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey);
    // The trace stays for a look after a failure.
    if (::testing::UnitTest::GetInstance()->current_test_suite()->Failed()) {
      std::printf("trace kept in %ls\n", traceFile.c_str());
      return;
    }
    DeleteFileW(traceFile.c_str());
    RemoveDirectoryW(traceFile.substr(0, traceFile.find_last_of(L'\\')).c_str());
  }
  void SetUp() override {
    ASSERT_EQ(seedResult, 0u) << "reg.exe import of " << std::wstring(FW_INSTALL_REG);
    ASSERT_NE(module, nullptr) << "LoadLibraryW failed with " << loadError;
    ASSERT_TRUE(agent.Complete());
  }

  static std::wstring Trace() { return DecodeUtf16Le(ReadFileBytes(traceFile)); }

  // Polls the trace until the line has appeared `times` times; false on the deadline.
  static bool WaitForTrace(const std::wstring& line, size_t times, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    do {
      if (Count(Trace(), line) >= times) return true;
      Sleep(20);
    } while (Clock::now() < end);
    return false;
  }

  using Answer = fw::testing::QueryAnswer;
  static Answer Query(BYTE type, RequestList& request) { return agent.Query(type, request); }

  // GET and GETNEXT across the region: each refused with "no such name" at index 1, the
  // varbinds left as they came.
  static void ExpectEveryQueryRefused(const char* when) {
    struct Case {
      BYTE type;
      std::vector<std::wstring> oids;
    };
    const Case cases[] = {
        {SNMP_PDU_GET, {kRegion + L".1.0"}},
        {SNMP_PDU_GET, {kRegion + L".1.0", kRegion + L".2.0", kRegion + L".3.0"}},
        {SNMP_PDU_GETNEXT, {kRegion}},
        {SNMP_PDU_GETNEXT, {L"1.3.6.1.4.1.884.2.10.2.9"}},
        {SNMP_PDU_GETNEXT, {kRegion + L".1.0", kRegion + L".31"}},
    };
    for (const Case& c : cases) {
      RequestList request;
      std::vector<std::wstring> sent;
      for (const std::wstring& oid : c.oids) {
        request.Add(oid);
        sent.push_back(request.Oid(request.list.len - 1));
      }
      const Answer answer = Query(c.type, request);
      const std::wstring first = sent.front();
      EXPECT_TRUE(answer.result) << when << ": type " << int(c.type) << " " << first;
      EXPECT_EQ(answer.status, SNMP_ERRORSTATUS_NOSUCHNAME) << when << ": type " << int(c.type) << " " << first;
      EXPECT_EQ(answer.index, 1) << when << ": type " << int(c.type) << " " << first;
      ASSERT_EQ(request.list.len, sent.size());
      for (UINT i = 0; i < request.list.len; ++i) {
        EXPECT_EQ(request.Oid(i), sent[i]) << when;
        EXPECT_EQ(request[i].value.asnType, ASN_NULL) << when << ": " << sent[i];
      }
    }
  }

  static inline DWORD seedResult = 0;
  static inline std::wstring traceFile;
  static inline HMODULE module = nullptr;
  static inline DWORD loadError = 0;
  static inline ExtensionModule agent;
  static inline HANDLE trapEvent = nullptr;
};

TEST_F(WineModule, LoadsWithItsBannerAndState) {
  EXPECT_EQ(StateWord(), L"loaded");
  const std::wstring trace = Trace();
  EXPECT_EQ(Count(trace, L"----- Application [Ferrowind_MIB] started at "), 1u) << trace;
  EXPECT_EQ(Count(trace, L"*** SNMP agent module \"Ferrowind_MIB\" loaded ***"), 1u) << trace;
  EXPECT_EQ(Count(trace, L"        OS platform : x64"), 1u) << trace;
  // From the module's version resource, read through Wine's version.dll.
  EXPECT_EQ(Count(trace, L"  Agent description : Cluster SNMP extension agent"), 1u) << trace;
  EXPECT_EQ(Count(trace, L"       Company name : Vornekt"), 1u) << trace;
  EXPECT_EQ(Count(trace, std::wstring(L"      Agent version : ") + FW_VERSION), 1u) << trace;
  EXPECT_EQ(Count(trace, std::wstring(L"       File version : ") + FW_VERSION), 1u) << trace;
  EXPECT_EQ(Count(trace, L"DllMain: ** DLL_PROCESS_ATTACH (PID "), 1u) << trace;
  // The paths come from the seed: the file root loses its trailing backslash.
  EXPECT_EQ(Count(trace, L"load message DLL \"C:\\Program Files\\Morvasten\\Agents\\Messages.dll\""), 1u) << trace;
  EXPECT_EQ(Count(trace, L"return file path for TrapIni = C:\\Program Files\\Morvasten\\Agents\\TrapTable.ini"), 1u)
      << trace;
}

TEST_F(WineModule, ExportsExactlyTheFiveEntryPoints) {
  DWORD functions = 0;
  const std::vector<std::string> names = ExportNames(module, functions);
  const std::vector<std::string> expected = {"SnmpExtensionClose", "SnmpExtensionInit", "SnmpExtensionInitEx",
                                             "SnmpExtensionQuery", "SnmpExtensionTrap"};
  EXPECT_EQ(names, expected);  // the table is sorted by name
  EXPECT_EQ(functions, 5u) << "no exports by ordinal only";
}

TEST_F(WineModule, InitHandsBackTheRegionAndTheTrapEventAtOnce) {
  AsnObjectIdentifier region{};
  const auto start = Clock::now();
  ASSERT_TRUE(agent.init(GetTickCount(), &trapEvent, &region));
  const auto took = Clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(2)) << "SnmpExtensionInit must not wait for the main thread";
  ASSERT_NE(trapEvent, nullptr);
  EXPECT_EQ(WaitForSingleObject(trapEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "no trap is pending";
  std::wstring text;
  EXPECT_EQ(std::wstring(OidToText(text, &region)), kRegion);
  SnmpUtilOidFree(&region);

  UINT junk[] = {1, 2};
  AsnObjectIdentifier next{2, junk};
  EXPECT_FALSE(agent.initEx(&next)) << "one region only";
  EXPECT_EQ(next.idLength, 0u);
}

TEST_F(WineModule, RequestsAreRefusedWhileTheAttachFails) {
  // At once, possibly before the first attach has even been tried.
  ExpectEveryQueryRefused("right after init");
  ASSERT_TRUE(WaitForTrace(L"Retry TARN connect in 15 seconds", 1, std::chrono::seconds(10))) << Trace();
  ExpectEveryQueryRefused("while waiting for the retry");

  // 0x80010109: the client's "server not running", found before any COM call.
  const std::wstring trace = Trace();
  EXPECT_EQ(Count(trace, L"Ferrowind_MIB       : ## ERROR 0x80010109! TARN client attach FAILED!"), 1u) << trace;
  EXPECT_EQ(Count(trace, L"Init not completed or agent shutdown; request refused; ERROR status: <<no such name>>"), 10u);
  EXPECT_EQ(Count(trace, L"Calling the agent's InitializeMib()"), 0u) << "no MIB without the management service";
  EXPECT_EQ(StateWord(), L"starting");
  EXPECT_EQ(ReadValue(VolatileParameters(), L"AgentStatus"), L"0");
  EXPECT_EQ(ReadValue(VolatileParameters(), L"AgentLastError"), L"initializing");

  // No trap: empty outputs and FALSE.
  UINT junk[] = {1, 2};
  AsnObjectIdentifier enterprise{2, junk};
  AsnInteger32 generic = -1, specific = -1;
  AsnTimeticks stamp = 0;
  SnmpVarBindList varbinds{reinterpret_cast<SnmpVarBind*>(junk), 3};
  EXPECT_FALSE(agent.trap(&enterprise, &generic, &specific, &stamp, &varbinds));
  EXPECT_EQ(enterprise.idLength, 0u);
  EXPECT_EQ(Addr(varbinds.list), nullptr);
  EXPECT_EQ(varbinds.len, 0u);
}

// The one wait of the retry interval in this suite.
TEST_F(WineModule, TheAttachIsRetriedAfterFifteenSeconds) {
  ASSERT_TRUE(WaitForTrace(L"Retry TARN connect in 15 seconds", 1, std::chrono::seconds(10)));
  const auto waiting = Clock::now();
  ASSERT_TRUE(WaitForTrace(L"Start TARN connect retry", 1, kRetryInterval + std::chrono::seconds(10))) << Trace();
  const auto interval = Clock::now() - waiting;
  EXPECT_GE(interval, kRetryInterval - std::chrono::milliseconds(500)) << "retried early";
  EXPECT_LT(interval, kRetryInterval + std::chrono::seconds(5)) << "retried late";
  ASSERT_TRUE(WaitForTrace(L"Retry TARN connect in 15 seconds", 2, std::chrono::seconds(10))) << Trace();

  const std::wstring trace = Trace();
  EXPECT_EQ(Count(trace, L"TARN client attach FAILED!"), 2u) << trace;
  EXPECT_EQ(Count(trace, L"Status changed to: starting (3)"), 2u) << "each pass starts afresh";
  EXPECT_EQ(Count(trace, L"*** START THREAD Thread_AgentMain() ***"), 1u) << trace;
  EXPECT_EQ(StateWord(), L"starting");
  ExpectEveryQueryRefused("after a retry");
}

TEST_F(WineModule, CloseEndsTheMainThreadWithinTheStopWait) {
  const auto start = Clock::now();
  agent.close();
  const auto took = Clock::now() - start;
  EXPECT_LT(took, kStopWait);
  EXPECT_LT(took, std::chrono::seconds(2)) << "the retry wait ends on the stop-wait event";

  const std::wstring trace = Trace();
  EXPECT_EQ(Count(trace, L"Agent shutdown signaled - TARN connect retry aborted!"), 1u) << trace;
  EXPECT_EQ(Count(trace, L"*** EXIT THREAD Thread_AgentMain() ***"), 1u) << trace;
  EXPECT_EQ(Count(trace, L"Agent main thread did exit in time!"), 1u) << trace;
  EXPECT_EQ(Count(trace, L"Thread is being killed!"), 0u) << trace;
  EXPECT_EQ(Count(trace, L"Start TARN connect retry"), 1u) << "no retry after the close";
  ExpectEveryQueryRefused("after close");

  agent.close();  // the close path runs once
  EXPECT_EQ(Count(Trace(), L"SnmpClose()"), 1u);
}

TEST_F(WineModule, TheModuleUnloadsCleanly) {
  const auto start = Clock::now();
  ASSERT_TRUE(FreeLibrary(module));
  module = nullptr;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(GetModuleHandleW(FW_FERROWIND_DLL), nullptr) << "the module is still mapped";
  EXPECT_EQ(StateWord(), L"unloaded");
  EXPECT_FALSE(KeyExists(VolatileParameters())) << "the volatile parameters go with the module";
  const std::wstring trace = Trace();
  EXPECT_EQ(Count(trace, L"DllMain: ... agent instance deleted"), 1u) << trace;
  EXPECT_EQ(Count(trace, L"Ferrowind_MIB       : SNMP agent DLL unloaded"), 1u) << trace;
  EXPECT_EQ(Count(trace, L"----- Application [Ferrowind_MIB] closed at "), 1u) << trace;
}

}  // namespace

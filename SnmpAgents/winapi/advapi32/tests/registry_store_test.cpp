// The layer's own registry guarantees: atomic operations under injected store faults,
// explicit transactions, volatile keys across a reboot, and services seen through
// their pid files.
#include <windows.h>
#include <winapi_ext.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "allocation_fault.h"
#include "child_process.h"

namespace {

constexpr const wchar_t* kBase = L"Software\\FerrowindStore";

std::wstring Sub(const std::wstring& tree, const wchar_t* path) { return tree + L"\\" + path; }

LSTATUS CreateKey(const std::wstring& path, DWORD options = 0) {
  HKEY key = nullptr;
  const LSTATUS status =
      RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS) RegCloseKey(key);
  return status;
}

LSTATUS SetValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
  return status;
}

LSTATUS SetText(const std::wstring& path, const wchar_t* name, const wchar_t* text) {
  return SetValue(path, name, REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR)));
}

// Every key and value below path, one line each, in a stable order.
void Dump(HKEY parent, const std::wstring& relative, std::vector<std::wstring>& lines) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, relative.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD chars = 256, type = 0, size = 0;
    if (RegEnumValueW(key, i, name, &chars, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size);
    chars = 256;
    RegEnumValueW(key, i, name, &chars, nullptr, &type, data.data(), &size);
    std::wstring line = relative + L" : " + name + L" = " + std::to_wstring(type) + L":";
    for (BYTE b : data) line += std::to_wstring(b) + L",";
    lines.push_back(line);
  }
  std::vector<std::wstring> children;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.emplace_back(name);
  }
  RegCloseKey(key);
  for (const auto& child : children) {
    lines.push_back(relative + L"\\" + child);
    Dump(parent, relative + L"\\" + child, lines);
  }
}

std::vector<std::wstring> Snapshot(const std::wstring& tree) {
  std::vector<std::wstring> lines;
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, tree.c_str(), 0, KEY_READ, &root) != ERROR_SUCCESS) return lines;
  Dump(root, L"", lines);
  RegCloseKey(root);
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string Integrity() {
  WCHAR problems[512] = {};
  const LSTATUS status = WinapiRegCheckIntegrity(problems, 512);
  if (status == ERROR_SUCCESS) return "";
  std::string text = "status " + std::to_string(status) + ": ";
  for (const WCHAR* p = problems; *p; ++p) text += static_cast<char>(*p);
  return text;
}

// The keys the operations touch below one tree, made before any fault is armed: an
// allocation of the test itself must not take an armed out-of-memory fault.
struct Tree {
  explicit Tree(const std::wstring& root)
      : root(root), a(Sub(root, L"A")), ab(Sub(a, L"B")), abc(Sub(ab, L"C")), inner(Sub(a, L"Volatile\\Inner")),
        d(Sub(root, L"D")), de(Sub(d, L"E")), df(Sub(d, L"F")) {}
  std::wstring root, a, ab, abc, inner, d, de, df;
};

// Operations of one registry call each (or one transaction), and reads between them.
using Operation = std::function<LSTATUS(const Tree& tree)>;

LSTATUS ReadText(const std::wstring& path, const wchar_t* name) {
  WCHAR text[64];
  DWORD size = sizeof text;
  return RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size);
}

// Reads a key through each enumeration and query call; the first error, if any.
LSTATUS ReadKey(const std::wstring& path) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return status;
  DWORD subKeys = 0, values = 0;
  status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                            nullptr, nullptr);
  WCHAR name[64];
  DWORD chars = 64, type = 0;
  BYTE data[64];
  DWORD size = sizeof data;
  if (status == ERROR_SUCCESS && subKeys) {
    status = RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
  }
  chars = 64;
  if (status == ERROR_SUCCESS && values) status = RegEnumValueW(key, 0, name, &chars, nullptr, &type, data, &size);
  size = sizeof data;
  if (status == ERROR_SUCCESS && values) status = RegQueryValueExW(key, name, nullptr, &type, data, &size);
  RegCloseKey(key);
  return status;
}

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      [](const Tree& t) { return CreateKey(t.abc); },
      [](const Tree& t) { return SetText(t.ab, L"text", L"first value"); },
      [](const Tree& t) { return ReadText(t.ab, L"text"); },
      [](const Tree& t) {
        const DWORD n = 42;
        return SetValue(t.a, L"number", REG_DWORD, &n, sizeof n);
      },
      [](const Tree& t) { return CreateKey(t.inner, REG_OPTION_VOLATILE); },
      [](const Tree& t) { return SetText(t.ab, L"text", L"second value"); },
      [](const Tree& t) { return ReadKey(t.a); },
      [](const Tree& t) {
        HKEY key = nullptr;
        LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, t.ab.c_str(), 0, KEY_SET_VALUE, &key);
        if (status != ERROR_SUCCESS) return status;
        status = RegDeleteValueW(key, L"text");
        RegCloseKey(key);
        return status;
      },
      [](const Tree& t) { return CreateKey(t.de); },
      [](const Tree& t) { return RegDeleteTreeW(HKEY_CURRENT_USER, t.ab.c_str()); },
      [](const Tree& t) {
        LSTATUS status = WinapiRegBeginTransaction();
        if (status != ERROR_SUCCESS) return status;
        const DWORD one = 1, two = 2;
        status = SetValue(t.d, L"one", REG_DWORD, &one, sizeof one);
        if (status == ERROR_SUCCESS) status = SetValue(t.de, L"two", REG_DWORD, &two, sizeof two);
        if (status == ERROR_SUCCESS) status = CreateKey(t.df);
        if (status != ERROR_SUCCESS) {
          WinapiRegRollbackTransaction();
          return status;
        }
        return WinapiRegCommitTransaction();
      },
      [](const Tree& t) { return RegDeleteKeyW(HKEY_CURRENT_USER, t.df.c_str()); },
  };
  return operations;
}

DWORD OpenHandles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// Runs the operations with one fault armed by arm(n), for n = 1, 2, ... until a run no
// longer meets it (arm(0) disarms). In each run one operation at most fails, with `fault`;
// the others give what they give without it, the tree equals the one built without it,
// the store stays sound and no handle is left open.
void EveryFaultFailsOneOperationWhole(const wchar_t* name, LSTATUS fault, LONG limit,
                                      const std::function<void(LONG)>& arm,
                                      const std::function<bool(const std::vector<LSTATUS>&)>& met) {
  const Tree faulty(std::wstring(kBase) + L"\\" + name);
  const Tree expected(std::wstring(kBase) + L"\\" + name + L"Expected");
  const auto& operations = Operations();
  std::vector<LSTATUS> statuses;
  statuses.reserve(operations.size());
  bool sawCleanRun = false;
  LONG n = 1;
  for (; n < limit && !sawCleanRun; ++n) {
    RegDeleteTreeW(HKEY_CURRENT_USER, faulty.root.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, expected.root.c_str());
    // Created here, or a volatile create below would make them volatile too.
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(faulty.root));
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(expected.root));
    const DWORD handles = OpenHandles();
    statuses.clear();
    arm(n);
    for (const auto& operation : operations) statuses.push_back(operation(faulty));
    sawCleanRun = !met(statuses);
    arm(0);
    const auto failedAt = std::find(statuses.begin(), statuses.end(), fault);
    const int failed = failedAt == statuses.end() ? -1 : static_cast<int>(failedAt - statuses.begin());
    EXPECT_LE(std::count(statuses.begin(), statuses.end(), fault), 1)
        << "fault " << n << ": one fault fails one operation";
    EXPECT_EQ(handles, OpenHandles()) << "fault " << n << " in operation " << failed << " leaves a handle open";
    // The same operations without the failed one must give the same results and the same tree.
    for (size_t i = 0; i < operations.size(); ++i) {
      if (static_cast<int>(i) == failed) continue;
      EXPECT_EQ(statuses[i], operations[i](expected)) << "fault " << n << ", operation " << i;
    }
    EXPECT_EQ(Snapshot(expected.root), Snapshot(faulty.root)) << "fault " << n << " in operation " << failed;
    ASSERT_EQ("", Integrity()) << "fault " << n;
  }
  EXPECT_TRUE(sawCleanRun) << "the operations never ran without meeting the fault";
  EXPECT_GT(n, static_cast<LONG>(2 * operations.size())) << "every operation meets several faults";
  RegDeleteTreeW(HKEY_CURRENT_USER, faulty.root.c_str());
  RegDeleteTreeW(HKEY_CURRENT_USER, expected.root.c_str());
}

TEST(RegistryStore, EveryInjectedFaultFailsOneOperationWhole) {
  // A store fault always fails the call that meets it.
  EveryFaultFailsOneOperationWhole(L"Faulty", ERROR_REGISTRY_IO_FAILED, 400, WinapiRegFailAfter,
                                   [](const std::vector<LSTATUS>& statuses) {
                                     return std::count(statuses.begin(), statuses.end(), ERROR_REGISTRY_IO_FAILED) > 0;
                                   });
}

TEST(RegistryStore, EveryAllocationFailureFailsOneOperationWhole) {
  EveryFaultFailsOneOperationWhole(L"OutOfMemory", ERROR_NOT_ENOUGH_MEMORY, 20000,
                                   [](LONG n) { fault_injection::FailNthAllocation(n); },
                                   [](const std::vector<LSTATUS>&) { return fault_injection::AllocationFailed(); });
}

TEST(RegistryStore, TransactionsCommitOrRollBackEverything) {
  const std::wstring tree = std::wstring(kBase) + L"\\Transactions";
  RegDeleteTreeW(HKEY_CURRENT_USER, tree.c_str());
  ASSERT_EQ(ERROR_SUCCESS, WinapiRegBeginTransaction());
  EXPECT_EQ(ERROR_INVALID_STATE, WinapiRegBeginTransaction()) << "no nesting";
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(Sub(tree, L"rolled\\back")));
  ASSERT_EQ(ERROR_SUCCESS, SetText(Sub(tree, L"rolled"), L"v", L"x"));
  ASSERT_EQ(ERROR_SUCCESS, WinapiRegRollbackTransaction());
  EXPECT_TRUE(Snapshot(tree).empty());
  HKEY probe = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, Sub(tree, L"rolled").c_str(), 0, KEY_READ, &probe));

  ASSERT_EQ(ERROR_SUCCESS, WinapiRegBeginTransaction());
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(Sub(tree, L"discarded")));
  // Another thread's write waits for the transaction instead of joining it.
  std::atomic<bool> otherDone{false};
  LSTATUS otherStatus = ERROR_GEN_FAILURE;
  std::thread other([&] {
    otherStatus = CreateKey(Sub(tree, L"other"));
    otherDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(otherDone.load()) << "the other thread wrote into an open transaction";
  ASSERT_EQ(ERROR_SUCCESS, WinapiRegRollbackTransaction());
  other.join();
  EXPECT_EQ(ERROR_SUCCESS, otherStatus);
  const std::vector<std::wstring> expected = {L"\\other"};
  EXPECT_EQ(expected, Snapshot(tree)) << "the rollback must not take the other thread's key with it";

  EXPECT_EQ(ERROR_INVALID_STATE, WinapiRegCommitTransaction()) << "nothing open";
  EXPECT_EQ(ERROR_INVALID_STATE, WinapiRegRollbackTransaction());
  RegDeleteTreeW(HKEY_CURRENT_USER, tree.c_str());
}

constexpr const wchar_t* kRebootTree = L"Software\\FerrowindStore\\Reboot";

TEST(RegistryStore, VolatileKeysVanishAfterAReboot) {
  RegDeleteTreeW(HKEY_CURRENT_USER, kRebootTree);
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(Sub(kRebootTree, L"stable")));
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(Sub(kRebootTree, L"stable\\volatile\\child"), REG_OPTION_VOLATILE));
  ASSERT_EQ(ERROR_SUCCESS, SetText(Sub(kRebootTree, L"stable\\volatile"), L"status", L"started"));

  registry_testing::ChildProcess sameBoot("RegistryStoreChild.DISABLED_ExpectVolatileKeys", {});
  ASSERT_TRUE(sameBoot.Started());
  EXPECT_EQ(0, sameBoot.Wait()) << "another process of the same boot sees the volatile keys";

  registry_testing::ChildProcess nextBoot("RegistryStoreChild.DISABLED_ExpectNoVolatileKeys",
                                          {"WINAPI_BOOT_ID=ferrowind-next-boot"});
  ASSERT_TRUE(nextBoot.Started());
  EXPECT_EQ(0, nextBoot.Wait()) << "after a reboot only the stable key remains";
  const std::vector<std::wstring> expected = {L"\\stable"};
  EXPECT_EQ(expected, Snapshot(kRebootTree));
  EXPECT_EQ("", Integrity());
  RegDeleteTreeW(HKEY_CURRENT_USER, kRebootTree);
}

TEST(RegistryStoreChild, DISABLED_ExpectVolatileKeys) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_CURRENT_USER, Sub(kRebootTree, L"stable\\volatile\\child").c_str(), 0, KEY_READ, &key));
  RegCloseKey(key);
}

TEST(RegistryStoreChild, DISABLED_ExpectNoVolatileKeys) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_CURRENT_USER, Sub(kRebootTree, L"stable\\volatile").c_str(), 0, KEY_READ, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, Sub(kRebootTree, L"stable").c_str(), 0, KEY_READ, &key));
  RegCloseKey(key);
}

std::string PidFile(const wchar_t* service) {
  WCHAR path[512];
  const DWORD length = WinapiServicePidFile(service, path, 512);
  EXPECT_GT(length, 0u);
  EXPECT_LT(length, 512u);
  return std::string(path, path + length);
}

void WritePid(const std::string& file, long pid) {
  FILE* out = std::fopen(file.c_str(), "w");
  ASSERT_NE(nullptr, out);
  std::fprintf(out, "%ld\n", pid);
  std::fclose(out);
}

TEST(RegistryStore, ServiceRunsWhileItsPidFileNamesALiveProcess) {
  const wchar_t* serviceKey = L"SYSTEM\\CurrentControlSet\\Services\\FerrowindPidSvc";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, serviceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(key);
  const std::string pidFile = PidFile(L"FerrowindPidSvc");
  const std::string stateDir = std::getenv("WINAPI_STATE_DIR") ? std::getenv("WINAPI_STATE_DIR") : "";
  if (!stateDir.empty()) {
    EXPECT_EQ(stateDir + "/run/FerrowindPidSvc.pid", pidFile);
  }
  WCHAR tiny[4];
  EXPECT_EQ(pidFile.size() + 1, WinapiServicePidFile(L"FerrowindPidSvc", tiny, 4)) << "size with terminator";

  pid_t exited = fork();
  if (exited == 0) _exit(0);
  ASSERT_GT(exited, 0);
  int status = 0;
  waitpid(exited, &status, 0);

  struct PidCase {
    const char* what;
    long pid;  // 0: no pid file
    DWORD state;
    DWORD processId;
    DWORD exitCode;
  };
  const PidCase cases[] = {
      {"no pid file", 0, SERVICE_STOPPED, 0, ERROR_SUCCESS},
      {"live process", getpid(), SERVICE_RUNNING, static_cast<DWORD>(getpid()), ERROR_SUCCESS},
      {"ended process", exited, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED},
  };
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(nullptr, manager);
  // The caller's spelling does not matter: the pid file is the one of the stored name.
  SC_HANDLE service = OpenServiceW(manager, L"ferrowindpidsvc", SERVICE_QUERY_STATUS);
  ASSERT_NE(nullptr, service) << GetLastError();
  for (const auto& c : cases) {
    std::remove(pidFile.c_str());
    if (c.pid) WritePid(pidFile, c.pid);
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                     sizeof process, &needed))
        << c.what;
    EXPECT_EQ(c.state, process.dwCurrentState) << c.what;
    EXPECT_EQ(c.processId, process.dwProcessId) << c.what;
    EXPECT_EQ(c.exitCode, process.dwWin32ExitCode) << c.what;
  }
  std::remove(pidFile.c_str());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, serviceKey);
}

}  // namespace

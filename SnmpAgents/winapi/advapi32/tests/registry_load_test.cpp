// The registry under load from several processes and threads at once, and after a
// writer is killed in the middle of its work.
#include <windows.h>
#include <winapi_ext.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

constexpr const wchar_t* kLoadTree = L"Software\\FerrowindLoad";
constexpr const wchar_t* kKillTree = L"Software\\FerrowindKill";
constexpr int kProcesses = 2;
constexpr int kThreads = 4;


class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  PHKEY Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

LSTATUS Create(const std::wstring& path, Key& key) {
  return RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
}

LSTATUS SetDword(HKEY key, const std::wstring& name, DWORD value) {
  return RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LSTATUS GetDword(HKEY key, const std::wstring& name, DWORD& value) {
  DWORD size = sizeof value, type = 0;
  const LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (status == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof value)) return ERROR_INVALID_DATA;
  return status;
}

// Reports a failed call and counts it; the worker's exit code is the count.
struct Failures {
  std::atomic<int> count{0};
  void Report(const char* what, const std::wstring& where, LSTATUS status) {
    ++count;
    std::fprintf(stderr, "%s %ls: %ld\n", what, where.c_str(), static_cast<long>(status));
  }
};

// One thread: its own key with a counter and a checked blob, its value in the shared
// key, reads of the others' shared values, and a scratch subkey made and removed.
void WorkerThread(int process, int thread, std::chrono::steady_clock::time_point end, Failures& failures) {
  const std::wstring id = L"p" + std::to_wstring(process) + L"t" + std::to_wstring(thread);
  const std::wstring own = std::wstring(kLoadTree) + L"\\" + id;
  const std::wstring shared = std::wstring(kLoadTree) + L"\\shared";
  DWORD i = 0;
  for (; std::chrono::steady_clock::now() < end; ++i) {
    Key key, common;
    if (LSTATUS s = Create(own, key)) return failures.Report("create", own, s);
    if (LSTATUS s = SetDword(key.Get(), L"counter", i)) failures.Report("set counter", own, s);
    std::vector<BYTE> blob(64 + i % 64, static_cast<BYTE>(i));
    if (LSTATUS s = RegSetValueExW(key.Get(), L"blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()))) {
      failures.Report("set blob", own, s);
    }
    DWORD read = 0;
    if (LSTATUS s = GetDword(key.Get(), L"counter", read); s || read != i) failures.Report("read counter", own, s);
    std::vector<BYTE> back(256);
    DWORD size = static_cast<DWORD>(back.size());
    if (LSTATUS s = RegQueryValueExW(key.Get(), L"blob", nullptr, nullptr, back.data(), &size);
        s || size != blob.size() || back[size - 1] != static_cast<BYTE>(i)) {
      failures.Report("read blob", own, s);
    }
    if (LSTATUS s = Create(shared, common)) return failures.Report("create", shared, s);
    if (LSTATUS s = SetDword(common.Get(), id, i)) failures.Report("set shared", shared, s);
    const std::wstring other = L"p" + std::to_wstring((process + i) % kProcesses) + L"t" + std::to_wstring(i % kThreads);
    if (LSTATUS s = GetDword(common.Get(), other, read); s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND) {
      failures.Report("read shared", other, s);
    }
    const std::wstring temporary = own + L"\\scratch";
    {
      Key scratch;
      if (LSTATUS s = Create(temporary, scratch)) failures.Report("create", temporary, s);
    }
    if (LSTATUS s = RegDeleteKeyW(HKEY_CURRENT_USER, temporary.c_str())) failures.Report("delete", temporary, s);
  }
  Key key;
  // The last values a thread wrote are what the parent must find.
  if (Create(own, key) || SetDword(key.Get(), L"final", i - 1)) failures.Report("final", own, ERROR_GEN_FAILURE);
}

TEST(RegistryLoadWorker, DISABLED_Run) {
  const char* processText = std::getenv("FW_LOAD_PROCESS");
  const char* millisText = std::getenv("FW_LOAD_MILLIS");
  ASSERT_NE(nullptr, processText);
  ASSERT_NE(nullptr, millisText);
  const int process = std::atoi(processText);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(millisText));
  Failures failures;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(WorkerThread, process, t, end, std::ref(failures));
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.count.load());
}

TEST(RegistryLoad, ProcessesAndThreadsLoseNothing) {
  RegDeleteTreeW(HKEY_CURRENT_USER, kLoadTree);
  std::vector<std::unique_ptr<registry_testing::ChildProcess>> workers;
  for (int p = 0; p < kProcesses; ++p) {
    workers.push_back(std::make_unique<registry_testing::ChildProcess>(
        "RegistryLoadWorker.DISABLED_Run",
        std::vector<std::string>{"FW_LOAD_PROCESS=" + std::to_string(p), "FW_LOAD_MILLIS=2000"}));
    ASSERT_TRUE(workers.back()->Started());
  }
  for (auto& worker : workers) EXPECT_EQ(0, worker->Wait()) << "a worker saw a failed call (its stderr names it)";

  Key shared;
  ASSERT_EQ(ERROR_SUCCESS, Create(std::wstring(kLoadTree) + L"\\shared", shared));
  for (int p = 0; p < kProcesses; ++p) {
    for (int t = 0; t < kThreads; ++t) {
      const std::wstring id = L"p" + std::to_wstring(p) + L"t" + std::to_wstring(t);
      Key own;
      ASSERT_EQ(ERROR_SUCCESS, Create(std::wstring(kLoadTree) + L"\\" + id, own));
      DWORD last = 0, counter = 0, common = 0;
      ASSERT_EQ(ERROR_SUCCESS, GetDword(own.Get(), L"final", last));
      EXPECT_EQ(ERROR_SUCCESS, GetDword(own.Get(), L"counter", counter));
      EXPECT_EQ(last, counter) << "own counter of " << std::string(id.begin(), id.end());
      EXPECT_EQ(ERROR_SUCCESS, GetDword(shared.Get(), id, common));
      EXPECT_EQ(last, common) << "shared value of " << std::string(id.begin(), id.end());
      EXPECT_GT(last, 10u) << "each thread got some work done";
    }
  }
  EXPECT_EQ(ERROR_SUCCESS, WinapiRegCheckIntegrity(nullptr, 0));
  RegDeleteTreeW(HKEY_CURRENT_USER, kLoadTree);
}

// Writes chains of four keys, one create call each, until it is killed.
TEST(RegistryLoadWorker, DISABLED_WriteChains) {
  for (DWORD i = 0;; ++i) {
    Key chain;
    const std::wstring path = std::wstring(kKillTree) + L"\\chain" + std::to_wstring(i) + L"\\a\\b\\c";
    ASSERT_EQ(ERROR_SUCCESS, Create(path, chain));
    std::vector<BYTE> blob(4096, static_cast<BYTE>(i));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(chain.Get(), L"blob", 0, REG_BINARY, blob.data(), 4096));
  }
}

TEST(RegistryLoad, KilledWriterLeavesAConsistentDatabase) {
  RegDeleteTreeW(HKEY_CURRENT_USER, kKillTree);
  Key base;
  ASSERT_EQ(ERROR_SUCCESS, Create(kKillTree, base));
  for (int round = 0; round < 3; ++round) {
    registry_testing::ChildProcess writer("RegistryLoadWorker.DISABLED_WriteChains", {});
    ASSERT_TRUE(writer.Started());
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + 70 * round));
    writer.Kill();
    EXPECT_EQ(128 + SIGKILL, writer.Wait());

    WCHAR problems[256] = {};
    ASSERT_EQ(ERROR_SUCCESS, WinapiRegCheckIntegrity(problems, 256)) << std::string(problems, problems + wcslen(problems));
    DWORD chains = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(base.Get(), nullptr, nullptr, nullptr, &chains, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, nullptr));
    EXPECT_GT(chains, 0u) << "the writer made progress before it was killed";
    for (DWORD i = 0; i < chains; ++i) {
      WCHAR name[64];
      DWORD chars = 64;
      ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(base.Get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr));
      Key leaf;
      const std::wstring leafPath = std::wstring(kKillTree) + L"\\" + name + L"\\a\\b\\c";
      EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, leafPath.c_str(), 0, KEY_READ, leaf.Out()))
          << "a chain is created whole or not at all: " << std::string(name, name + chars);
      DWORD size = 0;
      const LSTATUS status = RegQueryValueExW(leaf.Get(), L"blob", nullptr, nullptr, nullptr, &size);
      if (status == ERROR_SUCCESS) {
        EXPECT_EQ(4096u, size) << "a value is written whole or not at all";
      }
    }
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, kKillTree);
}

}  // namespace

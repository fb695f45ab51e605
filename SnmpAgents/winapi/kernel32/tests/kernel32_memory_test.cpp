// kernel32 when memory runs out: a pass over the calls the agent and its host make (files,
// named events and mutexes, threads, messages, profile files, code pages, modules, the
// environment), with the Nth allocation of the calling thread failing. The call that meets
// the fault fails with ERROR_NOT_ENOUGH_MEMORY, the calls before it are unaffected, no
// handle or descriptor stays open, a failed create leaves no file, and the next pass
// without a fault answers as if nothing had happened.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "allocation_fault_pass.h"

namespace {

using fault_injection::Fold;
using fault_injection::Outcome;

constexpr char kContent[] = "cluster agent state\r\n";
constexpr wchar_t kVariable[] = L"FERROWIND_MEMORY_TEST";

std::atomic<long> g_threadRuns{0};

DWORD WINAPI ReturnFortyTwo(LPVOID) {
  ++g_threadRuns;
  return 42;
}

// The handles and buffers of one pass, there before any fault is armed.
struct Pass {
  std::wstring file;
  std::wstring profile;
  std::wstring eventName;
  std::wstring mutexName;

  HANDLE fileHandle = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  HANDLE openedEvent = nullptr;
  HANDLE mutex = nullptr;
  HANDLE thread = nullptr;
  HANDLE mapping = nullptr;
  void* view = nullptr;
  HMODULE library = nullptr;
  long threadsCreated = 0;
  bool fileLeftBehind = false;
  WCHAR text[MAX_PATH * 4] = {};
  char bytes[256] = {};

  // Lets go of what the pass holds; the file it created goes too, after noting whether
  // it was there.
  void Close() {
    if (fileHandle != INVALID_HANDLE_VALUE) CloseHandle(std::exchange(fileHandle, INVALID_HANDLE_VALUE));
    if (view) UnmapViewOfFile(std::exchange(view, nullptr));
    for (HANDLE* handle : {&event, &openedEvent, &mutex, &thread, &mapping})
      if (*handle) CloseHandle(std::exchange(*handle, nullptr));
    if (library) FreeLibrary(std::exchange(library, nullptr));
    fileLeftBehind = GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
    DeleteFileW(file.c_str());
  }
};

Outcome Opened(const void* handle) {
  return {handle && handle != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError(), 0};
}
Outcome Succeeded(BOOL ok, DWORD value = 0) { return {ok ? ERROR_SUCCESS : GetLastError(), ok ? value : 0}; }
Outcome Closed(HANDLE& handle) { return Succeeded(CloseHandle(std::exchange(handle, nullptr))); }
// A count that is 0 on failure; the text it wrote is folded in.
Outcome Counted(DWORD count, const WCHAR* text) { return {count ? ERROR_SUCCESS : GetLastError(), count ? Fold(text) : 0}; }
Outcome Waited(DWORD result) { return {result == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS, result}; }

using Step = fault_injection::Step<Pass>;

// The calls of a pass in order; a step that needs a handle comes after the one that opens it.
constexpr Step kSteps[] = {
    [](Pass& p) {
      return Opened(p.fileHandle = CreateFileW(p.file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
    },
    [](Pass& p) {
      DWORD written = 0;
      return Succeeded(WriteFile(p.fileHandle, kContent, sizeof kContent - 1, &written, nullptr), written);
    },
    [](Pass& p) {
      const DWORD position = SetFilePointer(p.fileHandle, 0, nullptr, FILE_BEGIN);
      return Outcome{position == INVALID_SET_FILE_POINTER ? GetLastError() : ERROR_SUCCESS, position};
    },
    [](Pass& p) {
      DWORD read = 0;
      std::memset(p.bytes, 0, sizeof p.bytes);
      const BOOL ok = ReadFile(p.fileHandle, p.bytes, sizeof p.bytes, &read, nullptr);
      return Succeeded(ok, Fold(p.bytes, read));
    },
    [](Pass& p) { return Succeeded(CloseHandle(std::exchange(p.fileHandle, INVALID_HANDLE_VALUE))); },
    [](Pass& p) { return Opened(p.event = CreateEventW(nullptr, TRUE, FALSE, p.eventName.c_str())); },
    [](Pass& p) { return Opened(p.openedEvent = OpenEventW(EVENT_ALL_ACCESS, FALSE, p.eventName.c_str())); },
    [](Pass& p) { return Succeeded(SetEvent(p.openedEvent)); },
    [](Pass& p) { return Waited(WaitForSingleObject(p.event, 0)); },
    [](Pass& p) { return Closed(p.openedEvent); },
    [](Pass& p) { return Closed(p.event); },
    [](Pass& p) { return Opened(p.mutex = CreateMutexW(nullptr, TRUE, p.mutexName.c_str())); },
    [](Pass& p) { return Succeeded(ReleaseMutex(p.mutex)); },
    [](Pass& p) { return Waited(WaitForSingleObject(p.mutex, 0)); },
    [](Pass& p) { return Succeeded(ReleaseMutex(p.mutex)); },
    [](Pass& p) { return Closed(p.mutex); },
    [](Pass& p) {
      p.thread = CreateThread(nullptr, 0, ReturnFortyTwo, nullptr, 0, nullptr);
      if (p.thread) ++p.threadsCreated;
      return Opened(p.thread);
    },
    [](Pass& p) { return Waited(WaitForSingleObject(p.thread, INFINITE)); },
    [](Pass& p) {
      DWORD code = 0;
      return Succeeded(GetExitCodeThread(p.thread, &code), code);
    },
    [](Pass& p) { return Closed(p.thread); },
    [](Pass& p) {
      p.mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, p.eventName.c_str());
      return Opened(p.mapping);
    },
    [](Pass& p) {
      p.view = MapViewOfFile(p.mapping, FILE_MAP_WRITE, 0, 0, 0);
      if (p.view) std::memcpy(p.view, kContent, sizeof kContent);
      return Opened(p.view);
    },
    [](Pass& p) { return Succeeded(UnmapViewOfFile(std::exchange(p.view, nullptr))); },
    [](Pass& p) { return Closed(p.mapping); },
    [](Pass&) {
      MEMORYSTATUSEX status{};
      status.dwLength = sizeof status;
      const BOOL ok = GlobalMemoryStatusEx(&status);
      return Succeeded(ok, status.ullTotalPhys > 0 && status.ullAvailPhys <= status.ullTotalPhys);
    },
    [](Pass&) {
      LPWSTR message = nullptr;
      const DWORD length = FormatMessageW(
          FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
          ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
      const Outcome outcome = Counted(length, message);
      LocalFree(message);
      return outcome;
    },
    [](Pass& p) {
      return Succeeded(WritePrivateProfileStringW(L"Trap Filter", L"Suppress", L"1.3.6.1.4.1.884", p.profile.c_str()));
    },
    [](Pass& p) {
      const DWORD length = GetPrivateProfileStringW(L"Trap Filter", L"Suppress", L"", p.text, MAX_PATH, p.profile.c_str());
      return Counted(length, p.text);
    },
    [](Pass& p) {
      const int length = MultiByteToWideChar(CP_UTF8, 0, "N\xC5\x93ud \xE2\x82\xAC", -1, p.text, MAX_PATH);
      return Counted(static_cast<DWORD>(length), p.text);
    },
    [](Pass& p) {
      const int length = WideCharToMultiByte(CP_ACP, 0, L"N\u0153ud \u20AC", -1, p.bytes, sizeof p.bytes, nullptr, nullptr);
      return Outcome{length ? ERROR_SUCCESS : GetLastError(), length ? Fold(p.bytes, static_cast<size_t>(length)) : 0};
    },
    [](Pass& p) { return Counted(GetModuleFileNameW(nullptr, p.text, MAX_PATH * 4), p.text); },
    [](Pass& p) { return Counted(GetEnvironmentVariableW(kVariable, p.text, MAX_PATH), p.text); },
    [](Pass& p) { return Opened(p.library = LoadLibraryW(L"libm.so.6")); },
    [](Pass& p) {
      const FARPROC cosine = GetProcAddress(p.library, "cos");
      return Outcome{cosine ? ERROR_SUCCESS : GetLastError(), 0};
    },
    [](Pass& p) { return Succeeded(FreeLibrary(std::exchange(p.library, nullptr))); },
};

TEST(Kernel32Memory, EveryAllocationFailureFailsOneCallCleanly) {
  const std::filesystem::path directory = std::filesystem::temp_directory_path() /
                                          ("kernel32_memory_" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(directory);
  ASSERT_TRUE(SetEnvironmentVariableW(kVariable, L"C:\\ProgramData\\Ferrowind"));
  Pass pass;
  pass.file = (directory / "state.dat").wstring();
  pass.profile = (directory / "traps.ini").wstring();
  pass.eventName = L"Local\\FerrowindMemoryEvent" + std::to_wstring(GetCurrentProcessId());
  pass.mutexName = L"Global\\FerrowindMemoryMutex" + std::to_wstring(GetCurrentProcessId());
  // Measured after a first pass: what the layer sets up once (loader tables, the
  // standard handles, the thread's first allocations) stays.
  std::array<Outcome, std::size(kSteps)> warmUp{};
  fault_injection::RunPass(kSteps, pass, ERROR_NOT_ENOUGH_MEMORY, warmUp);
  pass.Close();
  const auto open = fault_injection::OpenCounts::Now();
  const auto nothingLeft = [&](long n, size_t step) {
    open.ExpectUnchanged(n, step);
    EXPECT_FALSE(step == 0 && pass.fileLeftBehind) << "fault " << n << ": a failed create leaves its file";
    // Every thread created ran to its end before its handle was closed; one more is a
    // thread started by a call that reported failure.
    for (int i = 0; i < 50 && g_threadRuns != pass.threadsCreated; ++i) Sleep(2);
    EXPECT_EQ(pass.threadsCreated, g_threadRuns.load()) << "fault " << n << " in step " << step;
    EXPECT_EQ(nullptr, OpenEventW(EVENT_ALL_ACCESS, FALSE, pass.eventName.c_str()))
        << "fault " << n << " in step " << step << ": the event outlives its handles";
  };
  fault_injection::ExpectEveryAllocationFaultFailsOneStep(kSteps, pass, ERROR_NOT_ENOUGH_MEMORY, nothingLeft);
  SetEnvironmentVariableW(kVariable, nullptr);
  std::filesystem::remove_all(directory);
}

}  // namespace

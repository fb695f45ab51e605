// psapi over /proc.
#include <psapi.h>
#include <windows.h>

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "errors.h"
#include "loader.h"
#include "paths.h"
#include "wide_text.h"

// The /proc streams rethrow through badbit: a stream otherwise takes a lack of memory for
// the end of the file, and a short read would pass for the whole one.
namespace winapi {
namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

// Process handles belong to the core area; its GetProcessId is found at run time so that
// this area does not depend on the order in which the areas are linked.
DWORD ProcessIdOf(HANDLE process) {
  if (process == kCurrentProcess) return static_cast<DWORD>(getpid());
  using GetProcessIdProc = DWORD(WINAPI*)(HANDLE);
  static const auto getProcessId = reinterpret_cast<GetProcessIdProc>(dlsym(RTLD_DEFAULT, "GetProcessId"));
  return getProcessId ? getProcessId(process) : 0;
}

bool IsSelf(DWORD pid) { return pid == static_cast<DWORD>(getpid()); }

std::string ExecutableOf(DWORD pid) {
  std::array<char, 4096> buffer{};
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size() - 1);
  return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
}

// The lowest mapping of the executable: its base in that process.
uintptr_t MainImageBase(DWORD pid, const std::string& executable) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  maps.exceptions(std::ios::badbit);
  std::string line;
  while (std::getline(maps, line)) {
    if (line.size() < executable.size() || line.compare(line.size() - executable.size(), executable.size(), executable) != 0)
      continue;
    return static_cast<uintptr_t>(std::strtoull(line.c_str(), nullptr, 16));
  }
  return 0;
}

// The host path of a module of a process; empty with the last error set when unknown.
std::string ModulePath(HANDLE process, HMODULE module) {
  const DWORD pid = ProcessIdOf(process);
  if (!pid) {
    FailWith(ERROR_INVALID_HANDLE);
    return {};
  }
  if (IsSelf(pid)) {
    std::string path = ModuleHostPath(module);
    if (path.empty()) FailWith(ERROR_INVALID_HANDLE);
    return path;
  }
  const std::string executable = ExecutableOf(pid);
  if (executable.empty()) {
    FailWith(ERROR_ACCESS_DENIED);
    return {};
  }
  if (module && reinterpret_cast<uintptr_t>(module) != MainImageBase(pid, executable)) {
    FailWith(ERROR_INVALID_HANDLE);
    return {};
  }
  return executable;
}

DWORD CopyName(const std::wstring& name, LPWSTR buffer, DWORD size) {
  if (!buffer || size == 0) {
    FailWith(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const size_t n = std::min<size_t>(name.size(), size - 1);
  std::copy_n(name.begin(), n, buffer);
  buffer[n] = L'\0';
  return static_cast<DWORD>(n);
}

// "Name:   1234 kB" lines of /proc/<pid>/status, in bytes.
struct StatusCounters {
  uint64_t rss = 0, peakRss = 0, data = 0, anonymous = 0, swap = 0;
  bool hasAnonymous = false;
};

bool ReadStatus(DWORD pid, StatusCounters& counters) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  if (!status) return false;
  status.exceptions(std::ios::badbit);
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    fields.exceptions(std::ios::badbit);
    std::string name;
    uint64_t kilobytes = 0;
    if (!(fields >> name >> kilobytes)) continue;
    const uint64_t bytes = kilobytes * 1024;
    if (name == "VmRSS:") counters.rss = bytes;
    else if (name == "VmHWM:") counters.peakRss = bytes;
    else if (name == "VmData:") counters.data = bytes;
    else if (name == "RssAnon:") counters.anonymous = bytes, counters.hasAnonymous = true;
    else if (name == "VmSwap:") counters.swap = bytes;
  }
  return true;
}

DWORD PageFaults(DWORD pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  fields.exceptions(std::ios::badbit);
  std::vector<std::string> values;
  for (std::string value; fields >> value;) values.push_back(value);
  // After the name: state(0) ppid pgrp session tty tpgid flags minflt(7) cminflt majflt(9).
  if (values.size() < 10) return 0;
  return static_cast<DWORD>(std::strtoull(values[7].c_str(), nullptr, 10) + std::strtoull(values[9].c_str(), nullptr, 10));
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// EnumProcesses
extern "C" WINBASEAPI BOOL WINAPI EnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded) {
  if (!lpcbNeeded || (!lpidProcess && cb)) return FailWith(ERROR_INVALID_PARAMETER);
  DIR* proc = opendir("/proc");
  if (!proc) return FailWithErrno();
  DWORD count = 0;
  const DWORD capacity = cb / sizeof(DWORD);
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
    if (*end || end == entry->d_name) continue;
    if (count < capacity) lpidProcess[count++] = static_cast<DWORD>(pid);
  }
  closedir(proc);
  *lpcbNeeded = count * sizeof(DWORD);
  return TRUE;
}

// EnumProcessModules: this process lists its main module and every loaded shared object.
extern "C" WINBASEAPI BOOL WINAPI EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb,
                                                     LPDWORD lpcbNeeded) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpcbNeeded || (!lphModule && cb)) return FailWith(ERROR_INVALID_PARAMETER);
    const DWORD pid = ProcessIdOf(hProcess);
    if (!pid) return FailWith(ERROR_INVALID_HANDLE);
    std::vector<HMODULE> modules;
    if (IsSelf(pid)) {
      modules = LoadedImages();
    } else {
      const std::string executable = ExecutableOf(pid);
      if (executable.empty()) return FailWith(ERROR_ACCESS_DENIED);
      modules.push_back(reinterpret_cast<HMODULE>(MainImageBase(pid, executable)));
    }
    const size_t capacity = cb / sizeof(HMODULE);
    std::copy_n(modules.begin(), std::min(capacity, modules.size()), lphModule);
    *lpcbNeeded = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    return TRUE;
  });
}

// GetModuleBaseNameW: the host file name as it is (no ".exe" is made up).
extern "C" WINBASEAPI DWORD WINAPI GetModuleBaseNameW(HANDLE hProcess, HMODULE hModule, LPWSTR lpBaseName,
                                                      DWORD nSize) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    const std::string path = ModulePath(hProcess, hModule);
    if (path.empty()) return 0;
    return CopyName(WideFromUtf8(path.substr(path.find_last_of('/') + 1)), lpBaseName, nSize);
  });
}

// GetModuleFileNameExW
extern "C" WINBASEAPI DWORD WINAPI GetModuleFileNameExW(HANDLE hProcess, HMODULE hModule, LPWSTR lpFilename,
                                                        DWORD nSize) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    const std::string path = ModulePath(hProcess, hModule);
    if (path.empty()) return 0;
    return CopyName(ToWindowsPath(path), lpFilename, nSize);
  });
}

// GetProcessMemoryInfo: working set from VmRSS (peak VmHWM); private and page-file usage
// from the resident and swapped anonymous memory, else VmData.
extern "C" WINBASEAPI BOOL WINAPI GetProcessMemoryInfo(HANDLE Process, PPROCESS_MEMORY_COUNTERS ppsmemCounters,
                                                       DWORD cb) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!ppsmemCounters) return FailWith(ERROR_INVALID_PARAMETER);
    if (cb < sizeof(PROCESS_MEMORY_COUNTERS)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
    const DWORD pid = ProcessIdOf(Process);
    if (!pid) return FailWith(ERROR_INVALID_HANDLE);
    StatusCounters status;
    if (!ReadStatus(pid, status)) return FailWith(ERROR_ACCESS_DENIED);
    const uint64_t privateBytes = status.hasAnonymous ? status.anonymous + status.swap : status.data;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = cb >= sizeof(PROCESS_MEMORY_COUNTERS_EX) ? sizeof(PROCESS_MEMORY_COUNTERS_EX) : sizeof(PROCESS_MEMORY_COUNTERS);
    counters.PageFaultCount = PageFaults(pid);
    counters.WorkingSetSize = status.rss;
    counters.PeakWorkingSetSize = std::max(status.peakRss, status.rss);
    counters.PagefileUsage = privateBytes;
    counters.PeakPagefileUsage = privateBytes;
    counters.PrivateUsage = privateBytes;
    std::copy_n(reinterpret_cast<const uint8_t*>(&counters), counters.cb, reinterpret_cast<uint8_t*>(ppsmemCounters));
    return TRUE;
  });
}

// System information: processors, memory, the Windows directories, the computer name
// and the version Windows reports to a process without a compatibility manifest.
#include "core_internal.h"
#include "wide_text.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

#include "errors.h"

namespace winapi {
namespace {

constexpr uintptr_t kMinimumApplicationAddress = 0x10000;
constexpr uintptr_t kMaximumApplicationAddress = 0x7FFFFFFEFFFF;
constexpr DWORD kAllocationGranularity = 0x10000;
constexpr DWORD kMaxProcessorsInGroup = 64;

// Version of a process without a compatibility manifest.
constexpr DWORD kReportedMajor = 6;
constexpr DWORD kReportedMinor = 2;
constexpr DWORD kReportedBuild = 9200;
constexpr WORD kSuiteTerminal = 0x0010;

DWORD OnlineProcessors() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return std::clamp<DWORD>(count > 0 ? static_cast<DWORD>(count) : 1, 1, kMaxProcessorsInGroup);
}

// The value of one "name : value" line of a /proc file, or empty.
std::string ProcField(const char* path, const std::string& name) {
  std::ifstream file(path);
  // A stream takes a lack of memory for the end of the file unless badbit makes it rethrow.
  file.exceptions(std::ios::badbit);
  std::string line;
  while (std::getline(file, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key != name) continue;
    const auto start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? std::string() : line.substr(start);
  }
  return {};
}

ULONGLONG ProcKilobytes(const char* path, const std::string& name) {
  return std::strtoull(ProcField(path, name).c_str(), nullptr, 10) * 1024;
}

void FillProcessorModel(SYSTEM_INFO& info) {
  const int family = std::atoi(ProcField("/proc/cpuinfo", "cpu family").c_str());
  const int model = std::atoi(ProcField("/proc/cpuinfo", "model").c_str());
  const int stepping = std::atoi(ProcField("/proc/cpuinfo", "stepping").c_str());
  info.wProcessorLevel = static_cast<WORD>(family);
  info.wProcessorRevision = static_cast<WORD>(((model & 0xFF) << 8) | (stepping & 0xFF));
}

void FillSystemInfo(SYSTEM_INFO& info) {
  std::memset(&info, 0, sizeof info);
#if defined(__aarch64__)
  info.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM64;
  info.dwProcessorType = 0;
#else
  info.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
  info.dwProcessorType = PROCESSOR_AMD_X8664;
#endif
  info.dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
  info.lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(kMinimumApplicationAddress);
  info.lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(kMaximumApplicationAddress);
  info.dwNumberOfProcessors = OnlineProcessors();
  info.dwActiveProcessorMask =
      info.dwNumberOfProcessors >= 64 ? ~DWORD_PTR{0} : (DWORD_PTR{1} << info.dwNumberOfProcessors) - 1;
  info.dwAllocationGranularity = kAllocationGranularity;
  // GetSystemInfo cannot fail: without memory to read the model, level and revision stay 0.
  try {
    FillProcessorModel(info);
  } catch (const std::bad_alloc&) {
  }
}

// The documented buffer contract of the directory functions: the length without the
// terminator when it fits, otherwise the size needed with it (buffer untouched).
UINT CopyDirectory(const wchar_t* path, LPWSTR buffer, UINT size) {
  const auto length = static_cast<UINT>(std::wcslen(path));
  if (!buffer || size <= length) return length + 1;
  std::wmemcpy(buffer, path, length + 1);
  return length;
}

std::wstring HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return L"LOCALHOST";
  return WideFromUtf8(name);
}

std::wstring FirstLabel(const std::wstring& host) { return host.substr(0, host.find(L'.')); }

std::wstring DomainOf(const std::wstring& host) {
  const auto dot = host.find(L'.');
  return dot == std::wstring::npos ? std::wstring() : host.substr(dot + 1);
}

std::wstring NetBiosName() {
  std::wstring name = UpperCase(FirstLabel(HostName()));
  if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
  return name;
}

std::optional<std::wstring> ComputerName(COMPUTER_NAME_FORMAT format) {
  const std::wstring host = HostName();
  switch (format) {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS: return NetBiosName();
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname: return FirstLabel(host);
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain: return DomainOf(host);
    case ComputerNameDnsFullyQualified:
    case ComputerNamePhysicalDnsFullyQualified: return host;
    default: return std::nullopt;
  }
}

// Copies a name with the computer-name contract: *size is the length without the
// terminator on success, the size needed with it on failure.
BOOL CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD size, DWORD tooSmallError) {
  const auto needed = static_cast<DWORD>(name.size() + 1);
  if (!buffer || *size < needed) {
    *size = needed;
    return FailWith(tooSmallError);
  }
  std::wmemcpy(buffer, name.c_str(), needed);
  *size = needed - 1;
  return TRUE;
}

}  // namespace
}  // namespace winapi

using winapi::FailWith;

// GetSystemInfo
extern "C" WINBASEAPI void WINAPI GetSystemInfo(LPSYSTEM_INFO lpSystemInfo) { winapi::FillSystemInfo(*lpSystemInfo); }

// GetNativeSystemInfo: the layer only runs native 64-bit code.
extern "C" WINBASEAPI void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
  winapi::FillSystemInfo(*lpSystemInfo);
}

// GetActiveProcessorGroupCount
extern "C" WINBASEAPI WORD WINAPI GetActiveProcessorGroupCount(void) { return 1; }

// GetActiveProcessorCount
extern "C" WINBASEAPI DWORD WINAPI GetActiveProcessorCount(WORD GroupNumber) {
  if (GroupNumber != 0 && GroupNumber != ALL_PROCESSOR_GROUPS) {
    FailWith(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return winapi::OnlineProcessors();
}

// GetCurrentProcessorNumber
extern "C" WINBASEAPI DWORD WINAPI GetCurrentProcessorNumber(void) {
  const int cpu = sched_getcpu();
  return cpu < 0 ? 0 : static_cast<DWORD>(cpu) % winapi::kMaxProcessorsInGroup;
}

// GetCurrentProcessorNumberEx
extern "C" WINBASEAPI void WINAPI GetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber) {
  ProcNumber->Group = 0;
  ProcNumber->Number = static_cast<BYTE>(GetCurrentProcessorNumber());
  ProcNumber->Reserved = 0;
}

// GlobalMemoryStatusEx: the page file stands for physical memory plus swap.
extern "C" WINBASEAPI BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX lpBuffer) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpBuffer || lpBuffer->dwLength != sizeof(MEMORYSTATUSEX)) return FailWith(ERROR_INVALID_PARAMETER);
    const ULONGLONG total = winapi::ProcKilobytes("/proc/meminfo", "MemTotal");
    const ULONGLONG available = winapi::ProcKilobytes("/proc/meminfo", "MemAvailable");
    const ULONGLONG swapTotal = winapi::ProcKilobytes("/proc/meminfo", "SwapTotal");
    const ULONGLONG swapFree = winapi::ProcKilobytes("/proc/meminfo", "SwapFree");
    const ULONGLONG virtualTotal = winapi::kMaximumApplicationAddress - winapi::kMinimumApplicationAddress + 1;
    const ULONGLONG virtualUsed = winapi::ProcKilobytes("/proc/self/status", "VmSize");
    lpBuffer->dwMemoryLoad = total ? static_cast<DWORD>(100 - available * 100 / total) : 0;
    lpBuffer->ullTotalPhys = total;
    lpBuffer->ullAvailPhys = available;
    lpBuffer->ullTotalPageFile = total + swapTotal;
    lpBuffer->ullAvailPageFile = available + swapFree;
    lpBuffer->ullTotalVirtual = virtualTotal;
    lpBuffer->ullAvailVirtual = virtualUsed < virtualTotal ? virtualTotal - virtualUsed : 0;
    lpBuffer->ullAvailExtendedVirtual = 0;
    return TRUE;
  });
}

// GetSystemDirectoryW
extern "C" WINBASEAPI UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return winapi::CopyDirectory(L"C:\\Windows\\system32", lpBuffer, uSize);
}

// GetWindowsDirectoryW
extern "C" WINBASEAPI UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return winapi::CopyDirectory(L"C:\\Windows", lpBuffer, uSize);
}

// GetSystemWindowsDirectoryW
extern "C" WINBASEAPI UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return winapi::CopyDirectory(L"C:\\Windows", lpBuffer, uSize);
}

// GetSystemWow64DirectoryW
extern "C" WINBASEAPI UINT WINAPI GetSystemWow64DirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return winapi::CopyDirectory(L"C:\\Windows\\SysWOW64", lpBuffer, uSize);
}

// GetComputerNameW: the NetBIOS form of the host name, upper case, at most 15 characters.
extern "C" WINBASEAPI BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!nSize) return FailWith(ERROR_INVALID_PARAMETER);
    return winapi::CopyName(winapi::NetBiosName(), lpBuffer, nSize, ERROR_BUFFER_OVERFLOW);
  });
}

// GetComputerNameExW: the DNS forms come from the host name alone, without a lookup.
extern "C" WINBASEAPI BOOL WINAPI GetComputerNameExW(COMPUTER_NAME_FORMAT NameType, LPWSTR lpBuffer, LPDWORD nSize) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!nSize) return FailWith(ERROR_INVALID_PARAMETER);
    const auto name = winapi::ComputerName(NameType);
    if (!name) return FailWith(ERROR_INVALID_PARAMETER);
    return winapi::CopyName(*name, lpBuffer, nSize, ERROR_MORE_DATA);
  });
}

// GetVersionExW: takes OSVERSIONINFOW or OSVERSIONINFOEXW, told apart by their size.
extern "C" WINBASEAPI BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
  if (!lpVersionInformation) return FailWith(ERROR_INVALID_PARAMETER);
  const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memset(reinterpret_cast<char*>(lpVersionInformation) + sizeof(DWORD), 0, size - sizeof(DWORD));
  lpVersionInformation->dwMajorVersion = winapi::kReportedMajor;
  lpVersionInformation->dwMinorVersion = winapi::kReportedMinor;
  lpVersionInformation->dwBuildNumber = winapi::kReportedBuild;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  if (size == sizeof(OSVERSIONINFOEXW)) {
    auto* extended = reinterpret_cast<LPOSVERSIONINFOEXW>(lpVersionInformation);
    extended->wSuiteMask = VER_SUITE_SINGLEUSERTS | winapi::kSuiteTerminal;
    extended->wProductType = VER_NT_SERVER;
  }
  return TRUE;
}

// GetVersion: major and minor in the low word, the build in the high word.
extern "C" WINBASEAPI DWORD WINAPI GetVersion(void) {
  return (winapi::kReportedBuild << 16) | (winapi::kReportedMinor << 8) | winapi::kReportedMajor;
}

// Clocks, time conversion and system information.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "conformance.h"

namespace {

using conformance::kSentinel;

ULONGLONG Ticks(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FileTimeOf(ULONGLONG ticks) { return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  return text;
}

TEST(Clocks, TickCountsAndPerformanceCounterAdvanceMonotonically) {
  LARGE_INTEGER frequency{}, before{}, after{};
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  ASSERT_GT(frequency.QuadPart, 0);
  const ULONGLONG ticksBefore = GetTickCount64();
  ASSERT_TRUE(QueryPerformanceCounter(&before));
  ULONGLONG last = ticksBefore;
  for (int i = 0; i < 10; ++i) {
    Sleep(5);
    const ULONGLONG now = GetTickCount64();
    ASSERT_GE(now, last) << "tick count went backwards";
    last = now;
  }
  Sleep(50);
  ASSERT_TRUE(QueryPerformanceCounter(&after));
  const ULONGLONG elapsedTicks = GetTickCount64() - ticksBefore;
  const LONGLONG elapsedCounter = (after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart;
  EXPECT_GE(elapsedTicks, 80u);
  EXPECT_LT(elapsedTicks, 5000u);
  EXPECT_GE(elapsedCounter, 80);
  EXPECT_LT(elapsedCounter, 5000);
  const DWORD low = GetTickCount();
  EXPECT_LT(static_cast<DWORD>(low - static_cast<DWORD>(GetTickCount64())) + 1000u, 2000u)
      << "GetTickCount is the low part of GetTickCount64";
}

struct CalendarCase {
  ULONGLONG ticks;
  SYSTEMTIME time;  // year, month, day of week, day, hour, minute, second, ms
};

const CalendarCase kCalendar[] = {
    {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
    {116444736000000000ull, {1970, 1, 4, 1, 0, 0, 0, 0}},
    {125911584000000000ull, {2000, 1, 6, 1, 0, 0, 0, 0}},
    {125962560000000000ull + 452967890000ull, {2000, 2, 2, 29, 12, 34, 56, 789}},
    {134409888000000000ull, {2026, 12, 0, 6, 0, 0, 0, 0}},
    {2650467743999990000ull, {9999, 12, 5, 31, 23, 59, 59, 999}},
};

TEST(TimeConversion, FileTimeAndSystemTimeConvertBothWays) {
  for (const CalendarCase& c : kCalendar) {
    SYSTEMTIME converted{};
    const FILETIME file = FileTimeOf(c.ticks);
    ASSERT_TRUE(FileTimeToSystemTime(&file, &converted)) << c.ticks;
    EXPECT_EQ(converted.wYear, c.time.wYear) << c.ticks;
    EXPECT_EQ(converted.wMonth, c.time.wMonth) << c.ticks;
    EXPECT_EQ(converted.wDay, c.time.wDay) << c.ticks;
    EXPECT_EQ(converted.wDayOfWeek, c.time.wDayOfWeek) << c.ticks;
    EXPECT_EQ(converted.wHour, c.time.wHour) << c.ticks;
    EXPECT_EQ(converted.wMinute, c.time.wMinute) << c.ticks;
    EXPECT_EQ(converted.wSecond, c.time.wSecond) << c.ticks;
    EXPECT_EQ(converted.wMilliseconds, c.time.wMilliseconds) << c.ticks;

    SYSTEMTIME withWrongWeekday = c.time;
    withWrongWeekday.wDayOfWeek = 3;  // ignored
    FILETIME back{};
    ASSERT_TRUE(SystemTimeToFileTime(&withWrongWeekday, &back)) << c.ticks;
    EXPECT_EQ(Ticks(back), c.ticks);
  }
}

TEST(TimeConversion, OutOfRangeValuesAreRefused) {
  const SYSTEMTIME invalid[] = {
      {1600, 12, 0, 31, 0, 0, 0, 0}, {2024, 13, 0, 1, 0, 0, 0, 0},    {2024, 0, 0, 1, 0, 0, 0, 0},
      {2024, 4, 0, 0, 0, 0, 0, 0},   {2024, 4, 0, 31, 0, 0, 0, 0},    {1900, 2, 0, 29, 0, 0, 0, 0},
      {2024, 1, 0, 1, 24, 0, 0, 0},  {2024, 1, 0, 1, 0, 60, 0, 0},    {2024, 1, 0, 1, 0, 0, 60, 0},
      {2024, 1, 0, 1, 0, 0, 0, 1000},
  };
  for (const SYSTEMTIME& time : invalid) {
    FILETIME file{0x1234, 0x5678};
    SetLastError(kSentinel);
    EXPECT_FALSE(SystemTimeToFileTime(&time, &file)) << time.wYear << "-" << time.wMonth << "-" << time.wDay << " "
                                                     << time.wHour << ":" << time.wMinute << ":" << time.wSecond
                                                     << "." << time.wMilliseconds;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  const FILETIME tooLate = FileTimeOf(0x8000000000000000ull);
  SYSTEMTIME time{};
  SetLastError(kSentinel);
  EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &time));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(TimeConversion, SystemTimeClockAgreesWithFileTimeClockAndLocalRoundTrips) {
  FILETIME nowFile{};
  SYSTEMTIME nowSystem{};
  GetSystemTimeAsFileTime(&nowFile);
  GetSystemTime(&nowSystem);
  FILETIME fromSystem{};
  ASSERT_TRUE(SystemTimeToFileTime(&nowSystem, &fromSystem));
  const LONGLONG skew = static_cast<LONGLONG>(Ticks(fromSystem) - Ticks(nowFile));
  EXPECT_GE(skew, -20000000LL) << "more than 2 s apart";
  EXPECT_LE(skew, 20000000LL) << "more than 2 s apart";
  EXPECT_GE(nowSystem.wYear, 2024);

  FILETIME local{}, utc{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&nowFile, &local));
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
  EXPECT_EQ(Ticks(utc), Ticks(nowFile));
  SYSTEMTIME localNow{};
  GetLocalTime(&localNow);
  FILETIME localFromClock{};
  ASSERT_TRUE(SystemTimeToFileTime(&localNow, &localFromClock));
  const LONGLONG localSkew = static_cast<LONGLONG>(Ticks(localFromClock) - Ticks(local));
  EXPECT_LE(localSkew < 0 ? -localSkew : localSkew, 20000000LL) << "GetLocalTime disagrees with the local bias";
}

TEST(SystemInformation, DirectoriesFollowTheBufferContract) {
  struct Case {
    const char* function;
    UINT(WINAPI* get)(LPWSTR, UINT);
    const wchar_t* expected;
  };
  const Case cases[] = {
      {"GetSystemDirectoryW", GetSystemDirectoryW, L"c:\\windows\\system32"},
      {"GetWindowsDirectoryW", GetWindowsDirectoryW, L"c:\\windows"},
      {"GetSystemWindowsDirectoryW", GetSystemWindowsDirectoryW, L"c:\\windows"},
      {"GetSystemWow64DirectoryW", GetSystemWow64DirectoryW, L"c:\\windows\\syswow64"},
  };
  for (const Case& c : cases) {
    const UINT length = static_cast<UINT>(std::wcslen(c.expected));
    wchar_t guard[64];
    std::wmemset(guard, L'#', 64);
    EXPECT_EQ(c.get(guard, 0), length + 1) << c.function << ": size 0 asks for the length with terminator";
    EXPECT_EQ(c.get(guard, length), length + 1) << c.function << ": no room for the terminator";
    EXPECT_EQ(guard[0], L'#') << c.function << ": a too small buffer stays untouched";
    EXPECT_EQ(c.get(guard, length + 1), length) << c.function;
    EXPECT_EQ(Lower(guard), c.expected) << c.function;
    EXPECT_EQ(guard[length + 1], L'#') << c.function << ": wrote beyond the terminator";
  }
}

TEST(SystemInformation, ComputerNameIsUpperCaseNetBiosWithTheSizeContract) {
  DWORD size = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetComputerNameW(nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
  ASSERT_GE(size, 2u);
  ASSERT_LE(size, static_cast<DWORD>(MAX_COMPUTERNAME_LENGTH + 1));

  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD tooSmall = size - 1;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetComputerNameW(name, &tooSmall));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(tooSmall, size);

  DWORD exact = size;
  ASSERT_TRUE(GetComputerNameW(name, &exact));
  EXPECT_EQ(exact, size - 1) << "length without the terminator";
  EXPECT_EQ(std::wcslen(name), exact);
  for (DWORD i = 0; i < exact; ++i)
    EXPECT_FALSE(std::iswlower(static_cast<std::wint_t>(name[i]))) << "lower case in the NetBIOS name";

  DWORD hostSize = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetComputerNameExW(ComputerNameDnsHostname, nullptr, &hostSize));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_GE(hostSize, 2u);
}

TEST(SystemInformation, VersionChecksTheStructureSize) {
  struct Case {
    DWORD size;
    BOOL accepted;
  };
  const Case cases[] = {
      {0, FALSE},
      {sizeof(OSVERSIONINFOW) - 1, FALSE},
      {sizeof(OSVERSIONINFOW), TRUE},
      {sizeof(OSVERSIONINFOEXW), TRUE},
      {sizeof(OSVERSIONINFOEXW) + 4, FALSE},
  };
  for (const Case& c : cases) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = c.size;
    SetLastError(kSentinel);
    const BOOL ok = GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&info));
    EXPECT_EQ(ok, c.accepted) << c.size;
    if (!c.accepted) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << c.size;
      continue;
    }
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    // Wine reports the version its prefix is configured for.
    if (conformance::OnWine()) continue;
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 2u);
    EXPECT_EQ(info.dwBuildNumber, 9200u);
    if (c.size == sizeof(OSVERSIONINFOEXW)) {
      EXPECT_EQ(info.wProductType, VER_NT_SERVER);
    }
  }
}

TEST(SystemInformation, ProcessorsAndMemoryAreConsistent) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  EXPECT_GE(info.dwNumberOfProcessors, 1u);
  EXPECT_EQ(info.dwAllocationGranularity, 65536u);
  EXPECT_EQ(info.dwPageSize, 4096u);
  EXPECT_EQ(GetActiveProcessorGroupCount(), 1);
  EXPECT_EQ(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS), info.dwNumberOfProcessors);
  EXPECT_EQ(GetActiveProcessorCount(0), info.dwNumberOfProcessors);
  PROCESSOR_NUMBER number{};
  GetCurrentProcessorNumberEx(&number);
  EXPECT_EQ(number.Group, 0);
  EXPECT_LT(number.Number, info.dwNumberOfProcessors);

  MEMORYSTATUSEX memory{};
  SetLastError(kSentinel);
  EXPECT_FALSE(GlobalMemoryStatusEx(&memory)) << "dwLength 0";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  memory.dwLength = sizeof memory;
  ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
  EXPECT_GT(memory.ullTotalPhys, 0u);
  EXPECT_LE(memory.ullAvailPhys, memory.ullTotalPhys);
  EXPECT_LE(memory.dwMemoryLoad, 100u);
  EXPECT_LE(memory.ullAvailVirtual, memory.ullTotalVirtual);
}

}  // namespace

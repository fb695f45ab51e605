// Clocks and time conversion. FILETIME counts 100 ns intervals since 1601-01-01 UTC;
// the calendar arithmetic is done on day numbers, so every date Windows accepts
// (1601 to 30827) converts, independent of the range of time_t.
#include "core_internal.h"

#include <time.h>

#include "errors.h"

namespace winapi {
namespace {

constexpr ULONGLONG kTicksPerMillisecond = 10000;
constexpr ULONGLONG kTicksPerSecond = 10000000;
constexpr ULONGLONG kTicksPerDay = kTicksPerSecond * 86400;
constexpr ULONGLONG kSecondsFrom1601To1970 = 11644473600ull;
// Days from 0000-03-01 (the proleptic Gregorian origin of the day arithmetic) to 1601-01-01.
constexpr LONGLONG kDaysTo1601 = 584694;
constexpr LONGLONG kPerformanceFrequency = 10000000;  // what Windows reports on current hardware

ULONGLONG FromFileTime(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME ToFileTime(ULONGLONG ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

ULONGLONG ClockMilliseconds(clockid_t clock) {
  struct timespec now {};
  clock_gettime(clock, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000 + static_cast<ULONGLONG>(now.tv_nsec) / 1000000;
}

ULONGLONG RealTimeTicks() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<ULONGLONG>(now.tv_sec) + kSecondsFrom1601To1970) * kTicksPerSecond +
         static_cast<ULONGLONG>(now.tv_nsec) / 100;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1601-01-01 for a civil date (H. Hinnant's days_from_civil, March-based years).
LONGLONG DaysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const LONGLONG era = year / 400;
  const LONGLONG yearOfEra = year - era * 400;
  const LONGLONG dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const LONGLONG dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - kDaysTo1601;
}

void CivilFromDays(LONGLONG days, int& year, int& month, int& day) {
  const LONGLONG z = days + kDaysTo1601;
  const LONGLONG era = z / 146097;
  const LONGLONG dayOfEra = z - era * 146097;
  const LONGLONG yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const LONGLONG dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const LONGLONG monthIndex = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2));
}

SYSTEMTIME SystemTimeFromTicks(ULONGLONG ticks) {
  const auto days = static_cast<LONGLONG>(ticks / kTicksPerDay);
  ULONGLONG rest = ticks % kTicksPerDay;
  int year = 0, month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(month);
  time.wDay = static_cast<WORD>(day);
  time.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  time.wHour = static_cast<WORD>(rest / (kTicksPerSecond * 3600));
  rest %= kTicksPerSecond * 3600;
  time.wMinute = static_cast<WORD>(rest / (kTicksPerSecond * 60));
  rest %= kTicksPerSecond * 60;
  time.wSecond = static_cast<WORD>(rest / kTicksPerSecond);
  time.wMilliseconds = static_cast<WORD>(rest % kTicksPerSecond / kTicksPerMillisecond);
  return time;
}

bool IsValidSystemTime(const SYSTEMTIME& time) {
  if (time.wYear < 1601 || time.wYear > 30827 || time.wMonth < 1 || time.wMonth > 12) return false;
  if (time.wDay < 1 || time.wDay > DaysInMonth(time.wYear, time.wMonth)) return false;
  return time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60 && time.wMilliseconds < 1000;
}

ULONGLONG TicksFromSystemTime(const SYSTEMTIME& time) {
  const auto days = static_cast<ULONGLONG>(DaysFromCivil(time.wYear, time.wMonth, time.wDay));
  const ULONGLONG seconds = time.wHour * 3600ull + time.wMinute * 60ull + time.wSecond;
  return days * kTicksPerDay + seconds * kTicksPerSecond + time.wMilliseconds * kTicksPerMillisecond;
}

// The current offset of local time from UTC in ticks; Windows applies the current bias
// to every FILETIME, not the one in force at that time.
LONGLONG LocalBiasTicks() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  return static_cast<LONGLONG>(local.tm_gmtoff) * static_cast<LONGLONG>(kTicksPerSecond);
}

constexpr ULONGLONG kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;

}  // namespace
}  // namespace winapi

using winapi::FailWith;

// GetTickCount: milliseconds since boot, wrapping after 49.7 days.
extern "C" WINBASEAPI DWORD WINAPI GetTickCount(void) {
  return static_cast<DWORD>(winapi::ClockMilliseconds(CLOCK_BOOTTIME));
}

// GetTickCount64: milliseconds since boot, counting suspended time as Windows does.
extern "C" WINBASEAPI ULONGLONG WINAPI GetTickCount64(void) { return winapi::ClockMilliseconds(CLOCK_BOOTTIME); }

// QueryPerformanceCounter: the monotonic clock in 100 ns units.
extern "C" WINBASEAPI BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  if (!lpPerformanceCount) return FailWith(ERROR_NOACCESS);
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  lpPerformanceCount->QuadPart = static_cast<LONGLONG>(now.tv_sec) * winapi::kPerformanceFrequency + now.tv_nsec / 100;
  return TRUE;
}

// QueryPerformanceFrequency
extern "C" WINBASEAPI BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  if (!lpFrequency) return FailWith(ERROR_NOACCESS);
  lpFrequency->QuadPart = winapi::kPerformanceFrequency;
  return TRUE;
}

// GetSystemTimeAsFileTime
extern "C" WINBASEAPI void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  *lpSystemTimeAsFileTime = winapi::ToFileTime(winapi::RealTimeTicks());
}

// GetSystemTimePreciseAsFileTime
extern "C" WINBASEAPI void WINAPI GetSystemTimePreciseAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  *lpSystemTimeAsFileTime = winapi::ToFileTime(winapi::RealTimeTicks());
}

// GetSystemTime
extern "C" WINBASEAPI void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  *lpSystemTime = winapi::SystemTimeFromTicks(winapi::RealTimeTicks());
}

// GetLocalTime
extern "C" WINBASEAPI void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local {};
  localtime_r(&now.tv_sec, &local);
  const auto ticks = static_cast<LONGLONG>(winapi::RealTimeTicks()) +
                     static_cast<LONGLONG>(local.tm_gmtoff) * static_cast<LONGLONG>(winapi::kTicksPerSecond);
  *lpSystemTime = winapi::SystemTimeFromTicks(static_cast<ULONGLONG>(ticks));
}

// FileTimeToSystemTime: times beyond 0x7FFFFFFFFFFFFFFF are rejected, as on Windows.
extern "C" WINBASEAPI BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
  if (!lpFileTime || !lpSystemTime) return FailWith(ERROR_NOACCESS);
  const ULONGLONG ticks = winapi::FromFileTime(*lpFileTime);
  if (ticks > winapi::kMaxFileTime) return FailWith(ERROR_INVALID_PARAMETER);
  *lpSystemTime = winapi::SystemTimeFromTicks(ticks);
  return TRUE;
}

// SystemTimeToFileTime: wDayOfWeek is ignored; any other field out of range fails.
extern "C" WINBASEAPI BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
  if (!lpSystemTime || !lpFileTime) return FailWith(ERROR_NOACCESS);
  if (!winapi::IsValidSystemTime(*lpSystemTime)) return FailWith(ERROR_INVALID_PARAMETER);
  *lpFileTime = winapi::ToFileTime(winapi::TicksFromSystemTime(*lpSystemTime));
  return TRUE;
}

// FileTimeToLocalFileTime
extern "C" WINBASEAPI BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
  if (!lpFileTime || !lpLocalFileTime) return FailWith(ERROR_NOACCESS);
  const auto local = static_cast<LONGLONG>(winapi::FromFileTime(*lpFileTime)) + winapi::LocalBiasTicks();
  if (local < 0) return FailWith(ERROR_INVALID_PARAMETER);
  *lpLocalFileTime = winapi::ToFileTime(static_cast<ULONGLONG>(local));
  return TRUE;
}

// LocalFileTimeToFileTime
extern "C" WINBASEAPI BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
  if (!lpLocalFileTime || !lpFileTime) return FailWith(ERROR_NOACCESS);
  const auto utc = static_cast<LONGLONG>(winapi::FromFileTime(*lpLocalFileTime)) - winapi::LocalBiasTicks();
  if (utc < 0) return FailWith(ERROR_INVALID_PARAMETER);
  *lpFileTime = winapi::ToFileTime(static_cast<ULONGLONG>(utc));
  return TRUE;
}

// CompareFileTime
extern "C" WINBASEAPI LONG WINAPI CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2) {
  const ULONGLONG first = winapi::FromFileTime(*lpFileTime1);
  const ULONGLONG second = winapi::FromFileTime(*lpFileTime2);
  return first < second ? -1 : (first > second ? 1 : 0);
}

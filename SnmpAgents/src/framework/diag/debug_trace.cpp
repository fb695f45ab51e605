#include "debug_trace.h"

#include <psapi.h>

#include <algorithm>
#include <memory>
#include <new>

#include "debugger_output.h"
#include "proc_lookup.h"

using fw::diag::FormatTraceText;
using fw::diag::TraceArg;

CDebugTrace g_DebugTrace;

namespace {

constexpr wchar_t kAllocationFailed[] =
    L"\n################ ERROR in TRACE - BUFFER ALLOCATION FAILED! ################";
constexpr wchar_t kBufferTooSmall[] =
    L"\n################ ERROR in TRACE - BUFFER TOO SMALL - FIXME! ################";
constexpr DWORD kExtendedCountersSize = 80;
constexpr DWORD kBasicCountersSize = 72;

// Saves the thread's last error and puts it back, whatever happens in between.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : m_saved(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(m_saved); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD m_saved;
};

template <class... Args>
std::size_t AppendFormatted(wchar_t* buffer, std::size_t capacity, std::size_t length, const wchar_t* format,
                            const Args&... args) {
  const TraceArg argv[] = {TraceArg(args)...};
  if (length >= capacity) return length;
  return length + FormatTraceText(buffer + length, capacity - length, format, argv);
}

}  // namespace

CDebugTrace::CDebugTrace() : CDebugTrace(fw::diag::kTraceSettingsKey) {}

CDebugTrace::CDebugTrace(std::wstring_view settingsKey) : m_settingsKey(settingsKey) {
  LookUpKernelFunctions();
  Initialize(L"", false);
}

CDebugTrace::~CDebugTrace() {
  if (IsActive() && m_banner) WriteBanner(L"closed");
  m_active.store(false, std::memory_order_relaxed);
  if (m_psapi) FreeLibrary(m_psapi);
}

void CDebugTrace::LookUpKernelFunctions() {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  using fw::diag::LookupProc;
  m_getTickCount64 = LookupProc<GetTickCount64Fn>(kernel32, "GetTickCount64");
  m_getActiveProcessorGroupCount = LookupProc<GetActiveProcessorGroupCountFn>(kernel32, "GetActiveProcessorGroupCount");
  m_getActiveProcessorCount = LookupProc<GetActiveProcessorCountFn>(kernel32, "GetActiveProcessorCount");
  m_getCurrentProcessorNumberEx = LookupProc<GetCurrentProcessorNumberExFn>(kernel32, "GetCurrentProcessorNumberEx");
  m_getCurrentProcessorNumber = LookupProc<GetCurrentProcessorNumberFn>(kernel32, "GetCurrentProcessorNumber");
}

void CDebugTrace::Initialize(const wchar_t* applicationName, bool banner) noexcept {
  try {
    {
      const std::lock_guard lock(m_lock);
      m_applicationName = std::wstring_view(applicationName ? applicationName : L"").substr(0, kMaxApplicationName);
      m_banner = banner;
      ReadSettingsLocked();
    }
    if (IsActive() && banner) WriteBanner(L"started");
  } catch (...) {
    // Tracing stays as it was; the caller goes on.
  }
}

void CDebugTrace::ReadSettings() noexcept {
  try {
    const std::lock_guard lock(m_lock);
    ReadSettingsLocked();
  } catch (...) {
  }
}

void CDebugTrace::ReadSettingsLocked() {
  const fw::diag::TraceSettings settings = fw::diag::ReadTraceSettings(m_settingsKey, m_applicationName);
  m_traceEnabled = settings.traceEnabled;
  m_dynamicUpdate = settings.dynamicUpdate;
  bool active = m_dynamicUpdate != 0;

  m_timeStampOn = settings.timeStampOn;
  m_dateStampOn = settings.dateStampOn;
  m_threadIdOn = settings.threadIdOn;
  m_cpuIdOn = settings.cpuIdOn;
  m_appNameOn = settings.appNameOn;
  m_memUsageOn = settings.memUsageOn;
  m_handleCountOn = settings.handleCountOn;

  if (ApplyFileSettings(settings)) active = true;
  ApplyConsoleLevel(settings.conLevel);
  if (m_conLevel != 0) active = true;
  m_winLevel = settings.winLevel;
  if (m_winLevel != 0) active = true;
  if (m_memUsageOn && !m_psapi) {
    m_psapi = LoadLibraryW(L"psapi");
    m_getProcessMemoryInfo = fw::diag::LookupProc<GetProcessMemoryInfoFn>(m_psapi, "GetProcessMemoryInfo");
  }
  m_lastRead = NowSeconds();
  m_active.store(active, std::memory_order_relaxed);
}

bool CDebugTrace::ApplyFileSettings(const fw::diag::TraceSettings& settings) {
  m_fileLevel = settings.fileLevel;
  m_fileLimit = settings.fileLimit;
  m_memoryMapped = settings.memoryMapped;
  if (m_fileLevel != 0) m_appendFile.SetPath(settings.filePath, !m_memoryMapped);
  m_appendFile.SetLimit(m_fileLimit);
  // A ring still wanted for the same file and size keeps its mapping and write position;
  // any other change closes it cleanly, and the next line opens what is configured now.
  if (m_fileLevel == 0 || !m_memoryMapped || !m_ringFile.IsOpenFor(m_appendFile.Path(), m_fileLimit)) {
    m_ringFile.Close();
  }
  return m_fileLevel != 0 && !m_appendFile.Path().empty();
}

void CDebugTrace::ApplyConsoleLevel(DWORD level) {
  m_conLevel = level;
  if (m_conLevel == 0 || m_console != INVALID_HANDLE_VALUE) return;
  AllocConsole();
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output && output != INVALID_HANDLE_VALUE) m_console = output;
}

ULONGLONG CDebugTrace::NowSeconds() const {
  return (m_getTickCount64 ? m_getTickCount64() : GetTickCount()) / 1000;
}

void CDebugTrace::CheckDynamicUpdate() {
  if (m_dynamicUpdate == 0) return;
  const ULONGLONG now = NowSeconds();
  if (now >= m_lastRead + m_dynamicUpdate || now < m_lastRead) ReadSettingsLocked();
}

void CDebugTrace::WriteBanner(const wchar_t* event) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const std::wstring format =
      std::wstring(L"\n\n----- Application [%s] ") + event + L" at %02d:%02d:%02d %02d.%02d.%04d -----\n";
  Trace(1, format.c_str(), m_applicationName, now.wHour, now.wMinute, now.wSecond, now.wDay, now.wMonth, now.wYear);
}

void CDebugTrace::TraceArgs(DWORD level, const wchar_t* format, std::span<const TraceArg> args) noexcept {
  const LastErrorKeeper lastError;
  try {
    const std::lock_guard lock(m_lock);
    CheckDynamicUpdate();
    if (level == 0) level = 1;
    if (!format || !m_traceEnabled) return;
    if (level > m_fileLevel && level > m_conLevel && level > m_winLevel) return;
    FormatAndWrite(level, format, args);
  } catch (...) {
    // The line is lost; tracing never fails toward its caller.
  }
}

void CDebugTrace::FormatAndWrite(DWORD level, const wchar_t* format, std::span<const TraceArg> args) {
  std::size_t newlines = 0;
  while (format[newlines] == L'\n') ++newlines;
  wchar_t prefixes[kPrefixReserve];
  const std::size_t prefixLength = std::min(FormatPrefixes(prefixes, kPrefixReserve), kPrefixReserve - 1);
  const std::size_t head = newlines + prefixLength;
  const wchar_t* message = format + newlines;

  wchar_t stackLine[kLineBuffer];
  wchar_t* line = stackLine;
  std::size_t capacity = kLineBuffer;
  std::unique_ptr<wchar_t[]> heapLine;
  const std::size_t messageLength =
      head < capacity ? FormatTraceText(line + head, capacity - head, message, args) : FormatTraceText(nullptr, 0, message, args);
  if (head + messageLength >= capacity) {
    capacity = newlines + messageLength + kPrefixReserve;
    heapLine.reset(new (std::nothrow) wchar_t[capacity]);
    if (!heapLine) {
      WriteLine(level, kAllocationFailed);
      return;
    }
    if (head + messageLength >= capacity) {
      WriteLine(level, kBufferTooSmall);
      return;
    }
    line = heapLine.get();
    FormatTraceText(line + head, capacity - head, message, args);
  }
  std::fill_n(line, newlines, L'\n');
  std::copy_n(prefixes, prefixLength, line + newlines);
  WriteLine(level, std::wstring_view(line, head + messageLength));
}

std::size_t CDebugTrace::FormatPrefixes(wchar_t* buffer, std::size_t capacity) const {
  std::size_t length = 0;
  SYSTEMTIME now{};
  if (m_dateStampOn || m_timeStampOn) GetLocalTime(&now);
  if (m_dateStampOn) length = AppendFormatted(buffer, capacity, length, L"[%02u-%02u-%02u] ", now.wYear, now.wMonth, now.wDay);
  if (m_timeStampOn) {
    length = AppendFormatted(buffer, capacity, length, L"[%02u:%02u:%02u.%03u] ", now.wHour, now.wMinute, now.wSecond,
                             now.wMilliseconds);
  }
  if (m_threadIdOn) length = AppendFormatted(buffer, capacity, length, L"(%06u) ", GetCurrentThreadId());
  DWORD processor = 0;
  if (m_cpuIdOn && ProcessorNumber(processor)) length = AppendFormatted(buffer, capacity, length, L"#%02u ", processor);
  ULONGLONG privateKb = 0;
  ULONGLONG workingSetKb = 0;
  if (m_memUsageOn && MemoryUsage(privateKb, workingSetKb)) {
    length = AppendFormatted(buffer, capacity, length, L"{PB %05ukB, MU %05ukB} ", privateKb, workingSetKb);
  }
  DWORD handles = 0;
  if (m_handleCountOn && GetProcessHandleCount(GetCurrentProcess(), &handles)) {
    length = AppendFormatted(buffer, capacity, length, L"{%03u H} ", handles);
  }
  if (m_appNameOn) {
    const std::size_t nameAt = length;
    length = AppendFormatted(buffer, capacity, length, L"%-13s  ", m_applicationName);
    const std::size_t colonAt = nameAt + m_applicationName.size();
    if (colonAt < std::min(length, capacity - 1)) buffer[colonAt] = L':';
  }
  return length;
}

bool CDebugTrace::ProcessorNumber(DWORD& number) const {
  if (m_getActiveProcessorGroupCount && m_getActiveProcessorCount && m_getCurrentProcessorNumberEx) {
    PROCESSOR_NUMBER current{};
    m_getCurrentProcessorNumberEx(&current);
    const WORD groups = m_getActiveProcessorGroupCount();
    if (current.Group >= groups) return false;
    number = current.Number;
    for (WORD group = 0; group < current.Group; ++group) number += m_getActiveProcessorCount(group);
    return true;
  }
  number = m_getCurrentProcessorNumber ? m_getCurrentProcessorNumber() : 0;
  return true;
}

bool CDebugTrace::MemoryUsage(ULONGLONG& privateKb, ULONGLONG& workingSetKb) const {
  if (!m_getProcessMemoryInfo) return false;
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (!m_getProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return false;
  if (counters.cb >= kExtendedCountersSize) {
    privateKb = counters.PrivateUsage >> 10;
    workingSetKb = counters.WorkingSetSize >> 10;
    return true;
  }
  if (counters.cb >= kBasicCountersSize) {
    privateKb = counters.PagefileUsage >> 10;
    workingSetKb = 0;
    return true;
  }
  return false;
}

void CDebugTrace::WriteLine(DWORD level, std::wstring_view line) {
  if (level <= m_fileLevel && !m_appendFile.Path().empty()) {
    if (m_memoryMapped) m_ringFile.Write(m_appendFile.Path(), m_fileLimit, line);
    else m_appendFile.Write(line);
  }
  if (level <= m_conLevel && m_console != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteConsoleW(m_console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  if (level <= m_winLevel) fw::diag::WriteToDebugger(line);
}

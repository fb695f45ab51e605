// The process-wide trace: registry-configured output to a trace file (appended or a
// memory-mapped ring), a console and the debugger, each with its own maximum level.
//
//   DBG_TRACE(2, L"\n%-20s: Starting SNMP agent...", name);
//
// A disabled trace costs one byte comparison and builds no arguments.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "file_debug.h"
#include "mapped_file_debug.h"
#include "trace_format.h"
#include "trace_settings.h"

class CDebugTrace {
 public:
  // Reads "SOFTWARE\Debug" with an empty application name.
  CDebugTrace();
  // Reads its settings below another key, so that a second instance can be configured apart.
  explicit CDebugTrace(std::wstring_view settingsKey);
  ~CDebugTrace();
  CDebugTrace(const CDebugTrace&) = delete;
  CDebugTrace& operator=(const CDebugTrace&) = delete;

  // True when some output is configured or dynamic update is on: test it before Trace.
  bool IsActive() const noexcept { return m_active.load(std::memory_order_relaxed); }

  // Stores the name (at most 47 characters), reads the settings and, when active, writes
  // the start banner if asked to; the close banner then follows at destruction.
  void Initialize(const wchar_t* applicationName, bool banner) noexcept;
  void ReadSettings() noexcept;

  // Never changes the caller's last error and never fails toward the caller.
  template <class... Args>
  void Trace(DWORD level, const wchar_t* format, const Args&... args) noexcept {
    const fw::diag::TraceArg argv[sizeof...(Args) + 1] = {fw::diag::TraceArg(args)...};
    TraceArgs(level, format, std::span<const fw::diag::TraceArg>(argv, sizeof...(Args)));
  }
  void TraceArgs(DWORD level, const wchar_t* format, std::span<const fw::diag::TraceArg> args) noexcept;

  static constexpr std::size_t kMaxApplicationName = 47;
  static constexpr std::size_t kLineBuffer = 512;
  static constexpr std::size_t kPrefixReserve = 256;

 private:
  using GetProcessMemoryInfoFn = BOOL(WINAPI*)(HANDLE, void*, DWORD);
  using GetTickCount64Fn = ULONGLONG(WINAPI*)();
  using GetActiveProcessorGroupCountFn = WORD(WINAPI*)();
  using GetActiveProcessorCountFn = DWORD(WINAPI*)(WORD);
  using GetCurrentProcessorNumberExFn = void(WINAPI*)(PROCESSOR_NUMBER*);
  using GetCurrentProcessorNumberFn = DWORD(WINAPI*)();

  void LookUpKernelFunctions();
  void ReadSettingsLocked();
  bool ApplyFileSettings(const fw::diag::TraceSettings& settings);
  void ApplyConsoleLevel(DWORD level);
  void CheckDynamicUpdate();
  ULONGLONG NowSeconds() const;
  void WriteBanner(const wchar_t* event);
  void FormatAndWrite(DWORD level, const wchar_t* format, std::span<const fw::diag::TraceArg> args);
  std::size_t FormatPrefixes(wchar_t* buffer, std::size_t capacity) const;
  bool ProcessorNumber(DWORD& number) const;
  bool MemoryUsage(ULONGLONG& privateKb, ULONGLONG& workingSetKb) const;
  void WriteLine(DWORD level, std::wstring_view line);

  std::mutex m_lock;  // one writer at a time: the ring offsets and the settings are shared
  std::wstring m_settingsKey;

  // file output
  DWORD m_fileLevel = 0;
  ULONGLONG m_fileLimit = fw::diag::kDefaultTraceFileLimit;
  bool m_memoryMapped = false;
  fw::diag::CFileDebug m_appendFile;
  fw::diag::CMappedFileDebug m_ringFile;

  // console output
  DWORD m_conLevel = 0;
  HANDLE m_console = INVALID_HANDLE_VALUE;

  // debugger output
  DWORD m_winLevel = 0;

  HMODULE m_psapi = nullptr;
  GetProcessMemoryInfoFn m_getProcessMemoryInfo = nullptr;
  GetTickCount64Fn m_getTickCount64 = nullptr;
  GetActiveProcessorGroupCountFn m_getActiveProcessorGroupCount = nullptr;
  GetActiveProcessorCountFn m_getActiveProcessorCount = nullptr;
  GetCurrentProcessorNumberExFn m_getCurrentProcessorNumberEx = nullptr;
  GetCurrentProcessorNumberFn m_getCurrentProcessorNumber = nullptr;

  std::wstring m_applicationName;
  bool m_banner = false;

  bool m_timeStampOn = false;
  bool m_dateStampOn = false;
  bool m_threadIdOn = false;
  bool m_cpuIdOn = false;
  bool m_appNameOn = false;
  bool m_memUsageOn = false;
  bool m_handleCountOn = false;

  bool m_traceEnabled = false;
  DWORD m_dynamicUpdate = 0;
  ULONGLONG m_lastRead = 0;

  std::atomic<bool> m_active{false};
};

// Constructed during static initialisation; inactive until then, so early callers skip.
extern CDebugTrace g_DebugTrace;

#define DBG_TRACE_ACTIVE() (g_DebugTrace.IsActive())

#define DBG_TRACE(level, ...)                                       \
  do {                                                              \
    if (g_DebugTrace.IsActive()) g_DebugTrace.Trace(level, __VA_ARGS__); \
  } while (0)

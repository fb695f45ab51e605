// One Windows thread, owned: started with a name for the trace, waited for with a time-out,
// terminated only as a last resort, its handle closed on destruction.
#pragma once

#include <windows.h>

#include <cstddef>

#include "win32_handle.h"

using ThreadFunction = unsigned(__stdcall*)(void*);

class CThread {
 public:
  CThread() = default;
  ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // The base (at most 62 characters) followed by the suffix when both stay under 64
  // characters; false, and no change, for an empty base.
  bool SetName(const wchar_t* base, const wchar_t* suffix = nullptr);
  const wchar_t* GetName() const { return m_pszName ? m_pszName : L"???"; }

  // stackSize 0: the default; priority 0: left as it is.
  bool Start(ThreadFunction function, void* parameter, int priority = 0, bool startSuspended = false,
             unsigned stackSize = 0);
  // True when there is no thread, it has ended, or it ends within timeoutMs.
  bool WaitForTermination(DWORD timeoutMs);
  // Terminates a still running thread, then closes the handle; false only when
  // TerminateThread fails.
  bool Kill(DWORD exitCode);
  bool Close();

  HANDLE GetHandle() const { return m_hThread.Get(); }
  DWORD GetThreadId() const { return m_dwThreadId; }

  // Whether destruction may terminate a thread that does not end within 5 seconds.
  bool bTerminateThread = false;

  static constexpr std::size_t kMaxBaseName = 62;
  static constexpr std::size_t kMaxName = 63;
  static constexpr DWORD kDestroyGraceMs = 10;
  static constexpr DWORD kDestroyWaitMs = 5000;

 private:
  bool IsStillActive() const;

  CKernelHandle m_hThread;
  wchar_t* m_pszName = nullptr;
  DWORD m_dwThreadId = 0;
};

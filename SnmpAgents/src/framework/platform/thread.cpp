#include "thread.h"

#include <process.h>

#include <algorithm>
#include <cwchar>
#include <new>

#include "debug_trace.h"

CThread::~CThread() {
  DBG_TRACE(5, L"\nCThread             : Destructor - name=\"%s\" (bTerminateThread=%d)", GetName(), bTerminateThread);
  if (m_hThread) {
    WaitForSingleObject(m_hThread.Get(), kDestroyGraceMs);
    if (bTerminateThread && !WaitForTermination(kDestroyWaitMs)) Kill(0);
  }
  Close();
  delete[] m_pszName;
}

bool CThread::SetName(const wchar_t* base, const wchar_t* suffix) {
  if (!base || !*base) return false;
  const std::size_t baseLength = std::min(std::wcslen(base), kMaxBaseName);
  const std::size_t suffixLength = suffix ? std::wcslen(suffix) : 0;
  const std::size_t length = baseLength + suffixLength <= kMaxName ? baseLength + suffixLength : baseLength;
  auto* name = new (std::nothrow) wchar_t[length + 1];
  if (!name) return false;
  std::wmemcpy(name, base, baseLength);
  if (length > baseLength) std::wmemcpy(name + baseLength, suffix, suffixLength);
  name[length] = L'\0';
  delete[] m_pszName;
  m_pszName = name;
  return true;
}

bool CThread::Start(ThreadFunction function, void* parameter, int priority, bool startSuspended, unsigned stackSize) {
  DBG_TRACE(4, L"\nCThread             : Starting thread '%s'%s...", GetName(),
            startSuspended ? L" (initially suspended)" : L"");
  if (m_hThread || !function) return false;
  unsigned threadId = 0;
  const uintptr_t handle =
      _beginthreadex(nullptr, stackSize, function, parameter, startSuspended ? CREATE_SUSPENDED : 0, &threadId);
  if (handle == 0) return false;
  m_hThread.Reset(reinterpret_cast<HANDLE>(handle));
  m_dwThreadId = threadId;
  DBG_TRACE(4, L"\nCThread             :   thread created, thread id = %d", m_dwThreadId);
  if (priority != 0 && SetThreadPriority(m_hThread.Get(), priority)) {
    DBG_TRACE(4, L"\nCThread             :   thread priority set to %d", priority);
  }
  return true;
}

bool CThread::IsStillActive() const {
  DWORD exitCode = 0;
  return GetExitCodeThread(m_hThread.Get(), &exitCode) && exitCode == STILL_ACTIVE;
}

bool CThread::WaitForTermination(DWORD timeoutMs) {
  if (!m_hThread) return true;
  DBG_TRACE(4, L"\nCThread             : Waiting for termination of thread \"%s\"", GetName());
  if (!IsStillActive()) return true;
  return WaitForSingleObject(m_hThread.Get(), timeoutMs) == WAIT_OBJECT_0;
}

bool CThread::Kill(DWORD exitCode) {
  if (!m_hThread) return true;
  DBG_TRACE(5, L"\nCThread             : Kill thread \"%s\"", GetName());
  bool killed = true;
  if (IsStillActive() && WaitForSingleObject(m_hThread.Get(), 0) != WAIT_OBJECT_0) {
    killed = TerminateThread(m_hThread.Get(), exitCode) != FALSE;
    if (killed) {
      DBG_TRACE(1, L"\n\nCThread             : ## WARNING! RUNNING THREAD %d (\"%s\") TERMINATED!  ###\n", m_dwThreadId,
                GetName());
    }
  }
  Close();
  return killed;
}

bool CThread::Close() {
  if (!m_hThread) return true;
  DBG_TRACE(4, L"\nCThread             : Closing handle of thread \"%s\"", GetName());
  const bool closed = CloseHandle(m_hThread.Release()) != FALSE;
  m_dwThreadId = 0;
  return closed;
}

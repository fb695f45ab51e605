// Holds the MIB table mutex (a Win32 mutex, so re-entrant for its owner) for a scope.
#pragma once

#include <windows.h>

class CMibTableLock {
 public:
  // A null mutex or a wait that times out leaves the lock not held.
  CMibTableLock(HANDLE mutex, DWORD timeoutMs) : m_mutex(mutex) {
    if (!mutex) return;
    const DWORD wait = WaitForSingleObject(mutex, timeoutMs);
    m_held = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  }
  ~CMibTableLock() { Release(); }
  CMibTableLock(const CMibTableLock&) = delete;
  CMibTableLock& operator=(const CMibTableLock&) = delete;

  bool Held() const { return m_held; }
  void Release() {
    if (m_held) ReleaseMutex(m_mutex);
    m_held = false;
  }

 private:
  HANDLE m_mutex;
  bool m_held = false;
};

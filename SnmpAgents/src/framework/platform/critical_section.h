// A Win32 critical section owned by its object, and the scoped guard that holds it, so
// that an exception never leaves a lock taken. Annotated for clang's lock checks.
#pragma once

#include <windows.h>

#include "thread_annotations.h"

class FW_CAPABILITY("mutex") CCriticalSection {
 public:
  CCriticalSection() { InitializeCriticalSection(&m_section); }
  ~CCriticalSection() { DeleteCriticalSection(&m_section); }
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Enter() FW_ACQUIRE() { EnterCriticalSection(&m_section); }
  void Leave() FW_RELEASE() { LeaveCriticalSection(&m_section); }

 private:
  CRITICAL_SECTION m_section;
};

class FW_SCOPED_CAPABILITY CCriticalSectionLock {
 public:
  explicit CCriticalSectionLock(CCriticalSection& section) FW_ACQUIRE(section) : m_section(section) {
    m_section.Enter();
  }
  ~CCriticalSectionLock() FW_RELEASE() { m_section.Leave(); }
  CCriticalSectionLock(const CCriticalSectionLock&) = delete;
  CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

 private:
  CCriticalSection& m_section;
};

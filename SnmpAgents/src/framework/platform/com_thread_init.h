// Per-thread bookkeeping of CoInitializeEx, so that a thread initialises COM once and
// uninitialises it only when its own call succeeded.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>

class CComThreadInit {
 public:
  // True when COM is usable on the thread (S_OK or S_FALSE), now or from an earlier call.
  bool Init(DWORD threadId, DWORD comFlags);
  // False when Init was not called for the thread.
  bool Uninit(DWORD threadId);

 private:
  std::mutex m_lock;
  std::map<DWORD, HRESULT> m_results;
};

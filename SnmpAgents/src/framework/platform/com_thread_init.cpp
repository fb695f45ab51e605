#include "com_thread_init.h"

#include <objbase.h>

#include "debug_trace.h"

namespace {

bool ComUsable(HRESULT result) { return result == S_OK || result == S_FALSE; }

void TraceInitResult(DWORD threadId, HRESULT result) {
  if (result == S_OK) {
    DBG_TRACE(4, L"\nCComThreadInit      : Thread ID %d: CoInitializeEx OK - was not called before!", threadId);
  } else if (result == S_FALSE) {
    DBG_TRACE(4, L"\nCComThreadInit      : Thread ID %d: CoInitializeEx OK - was already called!", threadId);
  } else if (result == RPC_E_CHANGED_MODE) {
    DBG_TRACE(4, L"\nCComThreadInit      : Thread ID %d: CoInitializeEx FAILED - thread mode could not be changed!",
              threadId);
  }
}

}  // namespace

bool CComThreadInit::Init(DWORD threadId, DWORD comFlags) {
  const std::lock_guard lock(m_lock);
  const auto known = m_results.find(threadId);
  if (known != m_results.end()) {
    DBG_TRACE(4, L"\nCComThreadInit      : Thread ID %d: CoInitializeEx 0x%X - was already called here!", threadId,
              known->second);
    return ComUsable(known->second);
  }
  const HRESULT result = CoInitializeEx(nullptr, comFlags);
  TraceInitResult(threadId, result);
  m_results.emplace(threadId, result);
  return ComUsable(result);
}

bool CComThreadInit::Uninit(DWORD threadId) {
  const std::lock_guard lock(m_lock);
  const auto known = m_results.find(threadId);
  if (known == m_results.end()) return false;
  if (ComUsable(known->second)) CoUninitialize();
  m_results.erase(known);
  return true;
}

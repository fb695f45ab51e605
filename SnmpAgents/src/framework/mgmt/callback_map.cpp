#include "callback_map.h"

#include "debug_trace.h"

namespace {

class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CRITICAL_SECTION& lock) : m_lock(lock) { EnterCriticalSection(&m_lock); }
  ~CriticalSectionGuard() { LeaveCriticalSection(&m_lock); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CRITICAL_SECTION& m_lock;
};

}  // namespace

CCallbackMap::CCallbackMap() { InitializeCriticalSection(&m_lock); }

CCallbackMap::~CCallbackMap() { DeleteCriticalSection(&m_lock); }

void CCallbackMap::Register(TarnEventCallback callback, ULONG_PTR context) {
  if (!callback) return;
  CriticalSectionGuard guard(m_lock);
  m_callbacks[callback] = context;
}

void CCallbackMap::Remove(TarnEventCallback callback) {
  CriticalSectionGuard guard(m_lock);
  m_callbacks.erase(callback);
}

void CCallbackMap::Deliver(Tarn& event) {
  CriticalSectionGuard guard(m_lock);
  for (const auto& [callback, context] : m_callbacks) {
    const auto address = reinterpret_cast<ULONG_PTR>(callback);
    DBG_TRACE(5, L"\nCCallbackMap        : Call notification callback 0x%X .. ", address);
    try {
      callback(event, context);
    } catch (...) {
      DBG_TRACE(1, L"\nCCallbackMap        : ## EXCEPTION in notification callback 0x%X", address);
    }
    DBG_TRACE(5, L"\nCCallbackMap        : .. notification callback 0x%X finished", address);
  }
}

size_t CCallbackMap::Size() {
  CriticalSectionGuard guard(m_lock);
  return m_callbacks.size();
}

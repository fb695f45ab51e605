#include "callback_map.h"

#include "debug_trace.h"

void CCallbackMap::Register(TarnEventCallback callback, ULONG_PTR context) {
  if (!callback) return;
  CCriticalSectionLock guard(m_lock);
  m_callbacks[callback] = context;
}

void CCallbackMap::Remove(TarnEventCallback callback) {
  CCriticalSectionLock guard(m_lock);
  m_callbacks.erase(callback);
}

void CCallbackMap::Deliver(Tarn& event) {
  CCriticalSectionLock guard(m_lock);
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
  CCriticalSectionLock guard(m_lock);
  return m_callbacks.size();
}

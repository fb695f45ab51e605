// Event callbacks of the management client: each is called with every event record
// and the context it was registered with, in key order, under the map's lock.
#pragma once

#include <windows.h>

#include <map>

#include "critical_section.h"

class Tarn;

using TarnEventCallback = void (*)(Tarn& event, ULONG_PTR context);

class CCallbackMap {
 public:
  CCallbackMap() = default;
  CCallbackMap(const CCallbackMap&) = delete;
  CCallbackMap& operator=(const CCallbackMap&) = delete;

  // Stores or replaces the callback's context.
  void Register(TarnEventCallback callback, ULONG_PTR context);
  void Remove(TarnEventCallback callback);
  void Deliver(Tarn& event);
  size_t Size();

 private:
  CCriticalSection m_lock;
  std::map<TarnEventCallback, ULONG_PTR> m_callbacks FW_GUARDED_BY(m_lock);
};

// Internals shared by the synchronisation, thread and wait code of kernel32.
#pragma once
#include <windows.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "handles.h"

namespace winapi {

// Pseudo handles of GetCurrentProcess and GetCurrentThread.
inline HANDLE CurrentProcessPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
inline HANDLE CurrentThreadPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

// A waitable object whose state other processes change, so a wait cannot rely on
// NotifyWaiters and polls it instead. Called with WaitLock() held.
class ExternallyChanged {
 public:
  virtual ~ExternallyChanged() = default;
  virtual bool ChangesOutsideProcess() const = 0;
  // After a wait round that saw the object signalled but did not take it (a wait-all
  // that was not satisfied): give back what IsSignaledFor reserved.
  virtual void ReleaseUnclaimed() {}
};

class MutexObject;

// Mutexes owned by the calling thread; abandoned when the thread ends.
// Both are called with WaitLock() held.
void RecordOwnedMutex(std::shared_ptr<MutexObject> mutex);
void ForgetOwnedMutex(const MutexObject* mutex);
// Abandons every mutex the calling thread still owns (takes WaitLock()).
void AbandonMutexesOfCurrentThread();

// Milliseconds as a deadline on the monotonic clock; nullopt for INFINITE.
using Deadline = std::optional<std::chrono::steady_clock::time_point>;
Deadline DeadlineAfter(DWORD milliseconds);

// The wait behind every wait function. Handles are already validated objects.
DWORD WaitForObjects(const std::vector<ObjectPtr>& objects, bool waitAll, DWORD milliseconds);

// Named objects of the process. Names are case-sensitive; "Global\" and "Local\" name
// the same namespace. The namespace holds no reference: an object's name is free again
// once its last handle is closed.
class ObjectNamespace {
 public:
  // The name as stored, or nullopt with the Win32 error for an invalid name.
  static std::optional<std::wstring> Normalize(LPCWSTR name, DWORD& error);
  static ObjectPtr Find(const std::wstring& name);
  // Stores the object under the name unless a live object has it; returns the object
  // that holds the name afterwards.
  static ObjectPtr FindOrInsert(const std::wstring& name, ObjectPtr object);
};

}  // namespace winapi

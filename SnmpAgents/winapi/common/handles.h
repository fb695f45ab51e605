// The layer's one handle table. Every kernel object (event, mutex, thread, process,
// file, file mapping, registry key, ...) is a KernelObject held by shared_ptr; a
// handle is a table entry that keeps one reference. Handle values are never reused,
// so a stale handle fails with ERROR_INVALID_HANDLE instead of reaching a new object.
#pragma once
#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace winapi {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual const char* TypeName() const = 0;

  // Waitable objects override these. Both are called with WaitLock() held.
  virtual bool IsWaitable() const { return false; }
  virtual bool IsSignaledFor(DWORD /*threadId*/) const { return false; }
  // Consumes the signal for a satisfied wait (auto-reset, mutex ownership). Returns
  // true when the wait is satisfied by abandonment (a mutex whose owner ended).
  virtual bool AcquireFor(DWORD /*threadId*/) { return false; }
  // Called once when the handle that refers to this object is closed.
  virtual void OnHandleClosed() {}
};

using ObjectPtr = std::shared_ptr<KernelObject>;

// Inserts an object and returns its new handle (never null, never INVALID_HANDLE_VALUE).
HANDLE InsertHandle(ObjectPtr object);
// The object behind a handle, or null (last error untouched).
ObjectPtr LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Removes the entry; false when the handle is not in the table.
bool RemoveHandle(HANDLE handle);
// Number of open handles of the process (GetProcessHandleCount).
DWORD HandleCount();

// One lock and condition for every wait of the process: state changes of waitable
// objects happen under WaitLock() and end with NotifyWaiters().
std::mutex& WaitLock();
std::condition_variable& WaitCondition();
void NotifyWaiters();

}  // namespace winapi

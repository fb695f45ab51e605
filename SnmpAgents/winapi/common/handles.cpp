#include "handles.h"

#include <atomic>
#include <unordered_map>

#include "errors.h"

namespace winapi {
namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, ObjectPtr> entries;
  uintptr_t next = 0x100;  // multiples of 4, as Windows hands them out
};

HandleTable& Table() {
  static auto* table = new HandleTable;  // never destroyed: threads may outlive statics
  return *table;
}

}  // namespace

HANDLE InsertHandle(ObjectPtr object) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  const uintptr_t value = table.next;
  table.next += 4;
  table.entries.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

ObjectPtr LookupHandle(HANDLE handle) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
  return it == table.entries.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle) {
  ObjectPtr removed;
  {
    auto& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.entries.end()) return false;
    removed = std::move(it->second);
    table.entries.erase(it);
  }
  // Outside the table lock: closing may signal waiters or join work.
  removed->OnHandleClosed();
  return true;
}

DWORD HandleCount() {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return static_cast<DWORD>(table.entries.size());
}

std::mutex& WaitLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::condition_variable& WaitCondition() {
  static auto* condition = new std::condition_variable;
  return *condition;
}

void NotifyWaiters() { WaitCondition().notify_all(); }

}  // namespace winapi

// CloseHandle: every object kind of the table.
extern "C" WINBASEAPI BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (!winapi::RemoveHandle(hObject)) return winapi::FailWith(ERROR_INVALID_HANDLE);
  return TRUE;
}

// DuplicateHandle: within the current process only.
extern "C" WINBASEAPI BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                                                  HANDLE hTargetProcessHandle, LPHANDLE lpTargetHandle,
                                                  DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/,
                                                  DWORD dwOptions) {
  const HANDLE self = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
  if (hSourceProcessHandle != self || hTargetProcessHandle != self) return winapi::FailWith(ERROR_ACCESS_DENIED);
  auto object = winapi::LookupHandle(hSourceHandle);
  if (!object) return winapi::FailWith(ERROR_INVALID_HANDLE);
  if (lpTargetHandle) *lpTargetHandle = winapi::InsertHandle(object);
  if (dwOptions & DUPLICATE_CLOSE_SOURCE) winapi::RemoveHandle(hSourceHandle);
  return TRUE;
}

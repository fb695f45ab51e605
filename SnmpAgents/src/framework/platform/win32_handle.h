// Owners of Win32 handles: each closes its handle with the handle's own close function
// when it goes, so no path forgets one.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <type_traits>
#include <utility>

template <class Handle, auto Close>
class CUniqueHandle {
 public:
  CUniqueHandle() = default;
  explicit CUniqueHandle(Handle handle) : m_handle(handle) {}
  ~CUniqueHandle() { Reset(); }
  CUniqueHandle(CUniqueHandle&& other) noexcept : m_handle(other.Release()) {}
  CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  CUniqueHandle(const CUniqueHandle&) = delete;
  CUniqueHandle& operator=(const CUniqueHandle&) = delete;

  Handle Get() const { return m_handle; }
  explicit operator bool() const { return IsSet(m_handle); }
  // The address for a call that hands out a handle (the old one is closed first).
  Handle* Out() {
    Reset();
    return &m_handle;
  }
  // Gives the handle up without closing it.
  Handle Release() { return std::exchange(m_handle, Handle{}); }
  void Reset(Handle handle = Handle{}) {
    const Handle old = std::exchange(m_handle, handle);
    if (IsSet(old)) Close(old);
  }

 private:
  static bool IsSet(Handle handle) {
    if constexpr (std::is_same_v<Handle, HANDLE>) return handle && handle != INVALID_HANDLE_VALUE;
    else return handle != Handle{};
  }

  Handle m_handle{};
};

// Kernel objects: events, mutexes, files, mappings, threads, processes.
using CKernelHandle = CUniqueHandle<HANDLE, &CloseHandle>;
// Registry keys.
using CRegistryKey = CUniqueHandle<HKEY, &RegCloseKey>;
// Service control manager handles.
using CServiceHandle = CUniqueHandle<SC_HANDLE, &CloseServiceHandle>;

// Small helpers shared by the core conformance tests.
#pragma once
#include <windows.h>

#include <chrono>

namespace core_testing {

// Closes the handle it holds.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void Reset() {
    if (*this) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The wait results as DWORD, so that comparisons never mix signedness.
inline constexpr DWORD kSignaled = WAIT_OBJECT_0;
inline constexpr DWORD kAbandoned = WAIT_ABANDONED_0;
inline constexpr DWORD kTimeout = WAIT_TIMEOUT;
inline constexpr DWORD kFailed = WAIT_FAILED;

inline long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Runs a callable on a Win32 thread and returns its handle.
template <class F>
HANDLE StartThread(F* function, DWORD flags = 0, DWORD* id = nullptr) {
  return CreateThread(
      nullptr, 0, [](LPVOID p) -> DWORD { return (*static_cast<F*>(p))(); }, function, flags, id);
}

}  // namespace core_testing

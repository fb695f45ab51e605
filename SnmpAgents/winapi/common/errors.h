// The one place where internal failures become Win32 error codes.
#pragma once
#include <windows.h>

#include <utility>

namespace winapi {

// Win32 error code for a POSIX errno value.
DWORD Win32ErrorFromErrno(int error);

// Sets the last error and returns FALSE, for `return FailWith(...)` in BOOL functions.
BOOL FailWith(DWORD error);
// Sets the last error from errno and returns FALSE.
BOOL FailWithErrno();

// The Win32 error for the exception being handled: ERROR_NOT_ENOUGH_MEMORY for a lack of
// memory, the errno mapping for a system_error, ERROR_GEN_FAILURE for anything else.
// Only valid inside a catch block.
DWORD Win32ErrorFromCurrentException() noexcept;
// The same as an HRESULT: E_OUTOFMEMORY, HRESULT_FROM_WIN32 of a system_error, E_FAIL.
HRESULT HResultFromCurrentException() noexcept;

// Runs the body of an export so that no exception reaches the C caller. Each form turns
// an exception into the failure of its result kind.

// LSTATUS and the other functions that return the error itself (DWORD, NET_API_STATUS).
template <class Status = LSTATUS, class Fn>
Status GuardedStatus(Fn&& fn) noexcept {
  try {
    return static_cast<Status>(std::forward<Fn>(fn)());
  } catch (...) {
    return static_cast<Status>(Win32ErrorFromCurrentException());
  }
}

// Functions that return a failure value and set the last error: a handle, a count, a state.
template <class Result, class Fn>
Result GuardedLastError(Result failure, Fn&& fn) noexcept {
  try {
    return static_cast<Result>(std::forward<Fn>(fn)());
  } catch (...) {
    FailWith(Win32ErrorFromCurrentException());
    return failure;
  }
}

// BOOL with the last error.
template <class Fn>
BOOL GuardedBool(Fn&& fn) noexcept {
  return GuardedLastError<BOOL>(FALSE, std::forward<Fn>(fn));
}

// A handle that is NULL on failure (pass INVALID_HANDLE_VALUE for the functions that use it).
template <class Handle = HANDLE, class Fn>
Handle GuardedHandle(Fn&& fn, Handle failure = nullptr) noexcept {
  return GuardedLastError<Handle>(failure, std::forward<Fn>(fn));
}

// HRESULT.
template <class Fn>
HRESULT GuardedHResult(Fn&& fn) noexcept {
  try {
    return static_cast<HRESULT>(std::forward<Fn>(fn)());
  } catch (...) {
    return HResultFromCurrentException();
  }
}

}  // namespace winapi

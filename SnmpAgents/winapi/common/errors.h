// The one place where internal failures become Win32 error codes.
#pragma once
#include <windows.h>

namespace winapi {

// Win32 error code for a POSIX errno value.
DWORD Win32ErrorFromErrno(int error);

// Sets the last error and returns FALSE, for `return FailWith(...)` in BOOL functions.
BOOL FailWith(DWORD error);
// Sets the last error from errno and returns FALSE.
BOOL FailWithErrno();

}  // namespace winapi

// The system's message table: Win32 error texts as Windows words them.
#pragma once
#include <windows.h>

namespace winapi {

// The text of a Win32 error code (or of an HRESULT of FACILITY_WIN32), ending in
// "\r\n"; null when the code has none.
const wchar_t* SystemErrorText(DWORD code);

}  // namespace winapi

// The Win32 subset the system calls, for POSIX. Mirrors what <windows.h> gives a
// WIN32_LEAN_AND_MEAN build on Windows; other areas have their own headers (winsvc.h,
// psapi.h, objbase.h, snmp.h, ...), as on Windows.
#pragma once
#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winnls.h"
#include "wincon.h"
#include "winver.h"
#include "winreg.h"

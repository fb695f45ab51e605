// kernel32 and advapi32 base services: the area headers, then what winbase.h itself
// declares on Windows (profile files, message formatting, local memory, ...).
#pragma once
#include "windef.h"
#include "winerror.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "synchapi.h"
#include "processthreadsapi.h"
#include "sysinfoapi.h"
#include "fileapi.h"
#include "memoryapi.h"
#include "libloaderapi.h"
#include "debugapi.h"
#include "processenv.h"
#include "securitybaseapi.h"

WINAPI_BEGIN_DECLS
WINAPI_END_DECLS

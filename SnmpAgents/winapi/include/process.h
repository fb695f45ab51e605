// Thread start and end with the C runtime's signature; the result of _beginthreadex
// is a thread handle usable with the wait functions and CloseHandle.
#pragma once
#include "processthreadsapi.h"

#include <stdint.h>

typedef unsigned(__stdcall* _beginthreadex_proc_type)(void*);

WINAPI_BEGIN_DECLS
// 0 on failure, with errno set.
WINAPI_EXPORT uintptr_t __cdecl _beginthreadex(void* _Security, unsigned _StackSize,
                                               _beginthreadex_proc_type _StartAddress, void* _ArgList,
                                               unsigned _InitFlag, unsigned* _ThrdAddr);
WINAPI_EXPORT DECLSPEC_NORETURN void __cdecl _endthreadex(unsigned _Retval);
WINAPI_END_DECLS

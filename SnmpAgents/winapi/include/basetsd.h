// Fixed-size and pointer-size integer types of LLP64 Windows.
#pragma once
#include <stddef.h>
#include <stdint.h>

typedef int32_t INT32, *PINT32;
typedef uint32_t UINT32, *PUINT32;
typedef int64_t INT64, *PINT64;
typedef uint64_t UINT64, *PUINT64;
typedef int32_t LONG32, *PLONG32;
typedef uint32_t ULONG32, *PULONG32, DWORD32, *PDWORD32;
typedef int64_t LONG64, *PLONG64;
typedef uint64_t ULONG64, *PULONG64, DWORD64, *PDWORD64;

typedef intptr_t INT_PTR, *PINT_PTR;
typedef uintptr_t UINT_PTR, *PUINT_PTR;
typedef intptr_t LONG_PTR, *PLONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef ULONG_PTR DWORD_PTR, *PDWORD_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef LONG_PTR SSIZE_T, *PSSIZE_T;
typedef ULONG_PTR KAFFINITY;

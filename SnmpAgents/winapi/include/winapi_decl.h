// Declaration helpers shared by every header of the Win32 layer.
#pragma once

#ifdef __cplusplus
#define WINAPI_BEGIN_DECLS extern "C" {
#define WINAPI_END_DECLS }
#else
#define WINAPI_BEGIN_DECLS
#define WINAPI_END_DECLS
#endif

// Every function of the layer is exported from libwinapi.so with C linkage, so that
// GetProcAddress finds it by its Windows name.
#define WINAPI_EXPORT __attribute__((visibility("default")))

#define WINBASEAPI WINAPI_EXPORT
#define WINADVAPI WINAPI_EXPORT
#define WINUSERAPI WINAPI_EXPORT
#define NTSYSAPI WINAPI_EXPORT
#define WINOLEAPI_EXPORT WINAPI_EXPORT
#define DECLSPEC_IMPORT
#define DECLSPEC_NORETURN __attribute__((noreturn))

// Calling conventions are meaningless on x86-64 System V; keep the names for the sources.
#define WINAPI
#define WINAPIV
#define APIENTRY
#define CALLBACK
#define NTAPI
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define __cdecl
#define __stdcall

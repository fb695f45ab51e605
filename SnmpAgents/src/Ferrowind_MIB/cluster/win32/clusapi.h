// The toolchain's clusapi.h declares some enumerations twice when _WIN32_WINNT is 0x0600
// or later; it is read with the version lowered for this one header.
#pragma once
#pragma push_macro("_WIN32_WINNT")
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0502
#include_next <clusapi.h>
#pragma pop_macro("_WIN32_WINNT")

#include "dynamic_library_module.h"

#include "debug_trace.h"

namespace {

INIT_ONCE g_searchPathOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK RestrictDllSearchPath(PINIT_ONCE, PVOID, PVOID*) {
  if (!SetDefaultDllDirectories(DynamicLibraryModule::kSafeDllDirectories)) {
    DBG_TRACE(1, L"\nDynamicLibraryModule::loadLibrary: WARNING! Could not set secure DLL load dirs!");
  }
  return TRUE;
}

}  // namespace

HMODULE DynamicLibraryModule::loadLibrary(const wchar_t* path, DWORD flags) {
  if (!path) return nullptr;
  DBG_TRACE(3, L"\nDynamicLibraryModule::loadLibrary - Start loading '%s' (flags = %u) ...", path, flags);
  InitOnceExecuteOnce(&g_searchPathOnce, RestrictDllSearchPath, nullptr, nullptr);
  const HMODULE module = LoadLibraryExW(path, nullptr, flags);
  if (module) {
    DBG_TRACE(2, L"\nDynamicLibraryModule::loadLibrary - '%s' loaded OK!", path);
  } else {
    DBG_TRACE(1, L"\nDynamicLibraryModule::loadLibrary - '%s' FAILED!", path);
  }
  return module;
}

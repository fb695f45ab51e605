// Loading of libraries from the safe directories only (application, user and System32),
// and an owner that frees what it loaded.
#pragma once

#include <windows.h>

class DynamicLibraryModule {
 public:
  DynamicLibraryModule(const wchar_t* path, DWORD flags = 0) : m_module(loadLibrary(path, flags)) {}
  ~DynamicLibraryModule() {
    if (m_module) FreeLibrary(m_module);
  }
  DynamicLibraryModule(const DynamicLibraryModule&) = delete;
  DynamicLibraryModule& operator=(const DynamicLibraryModule&) = delete;

  HMODULE get() const { return m_module; }
  explicit operator bool() const { return m_module != nullptr; }

  // Null when the module or the export is missing.
  template <class Function>
  Function getProc(const char* name) const {
    if (!m_module) return nullptr;
    // Through void*: FARPROC carries no signature of its own.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
  }

  // Null for a null path or a failed load; the first call restricts the DLL search path.
  static HMODULE loadLibrary(const wchar_t* path, DWORD flags);

  // Application directory, user directories and System32. The DLL-load-directory bit
  // is for LoadLibraryExW only; SetDefaultDllDirectories refuses it and would leave the
  // search path unrestricted.
  static constexpr DWORD kSafeDllDirectories =
      LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32;

 private:
  HMODULE m_module;
};

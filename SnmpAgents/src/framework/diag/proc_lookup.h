// Typed lookup of an optional export: null when the module or the export is missing.
#pragma once

#include <windows.h>

namespace fw::diag {

template <class Function>
Function LookupProc(HMODULE module, const char* name) {
  if (!module) return nullptr;
  // Through void*: FARPROC carries no signature of its own.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace fw::diag

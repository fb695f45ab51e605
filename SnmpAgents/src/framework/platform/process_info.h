// The name of a process, by its id.
#pragma once

#include <windows.h>

#include <string>

class CProcess {
 public:
  // The base name of the main module; for a process that cannot be opened, the well-known
  // name of the system processes by operating-system version.
  static bool GetName(DWORD processId, std::wstring& name);

 private:
  static bool GetWellKnownName(DWORD processId, std::wstring& name);
};

// Whether a Windows service is installed, through the service control manager of the
// local machine: an installed but stopped service counts.
#pragma once

#include <windows.h>

class CServiceMgr {
 public:
  bool IsServiceInstalled(const wchar_t* serviceName);
};

// Turning one privilege of an access token on or off.
#pragma once

#include <windows.h>

class CTokenPrivileges {
 public:
  // Success needs the adjustment to have applied (ERROR_NOT_ALL_ASSIGNED is a failure).
  // wasEnabled, when given, tells whether the privilege was on before.
  static bool SetPrivilege(HANDLE token, const wchar_t* privilege, bool enable, bool* wasEnabled = nullptr);

 private:
  static bool IsEnabledNow(HANDLE token, const LUID& luid, bool& enabled);
};

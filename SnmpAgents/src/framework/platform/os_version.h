// The real operating-system version: GetVersionExW, corrected from kernel32's file version
// where Windows reports a compatibility version instead.
#pragma once

#include <windows.h>

class COSVersion {
 public:
  // Whether GetVersionExW succeeded.
  static bool Get(OSVERSIONINFOEXW& version);
};

// A copy of a file's version resource, read with GetFileVersionInfoW.
#pragma once

#include <windows.h>

#include "version_resource.h"

class CFileVersionInfo : public CVersionResource {
 public:
  // A file under the system directory that is not found there is looked for under the
  // WOW64 system directory as well.
  bool Load(const wchar_t* path);

 private:
  bool LoadFrom(const std::wstring& path, DWORD& error);
};

#include "service_paths.h"

#include <windows.h>
#include <winapi_ext.h>

#include "utf8_text.h"

namespace mgtcore {

std::string PidFile() {
  wchar_t path[4096] = {};
  const DWORD length = WinapiServicePidFile(L"MgtCore", path, 4096);
  return length && length < 4096 ? Utf8FromWide(path) : std::string();
}

std::string DefaultSocket() {
  const std::string pidFile = PidFile();
  return pidFile.substr(0, pidFile.rfind('.')) + ".sock";
}

}  // namespace mgtcore

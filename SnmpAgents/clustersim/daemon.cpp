#include "daemon.h"

#include <windows.h>
#include <winapi_ext.h>
#include <winsvc.h>

#include <unistd.h>

#include <cstdio>

#include "cluster_protocol.h"
#include "control_protocol.h"
#include "wide_text.h"

namespace clustersim {

namespace {
constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\ClusSvc";
}

bool RegisterClusterService(const std::string& image, std::string& error) {
  HKEY key = nullptr;
  const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                         nullptr);
  if (status != ERROR_SUCCESS) {
    error = "cannot create the service key HKLM\\SYSTEM\\CurrentControlSet\\Services\\ClusSvc (error " +
            std::to_string(status) + "): check WINAPI_REGISTRY";
    return false;
  }
  const DWORD type = SERVICE_WIN32_OWN_PROCESS, start = 2;
  const std::wstring path = winapi::WideFromUtf8(image);
  const std::wstring display = L"Cluster Service";
  RegSetValueExW(key, L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
  RegSetValueExW(key, L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&start), sizeof start);
  RegSetValueExW(key, L"ImagePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                 static_cast<DWORD>((path.size() + 1) * sizeof(WCHAR)));
  RegSetValueExW(key, L"DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>(display.c_str()),
                 static_cast<DWORD>((display.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
  return true;
}

std::string ClusterServicePidFile() {
  WCHAR path[4096];
  const DWORD length = WinapiServicePidFile(L"ClusSvc", path, 4096);
  return length && length < 4096 ? winapi::Utf8FromWide(path) : std::string();
}

std::string SelfPath(const char* argv0) {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string(argv0);
}

const char kSocketOptionsHelp[] =
    "  --socket PATH     the Cluster API socket (default $WINAPI_CLUSTER_SOCKET or <state>/run/clussvc.sock)\n"
    "  --control PATH    the clussim socket (default $CLUSSIM_CONTROL_SOCKET or <state>/run/clussim.sock)\n";

std::optional<int> DaemonCommandLine::Parse(ServerOptions& options, void (*usage)(),
                                            const std::function<Own(DaemonCommandLine&)>& own) {
  options.serviceSocket = winapi::cluster::ServiceSocketPath();
  options.controlSocket = DefaultControlSocket();
  for (index_ = 1; index_ < argc_; ++index_) {
    argument_ = argv_[index_];
    const Own mine = own(*this);
    if (mine == Own::Stop) return std::nullopt;
    if (mine == Own::Taken) continue;
    if (argument_ == "--socket" && HasValue()) options.serviceSocket = TakeValue();
    else if (argument_ == "--control" && HasValue()) options.controlSocket = TakeValue();
    else if (argument_ == "--help" || argument_ == "-h") {
      usage();
      return 0;
    } else {
      std::fprintf(stderr, "%s: unknown argument \"%s\"\n", options.name.c_str(), argument_.c_str());
      usage();
      return 2;
    }
  }
  return std::nullopt;
}

}  // namespace clustersim

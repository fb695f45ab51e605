// clussimd: the cluster service "ClusSvc" for Linux, a simulated cluster loaded from a
// scenario file and served to the Cluster API of the Win32 layer.
#include <windows.h>
#include <winapi_ext.h>
#include <winsvc.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cluster_protocol.h"
#include "paths.h"
#include "service.h"
#include "wide_text.h"

namespace {

constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\ClusSvc";

void Usage() {
  std::fprintf(stderr,
               "usage: clussimd --scenario FILE [--socket PATH] [--control PATH]\n"
               "  --scenario FILE   the cluster to simulate (JSON, see README.md)\n"
               "  --socket PATH     the Cluster API socket (default $WINAPI_CLUSTER_SOCKET or <state>/run/clussvc.sock)\n"
               "  --control PATH    the clussim socket (default $CLUSSIM_CONTROL_SOCKET or <state>/run/clussim.sock)\n");
}

// Installs the service key, so that the service control manager knows "ClusSvc".
bool RegisterService(const std::string& image, std::string& error) {
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

std::string PidFile() {
  WCHAR path[4096];
  const DWORD length = WinapiServicePidFile(L"ClusSvc", path, 4096);
  return length && length < 4096 ? winapi::Utf8FromWide(path) : std::string();
}

std::string SelfPath(const char* argv0) {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string(argv0);
}

}  // namespace

int main(int argc, char** argv) {
  clustersim::ServerOptions options;
  options.serviceSocket = winapi::cluster::ServiceSocketPath();
  const char* control = std::getenv("CLUSSIM_CONTROL_SOCKET");
  options.controlSocket = control && *control ? control : winapi::StateDir() + "/run/clussim.sock";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--scenario" && hasValue) options.scenario = argv[++i];
    else if (arg == "--socket" && hasValue) options.serviceSocket = argv[++i];
    else if (arg == "--control" && hasValue) options.controlSocket = argv[++i];
    else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "clussimd: unknown argument \"%s\"\n", arg.c_str());
      Usage();
      return 2;
    }
  }
  if (options.scenario.empty()) {
    std::fprintf(stderr, "clussimd: no scenario: give --scenario FILE\n");
    Usage();
    return 2;
  }
  std::string error;
  if (!RegisterService(SelfPath(argv[0]), error)) {
    std::fprintf(stderr, "clussimd: %s\n", error.c_str());
    return 1;
  }
  options.pidFile = PidFile();
  clustersim::Server server(options);
  if (!server.Start(error)) {
    std::fprintf(stderr, "clussimd: %s\n", error.c_str());
    return 1;
  }
  return server.Run();
}

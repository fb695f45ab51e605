// mgtcore: the management service "MgtCore" as a daemon. Registers its service key and
// its COM class RELAY, serves clients over the layer's COM transport, logs every request
// and event to stderr, and stops cleanly on SIGTERM or SIGINT.
#include <windows.h>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "management_settings.h"
#include "relay_client.h"
#include "relay_server.h"
#include "service_paths.h"

namespace {

constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\MgtCore";

struct Options {
  std::string config;
  std::string socket;
};

int Usage() {
  std::fprintf(stderr,
               "usage: mgtcore [--config FILE] [--socket PATH]\n"
               "  --config FILE  JSON: {\"ServerCabinetNumber\": N, \"Settings\": {\"Trap2EventLog\": 4, ...},\n"
               "                 \"Values\": [{\"OE\": N, \"OI\": N, \"CA\": N, \"DA\": VALUE, \"ST\": 0, \"WriteST\": 0}]}\n"
               "                 written values are saved back to FILE\n"
               "  --socket PATH  socket of the RELAY class (default <state>/run/MgtCore.sock)\n");
  return 2;
}

bool SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LSTATUS status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

bool SetDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LSTATUS status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}


std::string ExecutablePath() {
  char path[4096] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string("mgtcore");
}

bool Register(const std::string& socket) {
  const std::wstring exe = WideFromUtf8(ExecutablePath());
  wchar_t clsid[40] = {};
  StringFromGUID2(CLSID_RelayServer, clsid, 40);
  const std::wstring classKey = std::wstring(L"SOFTWARE\\Classes\\CLSID\\") + clsid;
  return SetString(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath", exe) &&
         SetString(HKEY_LOCAL_MACHINE, kServiceKey, L"DisplayName", L"Management service (MgtCore)") &&
         SetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Type", 0x10) &&
         SetString(HKEY_LOCAL_MACHINE, classKey, L"", L"RELAY") &&
         SetString(HKEY_LOCAL_MACHINE, classKey + L"\\LocalServer32", L"", exe) &&
         SetString(HKEY_LOCAL_MACHINE, classKey + L"\\LocalServer32", L"Socket", WideFromUtf8(socket));
}

bool WritePidFile(const std::string& path) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::trunc);
    if (!(file << getpid() << "\n")) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--config" || arg == "--socket") && i + 1 < argc) {
      (arg == "--config" ? options.config : options.socket) = argv[++i];
    } else {
      return Usage();
    }
  }
  mgtcore::ServiceState state;
  std::string problem;
  if (!mgtcore::LoadConfig(options.config, state, problem)) {
    std::fprintf(stderr, "mgtcore: %s\n", problem.c_str());
    return 2;
  }
  const std::string pidFile = mgtcore::PidFile();
  if (options.socket.empty()) options.socket = mgtcore::DefaultSocket();

  // Signals are taken by sigwait below; every thread started later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  if (!Register(options.socket)) {
    std::fprintf(stderr, "mgtcore: cannot write the service and class registration to the registry\n");
    return 1;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  mgtcore::RelayService service(state, options.config);
  mgtcore::RelayFactory factory(service);
  DWORD registration = 0;
  const HRESULT hr = CoRegisterClassObject(CLSID_RelayServer, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &registration);
  if (FAILED(hr)) {
    std::fprintf(stderr, "mgtcore: cannot serve RELAY on %s (0x%08X)%s\n", options.socket.c_str(), static_cast<unsigned>(hr),
                 hr == CO_E_OBJISREG ? ": another mgtcore is running there" : "");
    return 1;
  }
  if (!WritePidFile(pidFile)) {
    std::fprintf(stderr, "mgtcore: cannot write the pid file %s: %s\n", pidFile.c_str(), std::strerror(errno));
    CoRevokeClassObject(registration);
    return 1;
  }
  mgtcore::Log("started, pid " + std::to_string(getpid()) + ", socket " + options.socket + ", cabinet " +
               std::to_string(state.cabinetNumber));
  int signal = 0;
  sigwait(&stopSignals, &signal);
  mgtcore::Log(std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "SIGHUP"));
  service.Shutdown();
  CoRevokeClassObject(registration);
  std::remove(pidFile.c_str());
  CoUninitialize();
  mgtcore::Log("stopped, " + std::to_string(service.RequestCount()) + " requests served");
  return 0;
}

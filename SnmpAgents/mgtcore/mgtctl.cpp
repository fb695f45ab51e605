// mgtctl: drives a running mgtcore for operators and fault tests.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "relay_client.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: mgtctl COMMAND\n"
               "  set NAME VALUE [--cmd]   change a setting and fire its OC 0xE002 event\n"
               "                           (ShutdownIsAllowed, SetAllowed, DoAccountCheck, Trap2EventLog, TrapToAdminAlert)\n"
               "  power 1|4|5 [--cmd]      fire a power-state event (OC 0x1350): S0, S3, S4\n"
               "  slow MS                  delay every reply by MS milliseconds (0: off)\n"
               "  unresponsive on|off      hold every reply until switched off\n"
               "  fault json|header [N]    the next N replies are malformed JSON / a truncated $SIP header\n"
               "  fire-json TEXT           fire a JsonEvent with TEXT as it stands\n"
               "  fire-cmd HEADERHEX DATAHEX  fire a Fire_CmdEvent with these bytes\n"
               "  status                   requests served and clients connected\n"
               "--cmd sends the event as Fire_CmdEvent instead of JsonEvent.\n");
  return 2;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool IsInteger(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  std::strtoll(text.c_str(), &end, 0);
  return *end == '\0';
}

std::string HexBytes(const std::string& hex, bool& ok) {
  ok = hex.size() % 2 == 0;
  std::string out = "[";
  for (size_t i = 0; ok && i < hex.size(); i += 2) {
    const std::string pair = hex.substr(i, 2);
    char* end = nullptr;
    const long value = std::strtol(pair.c_str(), &end, 16);
    ok = *end == '\0';
    if (i) out += ",";
    out += std::to_string(value);
  }
  return out + "]";
}

// The control command as JSON, or empty for a usage error.
std::string Command(const std::vector<std::string>& args) {
  if (args.empty()) return std::string();
  const std::string& op = args[0];
  const bool viaCmd = args.back() == "--cmd";
  const size_t count = args.size() - (viaCmd ? 1 : 0);
  const std::string via = viaCmd ? ",\"via\":\"cmd\"" : "";
  if (op == "set" && count == 3 && IsInteger(args[2])) {
    return "{\"op\":\"set\",\"name\":" + Quote(args[1]) + ",\"value\":" + std::to_string(std::strtoll(args[2].c_str(), nullptr, 0)) + via + "}";
  }
  if (op == "power" && count == 2 && IsInteger(args[1])) return "{\"op\":\"power\",\"value\":" + args[1] + via + "}";
  if (op == "slow" && count == 2 && IsInteger(args[1])) return "{\"op\":\"slow\",\"ms\":" + args[1] + "}";
  if (op == "unresponsive" && count == 2 && (args[1] == "on" || args[1] == "off")) {
    return std::string("{\"op\":\"unresponsive\",\"on\":") + (args[1] == "on" ? "true" : "false") + "}";
  }
  if (op == "fault" && (count == 2 || (count == 3 && IsInteger(args[2])))) {
    return "{\"op\":\"fault\",\"kind\":" + Quote(args[1]) + ",\"count\":" + (count == 3 ? args[2] : "1") + "}";
  }
  if (op == "fire-json" && count == 2) return "{\"op\":\"fire-json\",\"text\":" + Quote(args[1]) + "}";
  if (op == "fire-cmd" && count == 3) {
    bool headerOk = false, dataOk = false;
    const std::string header = HexBytes(args[1], headerOk);
    const std::string data = HexBytes(args[2], dataOk);
    if (headerOk && dataOk) return "{\"op\":\"fire-cmd\",\"header\":" + header + ",\"data\":" + data + "}";
  }
  if (op == "status" && count == 1) return "{\"op\":\"status\"}";
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = Command(std::vector<std::string>(argv + 1, argv + argc));
  if (command.empty()) return Usage();
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MULTI_QI result{&IID_IDispatch, nullptr, S_OK};
  HRESULT hr = CoCreateInstanceEx(CLSID_RelayServer, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &result);
  if (FAILED(hr)) {
    std::fprintf(stderr, "mgtctl: cannot reach mgtcore (0x%08X): is it running with this WINAPI_STATE_DIR?\n",
                 static_cast<unsigned>(hr));
    return 1;
  }
  auto* relay = static_cast<IDispatch*>(result.pItf);
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"MgtControl")};
  DISPID id = DISPID_UNKNOWN;
  hr = relay->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id);
  int exitCode = 1;
  if (SUCCEEDED(hr)) {
    const std::wstring wide(command.begin(), command.end());
    VARIANT argument;
    argument.vt = VT_BSTR;
    argument.bstrVal = SysAllocString(wide.c_str());
    DISPPARAMS params{&argument, nullptr, 1, 0};
    VARIANT reply;
    VariantInit(&reply);
    hr = relay->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &reply, nullptr, nullptr);
    if (SUCCEEDED(hr) && reply.vt == VT_BSTR && reply.bstrVal) {
      const std::wstring text(reply.bstrVal);
      std::printf("%ls\n", text.c_str());
      exitCode = text.find(L"\"ok\":true") != std::wstring::npos ? 0 : 1;
    } else {
      std::fprintf(stderr, "mgtctl: the control call failed (0x%08X)\n", static_cast<unsigned>(hr));
    }
    VariantClear(&reply);
    VariantClear(&argument);
  } else {
    std::fprintf(stderr, "mgtctl: this mgtcore has no control member (0x%08X)\n", static_cast<unsigned>(hr));
  }
  relay->Release();
  CoUninitialize();
  return exitCode;
}

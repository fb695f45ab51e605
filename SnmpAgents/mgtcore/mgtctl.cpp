// mgtctl: drives a running mgtcore for operators and fault tests.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <rapidjson/document.h>

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
               "  value set OE OI CA VALUE [ST [WRITE_ST]]\n"
               "                           create or change a configuration-space value (OC 0xE001/0xE002);\n"
               "                           VALUE is JSON (5, \\\"text\\\", {\\\"RAW\\\":[1]}) or else a text; ST and\n"
               "                           WRITE_ST: the command status of its reads and writes (0: served)\n"
               "  value status OE OI CA ST [WRITE_ST]  only the statuses of a value\n"
               "  value show [OE OI CA]    the values as JSON\n"
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

// VALUE as JSON: as it stands when it is one JSON value, else as a string.
std::string JsonValue(const std::string& text) {
  rapidjson::Document parsed;
  parsed.Parse(text.c_str());
  return parsed.HasParseError() ? Quote(text) : text;
}

std::string Key(const std::vector<std::string>& args, size_t at) {
  return ",\"oe\":" + std::to_string(std::strtoll(args[at].c_str(), nullptr, 0)) +
         ",\"oi\":" + std::to_string(std::strtoll(args[at + 1].c_str(), nullptr, 0)) +
         ",\"ca\":" + std::to_string(std::strtoll(args[at + 2].c_str(), nullptr, 0));
}

bool AllIntegers(const std::vector<std::string>& args, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (!IsInteger(args[i])) return false;
  }
  return true;
}

// value set OE OI CA VALUE [ST [WRITE_ST]], value status OE OI CA ST [WRITE_ST], value show [OE OI CA].
std::string ValueCommand(const std::vector<std::string>& args) {
  const size_t count = args.size();
  if (count < 2) return std::string();
  const std::string& what = args[1];
  if (what == "show" && count == 2) return "{\"op\":\"value-show\"}";
  if (what == "show" && count == 5 && AllIntegers(args, 2, 5)) return "{\"op\":\"value-show\"" + Key(args, 2) + "}";
  const bool set = what == "set" && count >= 6 && count <= 8 && AllIntegers(args, 2, 5) && AllIntegers(args, 6, count);
  const bool status = what == "status" && count >= 6 && count <= 7 && AllIntegers(args, 2, count);
  if (!set && !status) return std::string();
  std::string command = "{\"op\":\"value-set\"" + Key(args, 2);
  size_t next = 5;
  if (set) command += ",\"value\":" + JsonValue(args[next++]);
  if (next < count) command += ",\"status\":" + std::to_string(std::strtol(args[next++].c_str(), nullptr, 0));
  if (next < count) command += ",\"writeStatus\":" + std::to_string(std::strtol(args[next].c_str(), nullptr, 0));
  return command + "}";
}

// The control command as JSON, or empty for a usage error.
std::string Command(const std::vector<std::string>& args) {
  if (args.empty()) return std::string();
  if (args[0] == "value") return ValueCommand(args);
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
    // UTF-8 both ways: values may hold any text.
    std::wstring wide(command.size(), L'\0');
    wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, command.data(), static_cast<int>(command.size()),
                                                        wide.data(), static_cast<int>(wide.size()))));
    VARIANT argument;
    argument.vt = VT_BSTR;
    argument.bstrVal = SysAllocString(wide.c_str());
    DISPPARAMS params{&argument, nullptr, 1, 0};
    VARIANT reply;
    VariantInit(&reply);
    hr = relay->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &reply, nullptr, nullptr);
    if (SUCCEEDED(hr) && reply.vt == VT_BSTR && reply.bstrVal) {
      const std::wstring text(reply.bstrVal);
      std::string narrow(text.size() * 4, '\0');
      narrow.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                            narrow.data(), static_cast<int>(narrow.size()), nullptr,
                                                            nullptr)));
      std::printf("%s\n", narrow.c_str());
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

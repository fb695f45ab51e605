// mgtctl: drives a running mgtcore for operators and fault tests.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "control_protocol.h"
#include "relay_client.h"
#include "utf8_text.h"

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

namespace control = mgtcore::control;

bool IsInteger(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  std::strtoll(text.c_str(), &end, 0);
  return *end == '\0';
}

long long Integer(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 0); }

// Two hexadecimal digits a byte; false for anything else.
bool HexBytes(const std::string& hex, std::vector<uint8_t>& bytes) {
  if (hex.size() % 2) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(hex[i])) || !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
      return false;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return true;
}

bool AllIntegers(const std::vector<std::string>& args, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (!IsInteger(args[i])) return false;
  }
  return true;
}

void Key(control::CommandWriter& command, const std::vector<std::string>& args, size_t at) {
  command.Integer(control::field::kOe, Integer(args[at]))
      .Integer(control::field::kOi, Integer(args[at + 1]))
      .Integer(control::field::kCa, Integer(args[at + 2]));
}

// value set OE OI CA VALUE [ST [WRITE_ST]], value status OE OI CA ST [WRITE_ST], value show [OE OI CA].
std::string ValueCommand(const std::vector<std::string>& args) {
  const size_t count = args.size();
  if (count < 2) return std::string();
  const std::string& what = args[1];
  if (what == "show" && count == 2) return control::CommandWriter(control::kValueShow).Finish();
  if (what == "show" && count == 5 && AllIntegers(args, 2, 5)) {
    control::CommandWriter command(control::kValueShow);
    Key(command, args, 2);
    return command.Finish();
  }
  const bool set = what == "set" && count >= 6 && count <= 8 && AllIntegers(args, 2, 5) && AllIntegers(args, 6, count);
  const bool status = what == "status" && count >= 6 && count <= 7 && AllIntegers(args, 2, count);
  if (!set && !status) return std::string();
  control::CommandWriter command(control::kValueSet);
  Key(command, args, 2);
  size_t next = 5;
  // VALUE as JSON when it is one JSON value, else as a text.
  if (set && !command.Json(control::field::kValue, args[next])) command.Text(control::field::kValue, args[next]);
  if (set) ++next;
  if (next < count) command.Integer(control::field::kStatus, Integer(args[next++]));
  if (next < count) command.Integer(control::field::kWriteStatus, Integer(args[next]));
  return command.Finish();
}

// The control command as JSON, or empty for a usage error.
std::string Command(const std::vector<std::string>& args) {
  if (args.empty()) return std::string();
  if (args[0] == "value") return ValueCommand(args);
  const std::string& op = args[0];
  const bool viaCmd = args.back() == "--cmd";
  const size_t count = args.size() - (viaCmd ? 1 : 0);
  const auto via = [viaCmd](control::CommandWriter& command) {
    if (viaCmd) command.Text(control::field::kVia, control::kViaCmd);
    return command.Finish();
  };
  if (op == control::kSet && count == 3 && IsInteger(args[2])) {
    control::CommandWriter command(control::kSet);
    command.Text(control::field::kName, args[1]).Integer(control::field::kValue, Integer(args[2]));
    return via(command);
  }
  if (op == control::kPower && count == 2 && IsInteger(args[1])) {
    control::CommandWriter command(control::kPower);
    command.Integer(control::field::kValue, Integer(args[1]));
    return via(command);
  }
  if (op == control::kSlow && count == 2 && IsInteger(args[1])) {
    return control::CommandWriter(control::kSlow).Integer(control::field::kMs, Integer(args[1])).Finish();
  }
  if (op == control::kUnresponsive && count == 2 && (args[1] == "on" || args[1] == "off")) {
    return control::CommandWriter(control::kUnresponsive).Flag(control::field::kOn, args[1] == "on").Finish();
  }
  if (op == control::kFault && (count == 2 || (count == 3 && IsInteger(args[2])))) {
    return control::CommandWriter(control::kFault)
        .Text(control::field::kKind, args[1])
        .Integer(control::field::kCount, count == 3 ? Integer(args[2]) : 1)
        .Finish();
  }
  if (op == control::kFireJson && count == 2) {
    return control::CommandWriter(control::kFireJson).Text(control::field::kText, args[1]).Finish();
  }
  std::vector<uint8_t> header, data;
  if (op == control::kFireCmd && count == 3 && HexBytes(args[1], header) && HexBytes(args[2], data)) {
    return control::CommandWriter(control::kFireCmd)
        .Bytes(control::field::kHeader, header)
        .Bytes(control::field::kData, data)
        .Finish();
  }
  if (op == control::kStatus && count == 1) return control::CommandWriter(control::kStatus).Finish();
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
  LPOLESTR names[] = {const_cast<LPOLESTR>(control::kMember)};
  DISPID id = DISPID_UNKNOWN;
  hr = relay->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id);
  int exitCode = 1;
  if (SUCCEEDED(hr)) {
    // UTF-8 both ways: values may hold any text.
    const std::wstring wide = WideFromUtf8(command);
    VARIANT argument;
    argument.vt = VT_BSTR;
    argument.bstrVal = SysAllocString(wide.c_str());
    DISPPARAMS params{&argument, nullptr, 1, 0};
    VARIANT reply;
    VariantInit(&reply);
    hr = relay->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &reply, nullptr, nullptr);
    if (SUCCEEDED(hr) && reply.vt == VT_BSTR && reply.bstrVal) {
      const std::string text = Utf8FromWide(reply.bstrVal);
      std::printf("%s\n", text.c_str());
      exitCode = control::ReplyOk(text) ? 0 : 1;
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

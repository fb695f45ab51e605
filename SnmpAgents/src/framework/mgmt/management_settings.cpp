#include "management_settings.h"

#include "debug_trace.h"
#include "relay_client.h"

ManagementSettings g_ManagementSettings;

namespace {

enum class Kind { Boolean, Filter };

struct SettingCheck {
  DWORD code;
  std::atomic<bool> ManagementSettings::*flag;
  std::atomic<BYTE> ManagementSettings::*filter;
  BYTE failureValue;
  const wchar_t* before;  // traced before the request, when set
  const wchar_t* after;
};

// In the order the service is asked.
const SettingCheck kChecks[] = {
    {kCodeShutdownIsAllowed, &ManagementSettings::ShutdownIsAllowed, nullptr, 0,
     L"\n%-20s:   checking for SNMP shutdown allowed...", L"\n%-20s:    ShutdownIsAllowed = %d"},
    {kCodeSetAllowed, &ManagementSettings::SetAllowed, nullptr, 0, L"\n%-20s:   checking for SNMP set allowed...",
     L"\n%-20s:    SetAllowed = %d"},
    {kCodeDoAccountCheck, &ManagementSettings::DoAccountCheck, nullptr, 1, nullptr, L"\n%-20s:    DoAccountCheck = %d"},
    {kCodeTrap2EventLog, nullptr, &ManagementSettings::Trap2EventLog, 0,
     L"\n%-20s:   checking for SNMP trap forwarding settings...", L"\n%-20s:    Trap2EventLog filter is = %d"},
    {kCodeTrapToAdminAlert, nullptr, &ManagementSettings::TrapToAdminAlert, 0, nullptr,
     L"\n%-20s:    TrapToAdminAlert filter is = %d"},
};

BYTE AskService(CRelayClient& client, DWORD code, BYTE failureValue) {
  Tarn request = Tarn::WithCommand();
  request.Set(L"OC", kConfigSpaceCode);
  request.Set(L"OE", code);
  request.Set(L"OI", 0);
  request.Set(L"CA", -1);
  client.Request(request, 0);
  if (!request.IsGoodReply()) return failureValue;
  const auto value = request.DataValue();
  return value ? static_cast<BYTE>(*value & 0xFF) : failureValue;
}

}  // namespace

void ManagementSettings::Reset() {
  SetAllowed = false;
  ShutdownIsAllowed = false;
  DoAccountCheck = true;
  Trap2EventLog = 0;
  TrapToAdminAlert = 0;
}

bool RunConfigChecks(CRelayClient& client, const wchar_t* agentName, ManagementSettings& settings) {
  DBG_TRACE(2, L"\n%-20s: Running SNMP agent configuration checks", agentName);
  for (const auto& check : kChecks) {
    if (check.before) DBG_TRACE(2, check.before, agentName);
    const BYTE value = AskService(client, check.code, check.failureValue);
    if (check.flag) {
      (settings.*check.flag) = value != 0;
      DBG_TRACE(3, check.after, agentName, static_cast<int>((settings.*check.flag).load()));
    } else {
      (settings.*check.filter) = value;
      DBG_TRACE(3, check.after, agentName, static_cast<int>(value));
    }
  }
  DBG_TRACE(2, L"\n%-20s: SNMP agent configuration checks done", agentName);
  return true;
}

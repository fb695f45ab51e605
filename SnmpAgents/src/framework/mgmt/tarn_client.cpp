#include "tarn_client.h"

#include "debug_trace.h"

namespace {

struct SettingChange {
  DWORD code;
  std::atomic<bool> ManagementSettings::*flag;
  std::atomic<BYTE> ManagementSettings::*filter;
  DWORD traceLevel;
  const wchar_t* trace;
};

const SettingChange kChanges[] = {
    {kCodeTrap2EventLog, nullptr, &ManagementSettings::Trap2EventLog, 3,
     L"\nCTarnClient::Reply  : Trap2EventLog filter changed to %d"},
    {kCodeTrapToAdminAlert, nullptr, &ManagementSettings::TrapToAdminAlert, 3,
     L"\nCTarnClient::Reply  : TrapToAdminAlert filter changed to %d"},
    {kCodeSetAllowed, &ManagementSettings::SetAllowed, nullptr, 2, L"\nCTarnClient::Reply  : # MIB write %s! #"},
    {kCodeShutdownIsAllowed, &ManagementSettings::ShutdownIsAllowed, nullptr, 2,
     L"\nCTarnClient::Reply  : # MIB shutdown %s! #"},
    {kCodeDoAccountCheck, &ManagementSettings::DoAccountCheck, nullptr, 2,
     L"\nCTarnClient::Reply  : # MIB account check %s! #"},
};

}  // namespace

CTarnClient::CTarnClient(ITarnEventTarget& agent, ManagementSettings& settings) : m_agent(agent), m_settings(settings) {}

CTarnClient::~CTarnClient() = default;

void CTarnClient::Reply(Tarn& event) {
  try {
    const DWORD code = event.Get(L"OC", 0);
    if (code == kPowerStateCode) ApplyPowerState(event);
    if (code == kSettingsChangedCode) ApplySetting(event);
  } catch (...) {
    DBG_TRACE(1, L"\nCTarnClient::Reply  : ## EXCEPTION!");
  }
  m_agent.OnTarnEvent(event);
}

void CTarnClient::ApplyPowerState(const Tarn& event) {
  const auto value = event.DataValue();
  if (!value) return;
  const wchar_t* name = m_agent.GetAgentName();
  switch (*value) {
    case 1:
      DBG_TRACE(1, L"\n%-20s: ## System power state changed back to NORMAL (S0) ##", name);
      m_agent.RestartAgent(kRestartDelayMs);
      break;
    case 4:
      DBG_TRACE(1, L"\n%-20s: ## System power state will changed to STANDBY (S3) ##", name);
      break;
    case 5:
      DBG_TRACE(1, L"\n%-20s: ## System power state will changed to SUSPEND (S4) ##", name);
      break;
    default:
      break;
  }
}

void CTarnClient::ApplySetting(const Tarn& event) {
  if (!event.IsGoodReply()) return;
  const auto value = event.DataValue();
  if (!value) return;
  const DWORD code = event.Get(L"OE", 0);
  for (const auto& change : kChanges) {
    if (change.code != code) continue;
    if (change.flag) {
      const bool enabled = *value != 0;
      (m_settings.*change.flag) = enabled;
      DBG_TRACE(change.traceLevel, change.trace, enabled ? L"enabled" : L"disabled");
    } else {
      const BYTE filter = static_cast<BYTE>(*value & 0xFF);
      (m_settings.*change.filter) = filter;
      DBG_TRACE(change.traceLevel, change.trace, static_cast<int>(filter));
    }
    return;
  }
}

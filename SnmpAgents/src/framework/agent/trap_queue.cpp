// Traps from the agent's threads wait in a FIFO until the SNMP service, woken by the
// trap event, fetches them one SnmpExtensionTrap call at a time.
#include "snmp_agent.h"

#include <string>

#include "debug_trace.h"

bool CSnmpAgent::IsTrapEnabled(DWORD specificTrap) {
  const std::wstring key = std::to_wstring(static_cast<int>(specificTrap));
  if (!m_TrapConfig.Usable || m_TrapConfig.Path.empty()) return true;
  if (GetPrivateProfileIntW(L"TrapTable", key.c_str(), 1, m_TrapConfig.Path.c_str()) != 2) return true;
  DBG_TRACE(2, L"\n\n%-20s:  ## Trap %d not enabled!\n", g_AgentName, specificTrap);
  return false;
}

bool CSnmpAgent::CreateTrap(const wchar_t* enterpriseOid, DWORD specificTrap, const SnmpVarBindList* varbinds) {
  if (!IsTrapEnabled(specificTrap)) {
    DBG_TRACE(1, L"\n%-20s: TRAP %d disabled!", g_AgentName, specificTrap);
    return false;
  }
  DBG_TRACE(3, L"\n%-20s: CreateTrap(): queue trap parameters to resolve it in agent framework...", g_AgentName);
  m_bTrapQueueUsed = true;
  {
    CCriticalSectionLock lock(m_TrapQueueLock);
    TrapRecord record;
    TextToOid(enterpriseOid, &record.Enterprise);
    if (varbinds && !SnmpUtilVarBindListCpy(&record.VarBinds, const_cast<SnmpVarBindList*>(varbinds))) {
      DBG_TRACE(1, L"\n%-20s: ## ERROR! CreateTrap(): trap %d not queued, its varbinds could not be copied",
                g_AgentName, specificTrap);
      return false;
    }
    record.SpecificTrap = specificTrap;
    m_TrapQueue.push_back(std::move(record));
  }
  DBG_TRACE(4, L"\n%-20s: CreateTrap(): trap parameters queued", g_AgentName);
  return m_hTrapEvent && SetEvent(m_hTrapEvent.Get());
}

bool CSnmpAgent::ResolveTrap(AsnObjectIdentifier* enterprise, AsnInteger32* specificTrap, SnmpVarBindList* varbinds) {
  CCriticalSectionLock lock(m_TrapQueueLock);
  if (m_TrapQueue.empty()) {
    DBG_TRACE(3, L"\n%-20s: CSnmpAgent::ResolveTrap(): no (more) trap data in queue", g_AgentName);
    return false;
  }
  TrapRecord& front = m_TrapQueue.front();
  DBG_TRACE(2, L"\n%-20s: SnmpAgent::ResolveTrap(): Found trap #%d in trap queue, resolve trap", g_AgentName,
            front.SpecificTrap);
  // The record moves to the service as it is: its blocks come from the snmpapi allocator.
  if (enterprise) {
    SnmpUtilOidFree(enterprise);
    *enterprise = front.Enterprise;
    front.Enterprise = {};
  }
  if (varbinds) {
    FreeVarBindList(varbinds);
    *varbinds = front.VarBinds;
    front.VarBinds = {};
  }
  if (specificTrap) *specificTrap = static_cast<AsnInteger32>(front.SpecificTrap);
  m_TrapQueue.pop_front();
  return true;
}

bool CSnmpAgent::SnmpTrap(AsnObjectIdentifier* enterprise, AsnInteger32* genericTrap, AsnInteger32* specificTrap,
                          AsnTimeticks* timeStamp, SnmpVarBindList* varbinds) {
  bool toSend = false;
  try {
    AsnInteger32 number = 0;
    if (m_bTrapQueueUsed) {
      DBG_TRACE(4, L"\n%-20s: SnmpTrap(): SNMP trap and trap queue used, calling ResolveTrapFromQueue()...",
                g_AgentName);
      toSend = ResolveTrap(enterprise, &number, varbinds);
    }
    if (toSend) {
      DBG_TRACE(4, L"\n%-20s: SnmpTrap(): ResolveTrapEx() returned TRUE - trap to send...", g_AgentName);
      if (specificTrap) *specificTrap = number;
      if (genericTrap) *genericTrap = SNMP_GENERICTRAP_ENTERSPECIFIC;
      if (timeStamp) *timeStamp = static_cast<DWORD>(GetTickCount64() / 10) - m_dwTimeZeroReference;
      if (DBG_TRACE_ACTIVE()) {
        std::wstring oid;
        DBG_TRACE(1, L"\n\n%-20s: ## Trap %d (Param: %d, OID: %s) ##\n", g_AgentName, number,
                  varbinds ? varbinds->len : 0u, OidToText(oid, enterprise));
      }
      const BYTE eventLogFilter = g_ManagementSettings.Trap2EventLog;
      const BYTE alertFilter = g_ManagementSettings.TrapToAdminAlert;
      if (eventLogFilter || alertFilter) m_TrapAlert.SetTrapParams(varbinds, static_cast<DWORD>(number));
      if (eventLogFilter && !m_TrapAlert.Write2EventLog(eventLogFilter)) {
        DBG_TRACE(2, L"\n%-20s: SnmpExtensionTrap(): Nothing written to event log!", g_AgentName);
      }
      if (alertFilter && !m_TrapAlert.RaiseAdminAlert(alertFilter)) {
        DBG_TRACE(1, L"\n%-20s: ## ERROR: sending administrator alert failed!!", g_AgentName);
      }
      DBG_TRACE(3, L"\n%-20s: SnmpTrap(): trap handling finished, send the trap to SNMP service", g_AgentName);
    } else {
      DBG_TRACE(4, L"\n%-20s: SnmpTrap(): No (more) traps to send!", g_AgentName);
    }
  } catch (...) {
    ReportEntryPointException(L"\n####                  %s - Exception in SnmpExtensionTrap !!                ####",
                              AGENT_STATE_EXCEPTION_TRAP);
    toSend = false;
  }
  DBG_TRACE(4, L"\n%-20s: SnmpTrap(): SNMP trap exit (TrapToSend=%s)", g_AgentName, toSend ? L"TRUE" : L"FALSE");
  return toSend;
}

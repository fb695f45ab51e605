// DllMain and the five exported functions of the extension-agent interface. Compiled into
// each agent module; each entry point hands the call to the one agent of the process.
#include "snmp_agent.h"

#include <cstdio>

#include "debug_trace.h"
#include "process_info.h"

namespace {

bool g_bCloseDone = false;

// Stops the agent at most once per process, whichever of close and detach comes first.
void RunClosePath() {
  if (g_bCloseDone || !g_pSnmpAgent) return;
  g_bCloseDone = true;
  g_pSnmpAgent->SnmpClose();
}

void ClearOid(AsnObjectIdentifier* oid) {
  if (!oid) return;
  oid->idLength = 0;
  oid->ids = nullptr;
}

BOOL OnProcessAttach(HINSTANCE module) {
  DisableThreadLibraryCalls(module);
  g_AgentName = AgentNameFromModule(module);
  std::printf("\n## SNMP DLL [%ls] loaded\n", g_AgentName.c_str());
  std::fflush(stdout);
  g_DebugTrace.Initialize(g_AgentName.c_str(), true);
  if (DBG_TRACE_ACTIVE()) {
    std::wstring host;
    const DWORD pid = GetCurrentProcessId();
    CProcess::GetName(pid, host);
    DBG_TRACE(5, L"\n%-20s: DllMain: ** DLL_PROCESS_ATTACH (PID %d \"%s\") **", g_AgentName, pid, host);
    DBG_TRACE(2, L"\n%-20s: Starting SNMP agent...", g_AgentName);
  }
  g_pSnmpAgent = CreateAgentInstance();
  if (!g_pSnmpAgent) {
    DBG_TRACE(1, L"\n%-20s: ## ERROR! The agent object could not be created - module not loaded", g_AgentName);
    return FALSE;
  }
  g_pSnmpAgent->OnModuleAttach(module);
  return TRUE;
}

BOOL OnProcessDetach() {
  DBG_TRACE(5, L"\n%-20s: DllMain: ** DLL_PROCESS_DETACH **", g_AgentName);
  try {
    RunClosePath();
    if (g_pSnmpAgent) g_pSnmpAgent->OnModuleDetach();
  } catch (...) {
    return FALSE;
  }
  try {
    DBG_TRACE(5, L"\n%-20s: DllMain: Start delete agent instance...", g_AgentName);
    delete g_pSnmpAgent;
    g_pSnmpAgent = nullptr;
    DBG_TRACE(5, L"\n%-20s: DllMain: ... agent instance deleted", g_AgentName);
  } catch (...) {
    g_pSnmpAgent = nullptr;
    DBG_TRACE(1, L"\n\n##############################################################################");
    DBG_TRACE(1, L"\n                      %s - Exception in DLL_PROCESS_DETACH !!           ", g_AgentName);
    DBG_TRACE(1, L"\n##############################################################################\n");
    return FALSE;
  }
  DBG_TRACE(1, L"\n\n%-20s: SNMP agent DLL unloaded\n", g_AgentName);
  return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  try {
    switch (reason) {
      case DLL_PROCESS_ATTACH: return OnProcessAttach(module);
      case DLL_PROCESS_DETACH: return OnProcessDetach();
      case DLL_THREAD_ATTACH:
        DBG_TRACE(5, L"\n%-20s: DllMain: ** DLL_THREAD_ATTACH ** (ID: %d)", g_AgentName, GetCurrentThreadId());
        return TRUE;
      case DLL_THREAD_DETACH:
        DBG_TRACE(5, L"\n%-20s: DllMain: ** DLL_THREAD_DETACH ** (ID: %d)", g_AgentName, GetCurrentThreadId());
        return TRUE;
      default: return TRUE;
    }
  } catch (...) {
    return FALSE;
  }
}

WINBOOL SNMP_FUNC_TYPE SnmpExtensionInit(DWORD dwUptimeReference, HANDLE* phSubagentTrapEvent,
                                         AsnObjectIdentifier* pFirstSupportedRegion) {
  ClearOid(pFirstSupportedRegion);
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionInit()", g_AgentName);
  const bool success =
      g_pSnmpAgent && g_pSnmpAgent->SnmpInit(dwUptimeReference, phSubagentTrapEvent, pFirstSupportedRegion);
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionInit() ...exit with success=%d", g_AgentName, success ? 1 : 0);
  return success ? TRUE : FALSE;
}

WINBOOL SNMP_FUNC_TYPE SnmpExtensionInitEx(AsnObjectIdentifier* pNextSupportedRegion) {
  ClearOid(pNextSupportedRegion);
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionInitEx() enter...", g_AgentName);
  const bool success = g_pSnmpAgent && g_pSnmpAgent->SnmpInitEx(pNextSupportedRegion);
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionInitEx() ...exit with success=%d", g_AgentName, success ? 1 : 0);
  return success ? TRUE : FALSE;
}

WINBOOL SNMP_FUNC_TYPE SnmpExtensionQuery(BYTE bPduType, SnmpVarBindList* pVarBindList, AsnInteger32* pErrorStatus,
                                          AsnInteger32* pErrorIndex) {
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionQuery() enter...", g_AgentName);
  bool success = false;
  if (g_pSnmpAgent) {
    success = g_pSnmpAgent->SnmpQuery(bPduType, pVarBindList, pErrorStatus, pErrorIndex);
  } else {
    // No agent object: refused as before initialisation.
    if (pErrorStatus) *pErrorStatus = SNMP_ERRORSTATUS_NOSUCHNAME;
    if (pErrorIndex) *pErrorIndex = 1;
    success = true;
  }
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionQuery() ...exit with success=%d", g_AgentName, success ? 1 : 0);
  return success ? TRUE : FALSE;
}

WINBOOL SNMP_FUNC_TYPE SnmpExtensionTrap(AsnObjectIdentifier* pEnterpriseOid, AsnInteger32* pGenericTrapId,
                                         AsnInteger32* pSpecificTrapId, AsnTimeticks* pTimeStamp,
                                         SnmpVarBindList* pVarBindList) {
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionTrap() enter...", g_AgentName);
  ClearOid(pEnterpriseOid);
  if (pVarBindList) {
    pVarBindList->list = nullptr;
    pVarBindList->len = 0;
  }
  const bool success =
      g_pSnmpAgent && g_pSnmpAgent->SnmpTrap(pEnterpriseOid, pGenericTrapId, pSpecificTrapId, pTimeStamp, pVarBindList);
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionTrap() ...exit with success=%d", g_AgentName, success ? 1 : 0);
  return success ? TRUE : FALSE;
}

VOID SNMP_FUNC_TYPE SnmpExtensionClose() {
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionClose() enter...", g_AgentName);
  try {
    RunClosePath();
  } catch (...) {
  }
  DBG_TRACE(5, L"\n%-20s: DllEntry: SnmpExtensionClose() ...exit", g_AgentName);
}

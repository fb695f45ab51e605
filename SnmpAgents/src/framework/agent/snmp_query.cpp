// One SNMP request: refused before initialisation and during shutdown, otherwise each
// varbind resolved through the MIB tree under the MIB lock, with error status and the
// 1-based error index of the varbind at which processing stopped.
#include "snmp_agent.h"

#include <limits>
#include <vector>

#include "debug_trace.h"

namespace {

// The first OID after a region: the root with its last sub-identifier increased. A
// sub-identifier at its maximum carries into the one before it, so the answer never
// lies before the region; a root of maximal sub-identifiers only has no successor.
bool FirstOidAfter(const AsnObjectIdentifier& root, AsnObjectIdentifier& next) {
  UINT length = root.idLength;
  while (length > 0 && root.ids[length - 1] == std::numeric_limits<UINT>::max()) --length;
  if (length == 0) return false;
  AsnObjectIdentifier prefix{length, root.ids};
  if (!SnmpUtilOidCpy(&next, &prefix)) return false;
  ++next.ids[length - 1];
  return true;
}

UINT VarBindCount(const SnmpVarBindList* varbinds) {
  return varbinds && varbinds->list ? varbinds->len : 0;
}

}  // namespace

bool CSnmpAgent::SnmpQuery(BYTE requestType, SnmpVarBindList* varbinds, AsnInteger32* errorStatus,
                           AsnInteger32* errorIndex) {
  AsnInteger32 ignoredStatus = 0, ignoredIndex = 0;
  if (!errorStatus) errorStatus = &ignoredStatus;
  if (!errorIndex) errorIndex = &ignoredIndex;
  *errorStatus = SNMP_ERRORSTATUS_NOERROR;
  *errorIndex = 0;
  bool result = true;
  try {
    const UINT count = VarBindCount(varbinds);
    std::vector<std::wstring> names;
    if (DBG_TRACE_ACTIVE()) {
      TraceRequest(requestType, varbinds);
      names.resize(count);
    }
    std::wstring* collected = names.empty() ? nullptr : names.data();

    if (!AreRequestsEnabled() || g_bShutdown) {
      DBG_TRACE(2, L"\n%-20s: ## Init not completed or agent shutdown; request refused; ERROR status: <<no such name>>",
                g_AgentName);
      *errorStatus = SNMP_ERRORSTATUS_NOSUCHNAME;
      *errorIndex = 1;
    } else {
      DBG_TRACE(5, L"\n%-20s: SNMP query: call OnPreSnmpQuery...", g_AgentName);
      if (OnPreSnmpQuery(requestType, varbinds, errorStatus, errorIndex)) {
        *errorStatus = SNMP_ERRORSTATUS_NOERROR;
        *errorIndex = 0;
        UINT position = 0;
        DBG_TRACE(5, L"\n%-20s: SNMP query: lock MIB...", g_AgentName);
        {
          CCriticalSectionLock lock(m_MibLock);
          DBG_TRACE(5, L"\n%-20s: SNMP query: ... MIB locked", g_AgentName);
          switch (requestType) {
            case SNMP_PDU_GET: ProcessGet(varbinds, errorStatus, position, collected); break;
            case SNMP_PDU_GETNEXT: ProcessGetNext(varbinds, errorStatus, position, collected); break;
            case SNMP_PDU_SET: result = ProcessSet(varbinds, errorStatus, position, collected); break;
            default:
              DBG_TRACE(1, L"\n\n%-20s: ## ERROR! Unknown request type (%d).\n", g_AgentName, requestType);
              result = false;
          }
          DBG_TRACE(5, L"\n%-20s: SNMP query: unlock MIB...", g_AgentName);
        }
        DBG_TRACE(5, L"\n%-20s: SNMP query: ... MIB unlocked", g_AgentName);
        if (*errorStatus != SNMP_ERRORSTATUS_NOERROR) *errorIndex = static_cast<AsnInteger32>(position + 1);
      } else {
        DBG_TRACE(4, L"\n%-20s: SnmpQuery() skipped because OnPreSnmpQuery handled the request!", g_AgentName);
      }
      DBG_TRACE(5, L"\n%-20s: SNMP query: call OnPostSnmpQuery...", g_AgentName);
      OnPostSnmpQuery(requestType, varbinds, errorStatus, errorIndex);
    }
    if (DBG_TRACE_ACTIVE()) TraceAnswer(requestType, varbinds, collected, *errorStatus, *errorIndex);
    return result;
  } catch (...) {
    DBG_TRACE(1, L"\n\n%-20s: ##### EXCEPTION in SnmpQuery() !! #####\n", g_AgentName);
    SetAgentState(AGENT_STATE_EXCEPTION_QUERY);
    SetAgentStatus(4);
    SetAgentLastError(L"exception occured");
    return false;
  }
}

void CSnmpAgent::ProcessGet(SnmpVarBindList* varbinds, AsnInteger32* errorStatus, UINT& position,
                            std::wstring* names) {
  const UINT count = VarBindCount(varbinds);
  for (UINT i = 0; i < count && *errorStatus == SNMP_ERRORSTATUS_NOERROR; ++i) {
    position = i;
    m_MibTree.MibGetVarbind(&varbinds->list[i], SNMP_PDU_GET, errorStatus, names ? &names[i] : nullptr);
  }
}

void CSnmpAgent::ProcessGetNext(SnmpVarBindList* varbinds, AsnInteger32* errorStatus, UINT& position,
                                std::wstring* names) {
  const UINT count = VarBindCount(varbinds);
  for (UINT i = 0; i < count && *errorStatus == SNMP_ERRORSTATUS_NOERROR; ++i) {
    position = i;
    SnmpVarBind& varbind = varbinds->list[i];
    std::wstring* name = names ? &names[i] : nullptr;
    while (!g_bShutdown) {
      const bool found = m_MibTree.MibGetVarbind(&varbind, SNMP_PDU_GETNEXT, errorStatus, name);
      if (found && *errorStatus != SNMP_ERRORSTATUS_NOERROR) {
        if (DBG_TRACE_ACTIVE()) {
          std::wstring oid;
          DBG_TRACE(2, L"\n%-20s:   Ret[%d] Oid:  %s - GETNEXT SNMP Error %d (callback failed) -> find next object",
                    g_AgentName, i + 1, OidToText(oid, &varbind.name), *errorStatus);
        }
        continue;
      }
      if (found) break;
      if (g_bShutdown) break;  // the status stays "no such name"
      DBG_TRACE(2, L"\n%-20s:   Ret[%d] - End of MIB tree -> reply OID outside of this MIB", g_AgentName, i + 1);
      ReplyOutsideRegion(varbind);
      *errorStatus = SNMP_ERRORSTATUS_NOERROR;
      break;
    }
  }
}

void CSnmpAgent::ReplyOutsideRegion(SnmpVarBind& varbind) {
  for (UINT r = 0; r < m_MibRegions.len; ++r) {
    AsnObjectIdentifier& root = m_MibRegions.list[r].name;
    if (root.idLength == 0 || !root.ids) continue;
    if (SnmpUtilOidNCmp(&varbind.name, &root, root.idLength) != 0) continue;
    AsnObjectIdentifier next{};
    if (!FirstOidAfter(root, next)) return;
    SnmpUtilOidFree(&varbind.name);
    varbind.name = next;
    return;
  }
}

bool CSnmpAgent::ProcessSet(SnmpVarBindList* varbinds, AsnInteger32* errorStatus, UINT& position,
                            std::wstring* names) {
  const UINT count = VarBindCount(varbinds);
  bool anyFound = count == 0;  // an empty SET has nothing that could fail
  for (UINT i = 0; i < count && *errorStatus == SNMP_ERRORSTATUS_NOERROR; ++i) {
    position = i;
    if (!m_MibTree.MibCheckSetVarbind(&varbinds->list[i], errorStatus, names ? &names[i] : nullptr)) {
      DBG_TRACE(1, L"\n%-20s: Execution of MibCheckSetVarbind FAILED!", g_AgentName);
      continue;
    }
    anyFound = true;
    DBG_TRACE(3, L"\n%-20s: MibCheckSetVarbind returned %d (%s)", g_AgentName, *errorStatus,
              ErrorStatusName(*errorStatus));
  }
  for (UINT i = 0; i < count && *errorStatus == SNMP_ERRORSTATUS_NOERROR; ++i) {
    position = i;
    if (!m_MibTree.MibSetVarbind(&varbinds->list[i], errorStatus)) {
      DBG_TRACE(1, L"\n%-20s: Execution of MibSetVarbind FAILED!", g_AgentName);
      continue;
    }
    anyFound = true;
    DBG_TRACE(3, L"\n%-20s: MibSetVarbind returned %d (%s)", g_AgentName, *errorStatus, ErrorStatusName(*errorStatus));
  }
  return anyFound;
}

void CSnmpAgent::TraceRequest(BYTE requestType, const SnmpVarBindList* varbinds) {
  const UINT count = VarBindCount(varbinds);
  DBG_TRACE(2, L"\n\n%-20s: SNMP query: number queries=%d", g_AgentName, count);
  std::wstring oid, value;
  switch (requestType) {
    case SNMP_PDU_GET:
    case SNMP_PDU_GETNEXT:
      DBG_TRACE(2, requestType == SNMP_PDU_GET ? L"\n%-20s:   RequestType: GET" : L"\n%-20s:   RequestType: GETNEXT",
                g_AgentName);
      for (UINT i = 0; i < count; ++i) {
        DBG_TRACE(2, L"\n%-20s:   Req[%d] Oid:  %s", g_AgentName, i + 1, OidToText(oid, &varbinds->list[i].name));
      }
      break;
    case SNMP_PDU_SET:
      DBG_TRACE(2, L"\n%-20s:   RequestType: SET", g_AgentName);
      for (UINT i = 0; i < count; ++i) {
        DBG_TRACE(2, L"\n%-20s:   Set[%d] Oid:  %s", g_AgentName, i + 1, OidToText(oid, &varbinds->list[i].name));
        DBG_TRACE(2, L"\n%-20s:     Value:     %s", g_AgentName, ValueToText(value, &varbinds->list[i].value));
      }
      break;
    default: break;
  }
}

void CSnmpAgent::TraceAnswer(BYTE requestType, const SnmpVarBindList* varbinds, const std::wstring* names,
                             AsnInteger32 errorStatus, AsnInteger32 errorIndex) {
  const UINT count = VarBindCount(varbinds);
  std::wstring oid, value;
  for (UINT i = 0; i < count; ++i) {
    DBG_TRACE(2, L"\n%-20s:   Ret[%d] Oid:  %s", g_AgentName, i + 1, OidToText(oid, &varbinds->list[i].name));
    if (names) DBG_TRACE(2, L"\n%-20s:   Object:      %s", g_AgentName, names[i]);
    DBG_TRACE(2, L"\n%-20s:   Ret Value:   %s", g_AgentName, ValueToText(value, &varbinds->list[i].value));
  }
  if (errorStatus == SNMP_ERRORSTATUS_NOERROR && requestType == SNMP_PDU_SET) {
    DBG_TRACE(2, L"\n%-20s: SNMP Set done, no errors", g_AgentName);
  }
  if (errorStatus != SNMP_ERRORSTATUS_NOERROR) {
    DBG_TRACE(1, L"\n%-20s: ## SNMP error status: <<%s>> at varbind [%d]", g_AgentName, ErrorStatusName(errorStatus),
              errorIndex);
  }
  DBG_TRACE(2, L"\n");
}

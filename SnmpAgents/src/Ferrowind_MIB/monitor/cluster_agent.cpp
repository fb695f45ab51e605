#include "cluster_agent.h"

#include "agent_registry.h"
#include "debug_trace.h"
#include "service_mgr.h"

using fw::agent::CreateKeyForWrite;
using fw::agent::OpenKeyForWrite;

namespace {

// Opens or creates "Parameters\..." below a key: "Parameters" as a lasting key, what lies
// below it as volatile, since nothing lasting may sit below a volatile key.
LONG CreateVolatileBelowParameters(HKEY parent, const std::wstring& path, CRegKey& key) {
  const size_t separator = path.find(L'\\');
  if (separator == std::wstring::npos) return CreateKeyForWrite(parent, path, REG_OPTION_VOLATILE, key);
  CRegKey first;
  const LONG opened = CreateKeyForWrite(parent, path.substr(0, separator), REG_OPTION_NON_VOLATILE, first);
  if (opened != ERROR_SUCCESS) return opened;
  return CreateKeyForWrite(first.Get(), path.substr(separator + 1), REG_OPTION_VOLATILE, key);
}

}  // namespace


CClusterAgent::CClusterAgent()
    : m_hMibTableMutex(CreateMutexW(nullptr, FALSE, nullptr)),
      m_hWakeUpEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  m_Builder.SetMibTableMutex(m_hMibTableMutex.Get());
}

CClusterAgent::~CClusterAgent() {
  if (!m_EvtThread.WaitForTermination(CThread::kDestroyWaitMs)) m_EvtThread.Kill(0);
  m_Cluster.Close();
  // A mutex still held by this thread is released before it is closed.
  if (m_hMibTableMutex && WaitForSingleObject(m_hMibTableMutex.Get(), 0) == WAIT_OBJECT_0) {
    ReleaseMutex(m_hMibTableMutex.Get());
  }
}

bool CClusterAgent::InitializeMib() {
  DBG_TRACE(2, L"\nCClusterAgent       : InitializeMib() entered.");
  if (m_hWakeUpEvent) ResetEvent(m_hWakeUpEvent.Get());
  m_dwFailedAccessCount = 0;
  m_bRebuildNeeded = true;
  m_lClusterAccessState = -1;
  m_Builder.SetMutexTimeout(m_dwMibTableWaitMs);  // before the watcher and requests build
  m_Builder.AddAgentInformation(m_MibTree);
  SetAgentStatus(0);

  bool started = false;
  if (!CServiceMgr().IsServiceInstalled(kClusterServiceName)) {
    DBG_TRACE(1, L"\nCClusterAgent       : InitializeMib() : ### Cluster service not installed! ###  - MIB not created!");
    // Nothing to rebuild from: requests keep finding the version objects only.
    m_bRebuildNeeded = false;
  } else {
    m_EvtThread.SetName(g_AgentName.c_str(), L":EvtMain");
    started = m_EvtThread.Start(&CClusterAgent::Thread_EvtMain, this, THREAD_PRIORITY_ABOVE_NORMAL);
    DBG_TRACE(1, L"\nCClusterAgent       : InitializeMib() : CreateEvtThread() %s!", started ? L"OK" : L"FAILED");
    SetAgentStatus(1);
    SetAgentLastError(L"");
  }
  DBG_TRACE(2, L"\nCClusterAgent       : InitializeMib() %s.", started ? L"OK" : L"FAILED");
  SetAgentLastError(L"");
  return started;
}

void CClusterAgent::CloseMib() {
  CMibTableLock lock(m_hMibTableMutex.Get(), m_dwMibTableWaitMs);
  if (!lock.Held()) {
    DBG_TRACE(1, L"\nCClusterAgent       : ERROR! Timeout waiting for end of MIB tree rebuild");
    return;
  }
  DBG_TRACE(2, L"\nCClusterAgent       : CloseMib() Close cluster");
  m_Cluster.CloseNotifyPort();
  DBG_TRACE(2, L"\nCClusterAgent       : CloseMib() Wake up event handler thread");
  if (m_hWakeUpEvent) SetEvent(m_hWakeUpEvent.Get());
  lock.Release();
  Sleep(m_dwCloseGraceMs);
}

bool CClusterAgent::OnPreSnmpQuery(BYTE, SnmpVarBindList*, AsnInteger32*, AsnInteger32*) {
  if (m_bRebuildNeeded) {
    DBG_TRACE(3, L"\nCClusterAgent       : OnPreSnmpQuery(): Start Rebuild MIB ...");
    {
      // Requests that arrive during a rebuild wait for it and use it: none waits for two.
      // The flag is cleared under the mutex, so a notification handled meanwhile sets it
      // again for the next request.
      CMibTableLock lock(m_hMibTableMutex.Get(), m_dwMibTableWaitMs);
      if (!lock.Held()) {
        DBG_TRACE(1, L"\nFERROWIND_MIB       : BuildMib() ERROR! Time out waiting for MIB table!");
      } else if (m_bRebuildNeeded && BuildMib()) {
        m_bRebuildNeeded = false;
      }
    }
    DBG_TRACE(3, L"\nCClusterAgent       : OnPreSnmpQuery(): ...Rebuild MIB finished!");
    DBG_TRACE(1, L"\n\nCClusterAgent       : OnPreSnmpQuery(): ### Mib rebuild %s!! ###\n",
              m_bRebuildNeeded ? L"FAILED" : L"OK");
  }
  DBG_TRACE(3, L"\nCClusterAgent       : OnPreSnmpQuery() done.");
  return true;
}

bool CClusterAgent::BuildMib() {
  ++m_dwBuildCount;
  return m_Builder.BuildMib(m_MibTree);
}

bool CClusterAgent::SetRegClusterConfigChange(const wchar_t* subkey) {
  DBG_TRACE(1, L"\nCClusterAgent       :  ## Cluster Config has been changed! ##");
  const std::wstring agentKey = GetAgentKey();
  CRegKey key;
  if (OpenKeyForWrite(agentKey, key) != ERROR_SUCCESS) {
    DBG_TRACE(1, L"\nSetRegClusterConfigChange() : ERROR! Failed to open key %s!", agentKey.c_str());
    return false;
  }
  CRegKey change;
  if (CreateVolatileBelowParameters(key.Get(), subkey ? subkey : L"", change) != ERROR_SUCCESS) return false;
  const ULONGLONG now = GetTickCount64();
  RegSetValueExW(change.Get(), L"Time", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&now), sizeof now);
  return true;
}

bool CClusterAgent::GetClusterIPAddress(CIpAddress& address) {
  return m_IpAddressFinder.GetClusterIPAddress(m_Cluster, address);
}

void CClusterAgent::SetRegClusterIpAddress() {
  CIpAddress address;
  if (!GetClusterIPAddress(address)) {
    DBG_TRACE(1, L"\nCClusterAgent       : SetRegClusterIpAddress(): ERROR! GetClusterIPAddress() failed.");
    return;
  }
  const std::wstring keyPath = GetCommonRoot() + L"\\Brennik_MIB";
  CRegKey key;
  if (keyPath.size() > MAX_PATH || OpenKeyForWrite(keyPath, key) != ERROR_SUCCESS) {
    DBG_TRACE(1, L"\nCClusterAgent       : SetRegClusterIpAddress(): ERROR! Could not open key \"%s\"", keyPath.c_str());
    return;
  }
  const wchar_t* subkey = L"Parameters\\VolatileParameters";
  CRegKey parameters;
  const LONG created = CreateVolatileBelowParameters(key.Get(), subkey, parameters);
  if (created != ERROR_SUCCESS) {
    DBG_TRACE(1, L"\nCClusterAgent       : SetRegClusterIpAddress(): ERROR 0x%x! Could not create key \"%s\" in \"%s\"",
              created, subkey, keyPath.c_str());
    return;
  }
  std::wstring text;
  IPAddressToText(address.Bytes.data(), address.Bytes.size(), text, true);
  const LONG written =
      RegSetValueExW(parameters.Get(), L"ClusterIPAddress", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  if (written == ERROR_SUCCESS) {
    DBG_TRACE(2, L"\nCClusterAgent       : SetRegClusterIpAddress(): IP address %s set into registry", text.c_str());
  } else {
    DBG_TRACE(1, L"\nCClusterAgent       : SetRegClusterIpAddress(): ERROR 0x%X! Set registry value \"%s\": \"%s\" FAILED!",
              written, L"ClusterIPAddress", text.c_str());
  }
}

void CClusterAgent::RefreshQuorumResourceName() {
  std::wstring device;
  DWORD maxLogSize = 0;
  m_Cluster.GetQuorumResource(m_QuorumResourceName, device, maxLogSize);
  DBG_TRACE(1, L"\nCClusterAgent       : Quorum resource name: \"%s\" !", m_QuorumResourceName.c_str());
}

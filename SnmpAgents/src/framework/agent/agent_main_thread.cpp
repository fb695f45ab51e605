// The agent main thread: attach the management client, initialise the MIB, serve until
// shutdown, tear down in reverse, and restart or retry the attach when asked to.
#include "snmp_agent.h"

#include <objbase.h>

#include "debug_trace.h"

namespace {

constexpr DWORD kMainThreadStack = 0x100000;
constexpr const wchar_t kHashLine[] =
    L"\n##############################################################################";

bool StillActive(const CThread& thread) {
  DWORD code = 0;
  return thread.GetHandle() && GetExitCodeThread(thread.GetHandle(), &code) && code == STILL_ACTIVE;
}

// True when the stop-wait event ended the wait (or is missing), false on time-out.
bool StopRequestedWithin(HANDLE stopWait, DWORD timeoutMs) {
  if (!stopWait) return true;
  return WaitForSingleObject(stopWait, timeoutMs) != WAIT_TIMEOUT;
}

}  // namespace

bool CSnmpAgent::StartAgent() {
  try {
    if (m_hShutdownEvent) ResetEvent(m_hShutdownEvent.Get());
    DBG_TRACE(3, L"\n%-20s: Starting MIB main thread...", g_AgentName);
    m_MainThread.SetName(g_AgentName.c_str(), L":Thread_AgentMain");
    const bool started = m_MainThread.Start(&CSnmpAgent::Thread_AgentMain, this, 0, false, kMainThreadStack);
    if (started) DBG_TRACE(3, L"\n%-20s: ...MIB main thread successfully started", g_AgentName);
    else DBG_TRACE(1, L"\n%-20s: ...MIB main thread NOT started", g_AgentName);
    return started;
  } catch (...) {
    DBG_TRACE(1, L"\n\n###########################################################################");
    DBG_TRACE(1, L"\n####                   Exception in StartAgent !!                        ####");
    DBG_TRACE(1, L"%s\n", kHashLine);
    SetAgentState(AGENT_STATE_EXCEPTION_INITMIB);
    SetAgentStatus(4);
    SetAgentLastError(L"exception occured");
    return false;
  }
}

void CSnmpAgent::SignalShutdown() {
  DBG_TRACE(3, L"\n%-20s: Set agents shutdown flag", g_AgentName);
  g_bShutdown = true;
  DBG_TRACE(3, L"\n%-20s: Signale shutdown to agents main thread ...", g_AgentName);
  if (m_hShutdownEvent) SetEvent(m_hShutdownEvent.Get());
  DBG_TRACE(1, L"\n%-20s: ##### AGENT SHUTDOWN SIGNALED #####", g_AgentName);
}

bool CSnmpAgent::RestartAgent(DWORD delayMs) {
  if (!StillActive(m_MainThread)) return false;
  DBG_TRACE(1, L"\n%-20s: Restart agent in %d seconds ..", g_AgentName, delayMs / 1000);
  m_dwRestartDelay = delayMs;
  SignalShutdown();
  return true;
}

bool CSnmpAgent::StopAgent() {
  try {
    DBG_TRACE(2, L"\n%-20s: Shutting down agent", g_AgentName);
    DBG_TRACE(3, L"\n%-20s: Cancel outstanding TARN calls...", g_AgentName);
    m_pTarnClient->CancelRequest(1);
    if (StillActive(m_MainThread)) {
      if (m_hStopWaitEvent) SetEvent(m_hStopWaitEvent.Get());
      SignalShutdown();
      DBG_TRACE(3, L"\n%-20s: Waiting for exit of agents main thread ...", g_AgentName);
      if (m_MainThread.WaitForTermination(m_dwStopWaitMs)) {
        DBG_TRACE(3, L"\n%-20s: Agent main thread did exit in time!", g_AgentName);
      } else {
        DBG_TRACE(1,
                  L"\n\n##%-20s: ERROR! Agent main thread did not terminate within 30 seconds! Thread is being "
                  L"killed!\n",
                  g_AgentName);
        m_MainThread.Kill(0);
      }
    } else {
      DBG_TRACE(3, L"\n%-20s: Agent main thread did already exit", g_AgentName);
    }
    DBG_TRACE(2, L"\n%-20s: Shut down agent completed", g_AgentName);
    return true;
  } catch (...) {
    DBG_TRACE(1, L"\n%-20s: ####  Exception in StopAgent() #### ", g_AgentName);
    SetAgentState(AGENT_STATE_EXCEPTION_CLOSE);
    return true;
  }
}

unsigned __stdcall CSnmpAgent::Thread_AgentMain(void* agent) {
  static_cast<CSnmpAgent*>(agent)->RunMainThread();
  return 0;
}

void CSnmpAgent::RunMainThread() {
  try {
    DBG_TRACE(2, L"\n\n%-20s: *** START THREAD Thread_AgentMain() ***\n", g_AgentName);
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool again = true;
    while (again) {
      SetAgentState(AGENT_STATE_STARTING);
      g_bShutdown = false;
      SetRequestsEnabled(false);
      m_dwRestartDelay = 0;
      again = ContinueAfterPass(RunAttachedPass());
    }
    DBG_TRACE(4, L"\n\n%-20s: Start CoUninitialize() ...", g_AgentName);
    if (com == S_OK || com == S_FALSE) CoUninitialize();
    DBG_TRACE(4, L"\n\n%-20s: ... CoUninitialize() done.", g_AgentName);
  } catch (...) {
    DBG_TRACE(1, L"\n%s", kHashLine);
    DBG_TRACE(1, L"\n####                   Exception in MIB Init Thread !!                    ####");
    DBG_TRACE(1, L"%s\n", kHashLine);
    SetAgentState(AGENT_STATE_EXCEPTION_INITMIB);
    SetAgentStatus(4);
    SetAgentLastError(L"exception occured");
  }
  DBG_TRACE(2, L"\n\n%-20s: *** EXIT THREAD Thread_AgentMain() ***\n", g_AgentName);
}

// One pass from attach to detach; false when the attach failed.
bool CSnmpAgent::RunAttachedPass() {
  m_pTarnClient->SetClientName(g_AgentName);
  if (!m_pTarnClient->Attach()) {
    DBG_TRACE(1, L"\n\n%-20s: ## ERROR 0x%X! TARN client attach FAILED!\n", g_AgentName, m_pTarnClient->GetLastError());
    return false;
  }
  m_pTarnClient->EnableCancelRequest(true);
  if (!g_bShutdown) {
    RunConfigChecks(*m_pTarnClient);
    if (g_bShutdown) {
      DBG_TRACE(2, L"\n%-20s: Agent's InitializeMib() not called - agent shutdown in progress!", g_AgentName);
    } else {
      DBG_TRACE(3, L"\n%-20s: Calling the agent's InitializeMib()...", g_AgentName);
      InitializeMib();
      DBG_TRACE(3, L"\n%-20s: ...agent's InitializeMib() completed", g_AgentName);
    }
    if (!g_bShutdown) {
      SetRequestsEnabled(true);
      DBG_TRACE(1, L"\n\n%-20s: **** Agent initialization finished - SNMP requests now enabled ****\n", g_AgentName);
      DBG_TRACE(3, L"\n%-20s: Enable RELAY events (with RequestQueuedEvents set)...", g_AgentName);
      m_pTarnClient->EnableEvents(true, true);
      DBG_TRACE(3, L"\n%-20s: ...RELAY events enabled!", g_AgentName);
      RunConfigChecks(*m_pTarnClient);
    }
    SetAgentState(AGENT_STATE_STARTED);
    SetAgentLastError(L"");
    if (m_hShutdownEvent) WaitForSingleObject(m_hShutdownEvent.Get(), INFINITE);

    DBG_TRACE(1, L"\n%-20s: Shutdown SNMP agent signaled!!", g_AgentName);
    SetAgentState(AGENT_STATE_STOPPING);
    g_bShutdown = true;
    DBG_TRACE(3, L"\n%-20s: Disable RELAY events ...", g_AgentName);
    m_pTarnClient->EnableEvents(false, false);
    DBG_TRACE(3, L"\n%-20s: ... RELAY events disabled", g_AgentName);
    DBG_TRACE(3, L"\n%-20s: Calling the agent's CloseMib()...", g_AgentName);
    CloseMib();
    DBG_TRACE(3, L"\n%-20s: ... CloseMib() done", g_AgentName);
    SetRequestsEnabled(false);
    DBG_TRACE(3, L"\n%-20s: delete MIB...", g_AgentName);
    {
      // Not while a request is inside the tree: the MIB lock comes before the tree lock.
      CCriticalSectionLock requests(m_MibLock);
      m_MibTree.Clear();
    }
    DBG_TRACE(3, L"\n%-20s: ... MIB deleted.", g_AgentName);
    SetAgentState(AGENT_STATE_STOPPED);
    DBG_TRACE(2, L"\n%-20s: Agent shutdown finished.", g_AgentName);
  }
  {
    // Requests read the table under the MIB lock.
    CCriticalSectionLock requests(m_MibLock);
    m_EnumMappingTable.clear();
  }
  m_pTarnClient->EnableCancelRequest(false);
  m_pTarnClient->Detach();
  return true;
}

// Whether the main loop begins another pass.
bool CSnmpAgent::ContinueAfterPass(bool attached) {
  const DWORD restartDelay = m_dwRestartDelay;
  if (restartDelay) {
    DBG_TRACE(2, L"\n%-20s: Agent will internally restart in %d seconds", g_AgentName, restartDelay / 1000);
    if (StopRequestedWithin(m_hStopWaitEvent.Get(), restartDelay)) {
      DBG_TRACE(2, L"\n%-20s: Agent shutdown signaled - restart aborted!", g_AgentName);
      g_bShutdown = true;
      return false;
    }
    g_bShutdown = false;
    if (m_hShutdownEvent) ResetEvent(m_hShutdownEvent.Get());
    DBG_TRACE(1, L"\n\n%-20s: ***************************************************", g_AgentName);
    DBG_TRACE(1, L"\n%-20s: Initiate agent restart", g_AgentName);
    DBG_TRACE(1, L"\n%-20s: ***************************************************\n", g_AgentName);
    return !g_bShutdown;
  }
  if (attached || g_bShutdown) return false;
  DBG_TRACE(2, L"\n%-20s: Retry TARN connect in %d seconds", g_AgentName, m_dwAttachRetryMs / 1000);
  if (StopRequestedWithin(m_hStopWaitEvent.Get(), m_dwAttachRetryMs)) {
    DBG_TRACE(2, L"\n%-20s: Agent shutdown signaled - TARN connect retry aborted!", g_AgentName);
    g_bShutdown = true;
    return false;
  }
  DBG_TRACE(2, L"\n%-20s: Start TARN connect retry", g_AgentName);
  return !g_bShutdown;
}

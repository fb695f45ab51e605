// The watcher thread: connect (retry every minute), enumerate, rebuild, listen on the
// notification port, close and connect afresh after any loss, until shutdown.
#include "cluster_agent.h"

#include <process.h>

#include <vector>

#include "debug_trace.h"

namespace {

constexpr DWORD kDefaultNotificationFilter = 0xFFFFFF0F;  // all but the four registry codes

}  // namespace

unsigned __stdcall CClusterAgent::Thread_EvtMain(void* agent) {
  static_cast<CClusterAgent*>(agent)->EvtMain();
  _endthreadex(0);
  return 0;
}

void CClusterAgent::EvtMain() {
  DBG_TRACE(1, L"\nCClusterAgent       : START THREAD EvtMain()");
  bool connected = false;
  for (;;) {
    if (g_bShutdown) {
      DBG_TRACE(1, L"\nCClusterAgent       : EXIT THREAD EvtMain(): !");
      return;
    }
    while (!connected && !g_bShutdown) {
      if (ConnectOnce(connected)) break;
    }
    if (connected && !g_bShutdown && !OpenNotificationPort()) {
      connected = false;
      Sleep(1000);
    }
    ListenForNotifications(connected);
    CloseCluster();
  }
}

// One connect attempt; true ends the connect phase (connected, or shutdown).
bool CClusterAgent::ConnectOnce(bool& connected) {
  try {
    DBG_TRACE(2, L"\nCClusterAgent       : EvtMain:  Check if cluster service is running ...");
    {
      CMibTableLock lock(m_hMibTableMutex.Get(), m_dwMibTableWaitMs);
      if (!lock.Held()) {
        DBG_TRACE(1, L"\nCClusterAgent       : ERROR! Time out waiting for MIB table!");
      } else if (m_Cluster.Open(nullptr)) {
        DBG_TRACE(3, L"\nCClusterAgent       : EvtMain:  OpenCluster() success!");
        m_Cluster.EnumerateAll();
        connected = true;
      } else {
        DBG_TRACE(1, L"\nCClusterAgent       : ERROR 0x%X OpenCluster() FAILED!", GetLastError());
      }
    }
    DBG_TRACE(2, L"\nCClusterAgent       : EvtMain:  .. cluster service is %srunning!", connected ? L"" : L"NOT ");
    OnClusterState(connected ? 1 : 0);
    if (connected) {
      SetRegClusterIpAddress();
      RefreshQuorumResourceName();
      BuildMib();
      return true;
    }
    DBG_TRACE(1, L"\nCClusterAgent       : EvtMain:  Waiting %d seonds for cluster service connect ...",
              static_cast<int>(m_dwConnectRetryMs / 1000));
    if (m_hWakeUpEvent) WaitForSingleObject(m_hWakeUpEvent.Get(), m_dwConnectRetryMs);
    return false;
  } catch (...) {
    DBG_TRACE(1, L"\n\nCClusterAgent       : ## ERROR! EvtMain(): ACCESS VIOLATION! ##\n");
    return connected;
  }
}

DWORD CClusterAgent::NotificationFilter() {
  DWORD filter = kDefaultNotificationFilter;
  GetAgentRegParam(L"Notification Filter", filter, true);
  filter |= CLUSTER_CHANGE_CLUSTER_STATE;
  DBG_TRACE(2, L"\nCClusterAgent       : Notification filter is 0x%08X!", filter);
  return filter;
}

bool CClusterAgent::OpenNotificationPort() {
  if (!m_Cluster.OpenNotifyPort(NotificationFilter(), static_cast<HCHANGE>(INVALID_HANDLE_VALUE), 0)) {
    DBG_TRACE(1, L"\nCClusterAgent       : EvtMain:  ERROR 0x%X CreateNotifyPort() FAILED!", GetLastError());
    return false;
  }
  DBG_TRACE(3, L"\nCClusterAgent       : EvtMain:  CreateClusterNotifyPort() success!");
  return true;
}

void CClusterAgent::ListenForNotifications(bool& connected) {
  std::vector<WCHAR> name(kNotifyNameLength);
  while (connected && !g_bShutdown) {
    try {
      DBG_TRACE(2, L"\nCClusterAgent       : EvtMain:  Waiting for cluster notification ...");
      DWORD_PTR key = 0;
      DWORD filterType = 0;
      DWORD nameLength = kNotifyNameLength;
      name[0] = L'\0';
      const HCHANGE port = m_Cluster.GetNotifyPort();
      const DWORD result = port ? GetClusterNotify(port, &key, &filterType, name.data(), &nameLength,
                                                   m_dwNotifyTimeoutMs)
                                : static_cast<DWORD>(ERROR_INVALID_HANDLE);
      if (g_bShutdown) {
        DBG_TRACE(1, L"\nCClusterAgent       : EvtMain:  CloseMib() signaled!.");
        break;
      }
      if (result == ERROR_SUCCESS) {
        DBG_TRACE(2, L"\nCClusterAgent       : EvtMain:  ## Got cluster notification 0x%08X (object name \"%ws\") ##",
                  filterType, name.data());
        OnClusterNotification(filterType, name.data(), nameLength);
        if (filterType == CLUSTER_CHANGE_CLUSTER_STATE) {
          DBG_TRACE(2, L"\nCClusterAgent       : EvtMain:  Global cluster state changed - check cluster service!");
          connected = false;
        }
      } else if (result == WAIT_TIMEOUT) {
        DBG_TRACE(2, L"\nCClusterAgent       : EvtMain:  ## Wait for notification timed out ##");
        connected = false;
      } else {
        DBG_TRACE(1, L"\nCClusterAgent       : EvtMain:  ERROR 0x%X! GetClusterNotify() failed.", result);
        connected = false;
      }
    } catch (...) {
      DBG_TRACE(1, L"\n\nCClusterAgent       : ## ERROR! EvtMain(): ACCESS VIOLATION! ##\n");
      connected = false;
      Sleep(1000);
    }
  }
}

bool CClusterAgent::CloseCluster() {
  CMibTableLock lock(m_hMibTableMutex.Get(), m_dwMibTableWaitMs);
  if (!lock.Held()) {
    DBG_TRACE(1, L"\nCClusterAgent       : EvtMain(): ERROR! Time out waiting for MIB table!");
    return false;
  }
  DBG_TRACE(2, L"\n\nClusterAgent       : Close cluster API...");
  try {
    m_Cluster.CloseNotifyPort();
    m_Cluster.Close();
  } catch (...) {
    DBG_TRACE(1, L"\n\nCClusterAgent       : ## ERROR! EvtMain(): ACCESS VIOLATION during Cluster Close! ##\n");
  }
  DBG_TRACE(2, L"\n\nClusterAgent       : ...cluster API closed.");
  return true;
}

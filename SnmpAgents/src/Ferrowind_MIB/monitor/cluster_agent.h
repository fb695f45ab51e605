// The cluster agent: the framework agent that publishes the cluster MIB, rebuilds it
// before a request once a change has been seen, watches the cluster on its own thread
// and turns the cluster's notifications and its loss and return into traps.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <atomic>
#include <string>

#include "cluster.h"
#include "cluster_ip_address.h"
#include "cluster_mib_builder.h"
#include "mib_table_lock.h"
#include "snmp_agent.h"
#include "thread.h"
#include "win32_handle.h"

// The one MIB region of the cluster agent.
inline constexpr const wchar_t* kClusterAgentRegion = L".1.3.6.1.4.1.884.2.10.2.9.1";
inline constexpr const wchar_t* kClusterTrapEnterprise = L".1.3.6.1.4.1.884";
inline constexpr const wchar_t* kClusterServiceName = L"ClusSvc";
inline constexpr const wchar_t* kConfigChangeSubkey = L"Parameters\\VolatileParameters\\ClusterConfigChange";

// What a notification trap carries: the CLUSTER_CHANGE code (or 0) and the object name.
struct CClusterTrapArgument {
  LONG Number = 0;
  std::wstring Name;
};

class CClusterAgent : public CSnmpAgent {
 public:
  CClusterAgent();
  ~CClusterAgent() override;

  bool InitializeMib() override;
  void CloseMib() override;
  DWORD GetAgentCode() override { return 5; }
  bool OnPreSnmpQuery(BYTE requestType, SnmpVarBindList* varbinds, AsnInteger32* errorStatus,
                      AsnInteger32* errorIndex) override;
  bool InitSupportedRegions() override { return false; }

  // Rebuilds the whole tree under the MIB table mutex; false on timeout or a fault.
  bool BuildMib();
  bool SetRegClusterConfigChange(const wchar_t* subkey);
  void SetRegClusterIpAddress();
  void RefreshQuorumResourceName();
  bool GetClusterIPAddress(CIpAddress& address);

  // The watcher thread and what it calls.
  static unsigned __stdcall Thread_EvtMain(void* agent);
  void EvtMain();
  void OnClusterState(LONG accessible);
  void OnClusterNotification(DWORD filterType, const wchar_t* objectName, DWORD nameLength);
  using CSnmpAgent::CreateTrap;
  bool CreateTrap(DWORD trapNumber, const CClusterTrapArgument& argument);

  // True when the watcher thread has ended (or never ran) within the wait.
  bool WaitForWatcher(DWORD timeoutMs) { return m_EvtThread.WaitForTermination(timeoutMs); }
  bool IsRebuildNeeded() const { return m_bRebuildNeeded; }
  // Builds run since construction, for tests and benchmarks.
  DWORD BuildCount() const { return m_dwBuildCount; }
  LONG GetClusterAccessState() const { return m_lClusterAccessState; }
  CCluster& GetCluster() { return m_Cluster; }
  const std::wstring& GetQuorumResourceName() const { return m_QuorumResourceName; }

  // The capacity of the notification name buffer in characters: the longest object name
  // reported; a longer one makes the watcher reconnect.
  static constexpr DWORD kNotifyNameLength = 1024;

 protected:
  // Waits that the tests shorten.
  DWORD m_dwConnectRetryMs = 60000;
  DWORD m_dwMibTableWaitMs = kMibTableMutexTimeoutMs;
  DWORD m_dwCloseGraceMs = 1000;
  DWORD m_dwNotifyTimeoutMs = 10800000;
  CClusterMibBuilder& Builder() { return m_Builder; }

 private:
  bool ConnectOnce(bool& connected);
  bool OpenNotificationPort();
  void ListenForNotifications(bool& connected);
  bool CloseCluster();
  DWORD NotificationFilter();

  CKernelHandle m_hMibTableMutex;
  CKernelHandle m_hWakeUpEvent;
  CThread m_EvtThread;
  CCluster m_Cluster;
  std::wstring m_QuorumResourceName;
  std::atomic<LONG> m_lClusterAccessState{-1};
  DWORD m_dwFailedAccessCount = 0;
  std::atomic<bool> m_bRebuildNeeded{true};
  std::atomic<DWORD> m_dwBuildCount{0};
  CClusterIpAddressFinder m_IpAddressFinder;
  CClusterMibBuilder m_Builder{m_Cluster, m_IpAddressFinder};
};

// The build of the cluster MIB: the agent information, cluster information and table
// sections, registered as read-only constants into a fresh tree that replaces the
// published one in one step, so a request never sees a half-built MIB.
#pragma once

#include <windows.h>

#include <memory>

#include "cluster.h"
#include "cluster_ip_address.h"
#include "cluster_mib_source.h"
#include "mib_tree.h"

// How long a build waits for the MIB table mutex.
inline constexpr DWORD kMibTableMutexTimeoutMs = 15000;

class CClusterMibBuilder {
 public:
  // The cluster and the address finder belong to the agent, which outlives the builder.
  CClusterMibBuilder(CCluster& cluster, CClusterIpAddressFinder& ipAddressFinder);

  // Rebuilds `published` under the MIB table mutex: true when the tree was rebuilt, false
  // when the mutex was not obtained (the tree is untouched) or the build was cut short
  // by a fault (the tree holds what was built up to the fault).
  bool BuildMib(CSnmpMibTree& published);

  // The three sections, in build order; the agent information also alone at start.
  void AddAgentInformation(CSnmpMibTree& tree);
  void AddClusterInformation(CSnmpMibTree& tree);
  void AddTables(CSnmpMibTree& tree);

  // The mutex shared with the notification handling; not owned. Null: no build runs.
  void SetMibTableMutex(HANDLE mutex) { m_hMibTableMutex = mutex; }
  void SetMutexTimeout(DWORD milliseconds) { m_dwMutexTimeoutMs = milliseconds; }
  DWORD GetMutexTimeout() const { return m_dwMutexTimeoutMs; }
  // Another source of the relations (the default reads each relation once per build).
  void SetSource(std::unique_ptr<CClusterMibSource> source) { m_source = std::move(source); }

 private:
  void AddNetworks(CSnmpMibTree& tree);
  void AddNodes(CSnmpMibTree& tree);
  void AddNetInterfaces(CSnmpMibTree& tree);
  void AddResourceTypes(CSnmpMibTree& tree);
  void AddGroups(CSnmpMibTree& tree);
  void AddResources(CSnmpMibTree& tree);
  void AddPreferredNodes(CSnmpMibTree& tree);
  void AddDependencies(CSnmpMibTree& tree);
  bool BuildInto(CSnmpMibTree& staging);

  CCluster& m_cluster;
  CClusterIpAddressFinder& m_ipAddressFinder;
  std::unique_ptr<CClusterMibSource> m_source;
  HANDLE m_hMibTableMutex = nullptr;
  DWORD m_dwMutexTimeoutMs = kMibTableMutexTimeoutMs;
};

// What a MIB build reads about how the cluster's objects relate: owners, interface ends,
// client addresses, group contents, dependencies. The build reads states and property
// lists by name itself; these relations are the reads that a literal search repeats for
// every object, so a build gets them from a source that can read each relation once.
#pragma once

#include <windows.h>

#include <vector>

#include "cluster.h"

class CClusterMibSource {
 public:
  virtual ~CClusterMibSource() = default;

  // Called at the start of every build: forget what an earlier build read.
  virtual void BeginBuild() = 0;

  virtual bool OwnerNodeOfGroup(CClusterNode& node, const CClusterGroup& group) = 0;
  virtual bool NodeAndNetworkOfNetInterface(CClusterNode& node, CClusterNetwork& network,
                                            const CClusterNetInterface& netInterface) = 0;
  virtual void NodeIPAddresses(std::vector<CIpAddress>& addresses, const CClusterNode& node) = 0;
  // The read-only common list of an interface; the Win32 result of the read.
  virtual DWORD NetInterfaceReadOnlyList(CByteBuffer& list, const CClusterNetInterface& netInterface) = 0;

  // A group's resources with their Type, Address and Network.
  virtual DWORD GroupResources(std::vector<CClusterResource>& resources, const CClusterGroup& group) = 0;
  virtual DWORD ResourcePrivateList(CByteBuffer& list, const CClusterResource& resource) = 0;
  virtual bool ResourceTypeOfResource(CClusterResourceType& type, const CClusterResource& resource) = 0;
  virtual bool NetworkOfResource(CClusterNetwork& network, const CClusterResource& resource) = 0;
  // Dependencies with their names and positions.
  virtual DWORD ResourceDependencies(std::vector<CClusterResource>& dependencies, const CClusterResource& resource) = 0;
  virtual bool GroupOfResource(CClusterGroup& group, const CClusterResource& resource) = 0;

  // Preferred owners with their names and positions.
  virtual DWORD PreferredNodes(std::vector<CClusterNode>& nodes, const CClusterGroup& group) = 0;
  // Position + 1 of the first listed node of that name, or 0.
  virtual DWORD NodeRowOfName(const std::wstring& name) = 0;
};

// Links CCluster into an executable, so that the Windows build resolves every Cluster
// API and resutils import the cluster access layer uses. Not run: Wine's clusapi.dll aborts.
#include "cluster.h"

int main(int argc, char**) {
  if (argc < 2) return 0;
  CCluster cluster;
  if (!cluster.Open(nullptr)) return 1;
  cluster.EnumerateAll();
  std::vector<CIpAddress> addresses;
  cluster.GetNodeIPAddresses(addresses, L"node");
  CIpAddress address;
  cluster.GetClusterIPAddress(address);
  cluster.GetVirtualIPAddress(address, L"Cluster IP Address");
  CClusterNode node;
  CClusterNetwork network;
  cluster.FindNodeAndNetworkOfNetInterface(node, network, L"x");
  CClusterResource resource;
  CClusterGroup group;
  cluster.FindGroupOfResource(group, resource);
  std::vector<CClusterNode> nodes;
  GetGroupPreferredNodes(nodes, L"g");
  std::vector<CClusterResource> dependencies;
  GetResourceDependencies(dependencies, L"r");
  CByteBuffer list, multi;
  GetResourceTypeControlData(list, CLUSCTL_RESOURCE_TYPE_GET_COMMON_PROPERTIES, L"t");
  FindMultiSzProperty(list, multi, L"AdminExtensions");
  std::wstring quorum, device;
  DWORD size = 0;
  cluster.GetQuorumResource(quorum, device, size);
  CLUSTERVERSIONINFO info;
  cluster.GetClusterInfo(info, quorum);
  cluster.OpenNotifyPort(CLUSTER_CHANGE_ALL, reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), 0);
  return cluster.Close() ? 1 : 0;
}

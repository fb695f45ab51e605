#include "cluster_ip_address.h"

#include "debug_trace.h"

namespace {

constexpr CDefaultIpResourceName kDefaultNames[] = {
    {9, L"Cluster IP Address"},
    {12, L"Adresse IP du cluster"},
    {7, L"IP-Adresse f\u00fcr Cluster"},
};

}  // namespace

bool CClusterIpAddressFinder::GetClusterIPAddress(CCluster& cluster, CIpAddress& address) {
  if (m_cached.LanguageId != 0) {
    if (cluster.GetVirtualIPAddress(address, m_cached.Name)) return true;
  } else {
    for (const auto& entry : kDefaultNames) {
      if (!cluster.GetVirtualIPAddress(address, entry.Name)) continue;
      m_cached = entry;
      return true;
    }
  }
  DBG_TRACE(2, L"\nCClusterAgent       : IP address default resouce not found - search IP address on cluster!");
  if (cluster.GetClusterIPAddress(address)) return true;
  DBG_TRACE(2, L"\nCClusterAgent       : IP address resouce name missmatch - search first available IP address resource on cluster!");
  return cluster.GetVirtualIPAddress(address, nullptr);
}

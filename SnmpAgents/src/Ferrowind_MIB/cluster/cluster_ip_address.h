// The address under which clients reach the cluster: through the default name of the
// cluster's IP address resource (English, French or German), then through the group that
// holds the quorum resource, then the first IP address resource of the cluster. The
// cluster agent keeps one finder, so that the default name found first is remembered
// for the agent's life, across reconnects.
#pragma once

#include <windows.h>

#include "cluster.h"

struct CDefaultIpResourceName {
  WORD LanguageId;  // primary language id; 0 while nothing is cached
  const wchar_t* Name;
};

class CClusterIpAddressFinder {
 public:
  bool GetClusterIPAddress(CCluster& cluster, CIpAddress& address);
  const CDefaultIpResourceName& CachedName() const { return m_cached; }

 private:
  CDefaultIpResourceName m_cached = {0, nullptr};
};

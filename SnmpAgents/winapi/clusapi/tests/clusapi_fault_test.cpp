// What the Cluster API returns when the cluster service fails a read: an open that fails
// with its error as last error, a state read that gives -1 and the last error, a control
// read that returns the error. Faults come from the scenario and from clussim. Names of
// preferred owners and interface ends reach the caller as the service holds them.
#include <windows.h>
#include <clusapi.h>
#include <resapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

enum class Read { State, Open, Common, ReadOnly, Private };
constexpr Read kReads[] = {Read::State, Read::Open, Read::Common, Read::ReadOnly, Read::Private};

const char* ReadWord(Read read) {
  switch (read) {
    case Read::State: return "state";
    case Read::Open: return "open";
    case Read::Common: return "common";
    case Read::ReadOnly: return "readonly";
    case Read::Private: return "private";
  }
  return "?";
}

// One object kind as the Cluster API reaches it. Resource types are not opened: their
// control call takes the name, and they have no state.
struct KindApi {
  const char* word;
  std::function<HANDLE(HCLUSTER, LPCWSTR)> open;
  std::function<int(HANDLE)> state;
  std::function<DWORD(HCLUSTER, LPCWSTR, HANDLE, DWORD, LPVOID, DWORD, LPDWORD)> control;
  std::function<void(HANDLE)> close;
  DWORD common, readOnly, priv;
};

const KindApi& Api(const std::string& word) {
  static const std::vector<KindApi> apis = {
      {"node", [](HCLUSTER c, LPCWSTR n) { return static_cast<HANDLE>(OpenClusterNode(c, n)); },
       [](HANDLE h) { return static_cast<int>(GetClusterNodeState(static_cast<HNODE>(h))); },
       [](HCLUSTER, LPCWSTR, HANDLE h, DWORD code, LPVOID out, DWORD size, LPDWORD got) {
         return ClusterNodeControl(static_cast<HNODE>(h), nullptr, code, nullptr, 0, out, size, got);
       },
       [](HANDLE h) { CloseClusterNode(static_cast<HNODE>(h)); }, CLUSCTL_NODE_GET_COMMON_PROPERTIES,
       CLUSCTL_NODE_GET_RO_COMMON_PROPERTIES, CLUSCTL_NODE_GET_PRIVATE_PROPERTIES},
      {"group", [](HCLUSTER c, LPCWSTR n) { return static_cast<HANDLE>(OpenClusterGroup(c, n)); },
       [](HANDLE h) {
         WCHAR node[260] = L"untouched";
         DWORD cch = 260;
         const int state = static_cast<int>(GetClusterGroupState(static_cast<HGROUP>(h), node, &cch));
         if (state == -1) {
           EXPECT_STREQ(node, L"untouched");  // no owner from a failed read
         }
         return state;
       },
       [](HCLUSTER, LPCWSTR, HANDLE h, DWORD code, LPVOID out, DWORD size, LPDWORD got) {
         return ClusterGroupControl(static_cast<HGROUP>(h), nullptr, code, nullptr, 0, out, size, got);
       },
       [](HANDLE h) { CloseClusterGroup(static_cast<HGROUP>(h)); }, CLUSCTL_GROUP_GET_COMMON_PROPERTIES,
       CLUSCTL_GROUP_GET_RO_COMMON_PROPERTIES, CLUSCTL_GROUP_GET_PRIVATE_PROPERTIES},
      {"resource", [](HCLUSTER c, LPCWSTR n) { return static_cast<HANDLE>(OpenClusterResource(c, n)); },
       [](HANDLE h) {
         return static_cast<int>(GetClusterResourceState(static_cast<HRESOURCE>(h), nullptr, nullptr, nullptr, nullptr));
       },
       [](HCLUSTER, LPCWSTR, HANDLE h, DWORD code, LPVOID out, DWORD size, LPDWORD got) {
         return ClusterResourceControl(static_cast<HRESOURCE>(h), nullptr, code, nullptr, 0, out, size, got);
       },
       [](HANDLE h) { CloseClusterResource(static_cast<HRESOURCE>(h)); }, CLUSCTL_RESOURCE_GET_COMMON_PROPERTIES,
       CLUSCTL_RESOURCE_GET_RO_COMMON_PROPERTIES, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES},
      {"restype", nullptr, nullptr,
       [](HCLUSTER c, LPCWSTR n, HANDLE, DWORD code, LPVOID out, DWORD size, LPDWORD got) {
         return ClusterResourceTypeControl(c, n, nullptr, code, nullptr, 0, out, size, got);
       },
       nullptr, CLUSCTL_RESOURCE_TYPE_GET_COMMON_PROPERTIES, CLUSCTL_RESOURCE_TYPE_GET_RO_COMMON_PROPERTIES,
       CLUSCTL_RESOURCE_TYPE_GET_PRIVATE_PROPERTIES},
      {"network", [](HCLUSTER c, LPCWSTR n) { return static_cast<HANDLE>(OpenClusterNetwork(c, n)); },
       [](HANDLE h) { return static_cast<int>(GetClusterNetworkState(static_cast<HNETWORK>(h))); },
       [](HCLUSTER, LPCWSTR, HANDLE h, DWORD code, LPVOID out, DWORD size, LPDWORD got) {
         return ClusterNetworkControl(static_cast<HNETWORK>(h), nullptr, code, nullptr, 0, out, size, got);
       },
       [](HANDLE h) { CloseClusterNetwork(static_cast<HNETWORK>(h)); }, CLUSCTL_NETWORK_GET_COMMON_PROPERTIES,
       CLUSCTL_NETWORK_GET_RO_COMMON_PROPERTIES, CLUSCTL_NETWORK_GET_PRIVATE_PROPERTIES},
      {"netinterface", [](HCLUSTER c, LPCWSTR n) { return static_cast<HANDLE>(OpenClusterNetInterface(c, n)); },
       [](HANDLE h) { return static_cast<int>(GetClusterNetInterfaceState(static_cast<HNETINTERFACE>(h))); },
       [](HCLUSTER, LPCWSTR, HANDLE h, DWORD code, LPVOID out, DWORD size, LPDWORD got) {
         return ClusterNetInterfaceControl(static_cast<HNETINTERFACE>(h), nullptr, code, nullptr, 0, out, size, got);
       },
       [](HANDLE h) { CloseClusterNetInterface(static_cast<HNETINTERFACE>(h)); },
       CLUSCTL_NETINTERFACE_GET_COMMON_PROPERTIES, CLUSCTL_NETINTERFACE_GET_RO_COMMON_PROPERTIES,
       CLUSCTL_NETINTERFACE_GET_PRIVATE_PROPERTIES},
  };
  for (const auto& api : apis) {
    if (word == api.word) return api;
  }
  ADD_FAILURE() << "no kind " << word;
  return apis.front();
}

std::string Utf8(const std::wstring& text) {
  char buffer[512] = {};
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, nullptr, nullptr);
  return buffer;
}

bool Applies(const KindApi& api, Read read) { return api.open || (read != Read::State && read != Read::Open); }

// The Win32 error that one read of an object ends with (ERROR_SUCCESS when it answers),
// checked against the Cluster API's documented way of reporting it.
DWORD Observe(HCLUSTER cluster, const KindApi& api, const std::wstring& name, Read read) {
  HANDLE object = nullptr;
  if (api.open) {
    SetLastError(0xdeadbeef);
    object = api.open(cluster, name.c_str());
    if (!object) return GetLastError();
  }
  DWORD result = ERROR_SUCCESS;
  if (read == Read::State) {
    SetLastError(0xdeadbeef);
    if (api.state(object) == -1) result = GetLastError();
  } else if (read != Read::Open) {
    const DWORD code = read == Read::Common ? api.common : read == Read::ReadOnly ? api.readOnly : api.priv;
    std::vector<BYTE> list(8192);
    DWORD returned = 0;
    result = api.control(cluster, name.c_str(), object, code, list.data(), static_cast<DWORD>(list.size()), &returned);
  }
  if (object) api.close(object);
  return result;
}

class ClusApiFaults : public ::testing::Test {
 protected:
  void Start(const char* scenario) {
    ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario(scenario)));
    cluster = OpenCluster(nullptr);
    ASSERT_NE(cluster, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (cluster) CloseCluster(cluster);
  }
  int Fault(const std::string& kind, const std::string& name, const std::string& what, const std::string& error = "") {
    std::vector<std::string> args = {"fault", kind, name, what};
    if (!error.empty()) args.push_back(error);
    std::string output;
    const int code = sim.Control(args, &output);
    EXPECT_EQ(code, 0) << output;
    return code;
  }

  ClusterSimulator sim;
  HCLUSTER cluster = nullptr;
};

// Every read of every kind in turn: the fault hits that read only, and clearing it (all
// at once, or that one with error 0) makes it answer again.
TEST_F(ClusApiFaults, EveryFaultSetByClussimHitsItsReadOnly) {
  Start("two-node-fileserver.json");
  struct Object {
    const char* kind;
    const wchar_t* name;
  };
  const Object objects[] = {{"node", L"FS-NODE1"},           {"group", L"Files"},   {"resource", L"Disk S:"},
                            {"restype", L"Physical Disk"},   {"network", L"Public"},
                            {"netinterface", L"FS-NODE1 - Public"}};
  const DWORD errors[] = {ERROR_ACCESS_DENIED, RPC_S_SERVER_UNAVAILABLE, ERROR_NOT_FOUND, ERROR_INVALID_DATA,
                          ERROR_CLUSTER_NODE_NOT_FOUND};
  for (const auto& object : objects) {
    const KindApi& api = Api(object.kind);
    const std::string name = Utf8(object.name);
    for (std::size_t i = 0; i < std::size(kReads); ++i) {
      const Read faulty = kReads[i];
      if (!Applies(api, faulty)) continue;
      const DWORD error = errors[i];
      SCOPED_TRACE(std::string(object.kind) + " " + name + " " + ReadWord(faulty));
      ASSERT_EQ(Fault(object.kind, name, ReadWord(faulty), std::to_string(error)), 0);
      for (const Read read : kReads) {
        if (!Applies(api, read)) continue;
        // An object that cannot be opened cannot be read either.
        const bool hit = read == faulty || (faulty == Read::Open && api.open);
        EXPECT_EQ(Observe(cluster, api, object.name, read), hit ? error : static_cast<DWORD>(ERROR_SUCCESS))
            << ReadWord(read);
      }
      if (i % 2) ASSERT_EQ(Fault(object.kind, name, "clear"), 0);
      else ASSERT_EQ(Fault(object.kind, name, ReadWord(faulty), "0"), 0);
      EXPECT_EQ(Observe(cluster, api, object.name, faulty), static_cast<DWORD>(ERROR_SUCCESS));
    }
  }
}

TEST_F(ClusApiFaults, ScenarioFaultsUntilCleared) {
  Start("faults.json");
  struct Case {
    const char* kind;
    const wchar_t* name;
    Read read;
    DWORD error;
  };
  const Case cases[] = {
      {"node", L"FT-NODE1", Read::State, ERROR_SUCCESS},
      {"node", L"FT-NODE2", Read::State, RPC_S_SERVER_UNAVAILABLE},
      {"node", L"FT-NODE2", Read::Common, ERROR_SUCCESS},
      {"node", L"FT-NODE3", Read::Open, ERROR_ACCESS_DENIED},
      {"node", L"FT-NODE3", Read::Common, ERROR_ACCESS_DENIED},
      {"network", L"Private", Read::State, ERROR_ACCESS_DENIED},
      {"network", L"Private", Read::ReadOnly, ERROR_ACCESS_DENIED},
      {"netinterface", L"FT-NODE2 - Public", Read::ReadOnly, ERROR_NOT_FOUND},
      {"netinterface", L"FT-NODE2 - Public", Read::Common, ERROR_SUCCESS},
      {"restype", L"Generic Application", Read::Common, ERROR_NOT_FOUND},
      {"restype", L"Generic Application", Read::ReadOnly, ERROR_ACCESS_DENIED},
      {"restype", L"IP Address", Read::Common, ERROR_SUCCESS},
      {"group", L"Unreadable", Read::State, ERROR_ACCESS_DENIED},
      {"group", L"Unreadable", Read::Common, ERROR_NOT_FOUND},
      {"resource", L"Private Unreadable", Read::Private, ERROR_ACCESS_DENIED},
      {"resource", L"Private Unreadable", Read::Common, ERROR_SUCCESS},
      {"resource", L"Faulty IP", Read::State, ERROR_ACCESS_DENIED},
      {"resource", L"Faulty IP", Read::Private, ERROR_NOT_FOUND},
      {"resource", L"Unopenable", Read::Open, ERROR_RESOURCE_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Observe(cluster, Api(c.kind), c.name, c.read), c.error) << c.kind << " " << ReadWord(c.read);
  }
  for (const auto& c : cases) {
    if (c.error) Fault(c.kind, Utf8(c.name), "clear");
  }
  for (const auto& c : cases) {
    EXPECT_EQ(Observe(cluster, Api(c.kind), c.name, c.read), static_cast<DWORD>(ERROR_SUCCESS))
        << c.kind << " " << ReadWord(c.read);
  }
  // A load brings the new scenario's faults and none of the old.
  ASSERT_EQ(Fault("node", "FT-NODE1", "state", "5"), 0);
  ASSERT_EQ(sim.Control({"load", ClusterSimulator::Scenario("faults.json")}), 0);
  CloseCluster(cluster);
  cluster = OpenCluster(nullptr);
  ASSERT_NE(cluster, nullptr);
  EXPECT_EQ(Observe(cluster, Api("node"), L"FT-NODE1", Read::State), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Observe(cluster, Api("node"), L"FT-NODE2", Read::State), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

std::vector<std::wstring> PreferredOwners(HCLUSTER cluster, LPCWSTR group) {
  std::vector<std::wstring> names;
  HGROUP g = OpenClusterGroup(cluster, group);
  if (!g) return names;
  HGROUPENUM e = ClusterGroupOpenEnum(g, CLUSTER_GROUP_ENUM_NODES);
  for (DWORD i = 0; e; ++i) {
    WCHAR name[260];
    DWORD cch = 260, type = 0;
    if (ClusterGroupEnum(e, i, &type, name, &cch) != ERROR_SUCCESS) break;
    names.push_back(name);
  }
  if (e) ClusterGroupCloseEnum(e);
  CloseClusterGroup(g);
  return names;
}

std::wstring ReadOnlyText(HCLUSTER cluster, LPCWSTR itf, LPCWSTR property) {
  HNETINTERFACE h = OpenClusterNetInterface(cluster, itf);
  if (!h) return L"(no open)";
  std::vector<BYTE> list(4096);
  DWORD returned = 0;
  std::wstring text = L"(no read)";
  if (ClusterNetInterfaceControl(h, nullptr, CLUSCTL_NETINTERFACE_GET_RO_COMMON_PROPERTIES, nullptr, 0, list.data(),
                                 4096, &returned) == ERROR_SUCCESS) {
    LPWSTR value = nullptr;
    text = L"(missing)";
    if (ResUtilFindSzProperty(list.data(), returned, property, &value) == ERROR_SUCCESS) text = value;
    LocalFree(value);
  }
  CloseClusterNetInterface(h);
  return text;
}

TEST_F(ClusApiFaults, NamesReachTheCallerAsWritten) {
  Start("faults.json");
  EXPECT_EQ(PreferredOwners(cluster, L"Unreadable"),
            (std::vector<std::wstring>{L"ft-node2", L"NO-SUCH-NODE", L"FT-NODE1"}));
  EXPECT_EQ(PreferredOwners(cluster, L"Defaults"), (std::vector<std::wstring>{L"NO-SUCH-NODE"}));

  ASSERT_EQ(Fault("netinterface", "FT-NODE2 - Public", "clear"), 0);
  struct Case {
    const wchar_t* itf;
    const wchar_t* node;
    const wchar_t* network;
  };
  const Case ends[] = {{L"FT-NODE2 - Public", L"ft-node2", L"public"},
                       {L"FT-GHOST - Public", L"FT-GHOST", L"Public"},
                       {L"FT-NODE1 - Lost", L"FT-NODE1", L"Lost Network"}};
  for (const auto& c : ends) {
    EXPECT_EQ(ReadOnlyText(cluster, c.itf, L"Node"), c.node) << c.itf;
    EXPECT_EQ(ReadOnlyText(cluster, c.itf, L"Network"), c.network) << c.itf;
  }

  // The interface of a node and a network matches what the service holds in any case.
  struct Lookup {
    const wchar_t* node;
    const wchar_t* network;
    DWORD result;
    const wchar_t* itf;
  };
  const Lookup lookups[] = {
      {L"FT-NODE2", L"PUBLIC", ERROR_SUCCESS, L"FT-NODE2 - Public"},
      {L"ft-node1", L"public", ERROR_SUCCESS, L"FT-NODE1 - Public"},
      {L"FT-GHOST", L"Public", ERROR_SUCCESS, L"FT-GHOST - Public"},
      {L"FT-NODE1", L"lost network", ERROR_SUCCESS, L"FT-NODE1 - Lost"},
      {L"FT-NODE3", L"Public", ERROR_CLUSTER_NETINTERFACE_NOT_FOUND, nullptr},
      {L"NOBODY", L"Public", ERROR_CLUSTER_NODE_NOT_FOUND, nullptr},
      {L"FT-NODE1", L"Nowhere", ERROR_CLUSTER_NETWORK_NOT_FOUND, nullptr},
  };
  for (const auto& l : lookups) {
    WCHAR name[260] = L"";
    DWORD cch = 260;
    EXPECT_EQ(GetClusterNetInterface(cluster, l.node, l.network, name, &cch), l.result) << l.node << " " << l.network;
    if (l.itf) {
      EXPECT_STREQ(name, l.itf);
    }
  }
}

TEST_F(ClusApiFaults, VersionValuesAreCutSafely) {
  Start("faults.json");
  struct Guarded {
    CLUSTERVERSIONINFO info;
    BYTE guard[64];
  } guarded;
  std::memset(&guarded, 0xCC, sizeof guarded);
  guarded.info.dwVersionInfoSize = sizeof guarded.info;
  WCHAR name[260];
  DWORD cch = 260;
  ASSERT_EQ(GetClusterInformation(cluster, name, &cch, &guarded.info), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(guarded.info.BuildNumber, 70000 & 0xFFFF);
  const std::wstring csd = L"Service Pack 6 with the cumulative cluster rollup of December, build 70000 and beyond";
  EXPECT_EQ(std::wstring(guarded.info.szCSDVersion), csd.substr(0, 63));
  EXPECT_STREQ(guarded.info.szVendorId, L"Vornekt");
  for (const BYTE b : guarded.guard) ASSERT_EQ(b, 0xCC);
}

}  // namespace

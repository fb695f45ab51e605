// Cluster handles reuse idle connections: a reused one costs no new socket and no
// greeting, a dead one is never handed out, the loss of the service still breaks every
// handle opened before it, and nothing leaks, also with many threads. Against clussimd.
#include <windows.h>
#include <clusapi.h>
#include <winapi_ext.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

// Open descriptors of a process; with `socketsOnly`, only its sockets.
int Descriptors(const std::string& process, bool socketsOnly = false) {
  const std::string dir = "/proc/" + process + "/fd";
  DIR* listing = opendir(dir.c_str());
  if (!listing) return -1;
  int count = 0;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    char target[256] = {};
    const std::string link = dir + "/" + entry->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
    if (!socketsOnly || std::string(target).starts_with("socket:")) ++count;
  }
  closedir(listing);
  return count - (process == "self" ? 1 : 0);  // the listing itself
}

// One state read as the system makes it: its own cluster handle for the read.
DWORD ReadGroupState(const wchar_t* group) {
  HCLUSTER cluster = OpenCluster(nullptr);
  if (!cluster) return GetLastError();
  DWORD result = ERROR_SUCCESS;
  if (HGROUP g = OpenClusterGroup(cluster, group)) {
    if (GetClusterGroupState(g, nullptr, nullptr) == ClusterGroupStateUnknown) result = GetLastError();
    CloseClusterGroup(g);
  } else {
    result = GetLastError();
  }
  CloseCluster(cluster);
  return result;
}

// Leaves `count` connections idle in the pool.
void FillPool(int count) {
  std::vector<HCLUSTER> clusters;
  for (int i = 0; i < count; ++i) clusters.push_back(OpenCluster(nullptr));
  for (HCLUSTER c : clusters) {
    if (c) CloseCluster(c);
  }
}

class ConnectionPool : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json"))); }
  void TearDown() override { WinapiClusterFailAfter(0); }

  int ServiceSockets() const { return Descriptors(std::to_string(sim.Pid()), true); }

  ClusterSimulator sim;
};

TEST_F(ConnectionPool, ClosedHandleConnectionIsReusedWithoutGreeting) {
  ASSERT_EQ(ReadGroupState(L"Files"), static_cast<DWORD>(ERROR_SUCCESS));
  const int ownDescriptors = Descriptors("self");
  const int serviceSockets = ServiceSockets();
  const ULONGLONG before = WinapiClusterRoundTrips();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(ReadGroupState(L"Files"), static_cast<DWORD>(ERROR_SUCCESS)) << i;
  // Open and state per read; no greeting, so no new connection.
  EXPECT_EQ(WinapiClusterRoundTrips() - before, 200u);
  EXPECT_EQ(ServiceSockets(), serviceSockets);
  EXPECT_EQ(Descriptors("self"), ownDescriptors);

  // The local cluster by name (any case) or as this host takes the pooled connection too.
  for (const wchar_t* name : {L"FSCLUSTER", L"fscluster", L"localhost", L"."}) {
    const ULONGLONG start = WinapiClusterRoundTrips();
    HCLUSTER cluster = OpenCluster(name);
    ASSERT_NE(cluster, nullptr) << GetLastError();
    EXPECT_EQ(WinapiClusterRoundTrips(), start) << "a greeting for " << name;
    CloseCluster(cluster);
  }
  // A remote name is refused and does not cost the pooled connection.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenCluster(L"OTHERCLUSTER"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(ServiceSockets(), serviceSockets);
}

TEST_F(ConnectionPool, ConnectionReturnsOnlyWhenItsLastHandleCloses) {
  HCLUSTER first = OpenCluster(nullptr);
  ASSERT_NE(first, nullptr);
  HGROUP group = OpenClusterGroup(first, L"Files");
  ASSERT_NE(group, nullptr);
  ASSERT_TRUE(CloseCluster(first));

  // The group still talks over the first connection, so a new handle needs its own.
  const int serviceSockets = ServiceSockets();
  HCLUSTER second = OpenCluster(nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(ServiceSockets(), serviceSockets + 1);
  HGROUP other = OpenClusterGroup(second, L"Cluster Group");
  EXPECT_EQ(GetClusterGroupState(group, nullptr, nullptr), ClusterGroupOnline);
  EXPECT_EQ(GetClusterGroupState(other, nullptr, nullptr), ClusterGroupOnline);
  CloseClusterGroup(other);
  CloseCluster(second);

  // Both are idle now: two handles at once open no new connection.
  ASSERT_TRUE(CloseClusterGroup(group));
  const ULONGLONG before = WinapiClusterRoundTrips();
  HCLUSTER a = OpenCluster(nullptr);
  HCLUSTER b = OpenCluster(nullptr);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(WinapiClusterRoundTrips(), before);
  EXPECT_EQ(ServiceSockets(), serviceSockets + 1);
  CloseCluster(a);
  CloseCluster(b);
}

// Each way the service goes away breaks every handle opened before it, pooled or not,
// also once it is back; new handles work as soon as it is, and none gets a dead connection.
TEST_F(ConnectionPool, LostServiceBreaksOldHandlesAndNoDeadConnectionIsReused) {
  struct Case {
    const char* what;
    std::function<bool(ClusterSimulator&)> lose;     // the service is gone afterwards
    std::function<bool(ClusterSimulator&)> restore;  // and back afterwards
    bool gone;                                       // whether it is unreachable in between
  };
  const std::string scenario = ClusterSimulator::Scenario("two-node-fileserver.json");
  const Case cases[] = {
      {"service stop, start", [](ClusterSimulator& s) { return s.Control({"service", "stop"}) == 0; },
       [](ClusterSimulator& s) { return s.Control({"service", "start"}) == 0; }, true},
      {"kill -9, restart",
       [](ClusterSimulator& s) {
         kill(s.Pid(), SIGKILL);
         s.Stop();
         return true;
       },
       [scenario](ClusterSimulator& s) { return s.Start(scenario); }, true},
      {"load", [](ClusterSimulator&) { return true; },
       [scenario](ClusterSimulator& s) { return s.Control({"load", scenario}) == 0; }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FillPool(4);
    HCLUSTER old = OpenCluster(nullptr);  // from the pool
    ASSERT_NE(old, nullptr);
    HGROUP oldGroup = OpenClusterGroup(old, L"Files");
    ASSERT_NE(oldGroup, nullptr);
    ASSERT_TRUE(c.lose(sim));
    if (c.gone) {
      SetLastError(0xdeadbeef);
      EXPECT_EQ(OpenCluster(nullptr), nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    }
    ASSERT_TRUE(c.restore(sim));

    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetClusterGroupState(oldGroup, nullptr, nullptr), ClusterGroupStateUnknown);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(ClusterOpenEnum(old, CLUSTER_ENUM_NODE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    CloseClusterGroup(oldGroup);
    CloseCluster(old);

    // More new handles at once than were pooled: every one reaches the service.
    std::vector<HCLUSTER> fresh;
    for (int i = 0; i < 6; ++i) {
      fresh.push_back(OpenCluster(nullptr));
      ASSERT_NE(fresh.back(), nullptr) << i << ": " << GetLastError();
      HGROUP g = OpenClusterGroup(fresh.back(), L"Files");
      EXPECT_NE(g, nullptr) << i << ": " << GetLastError();
      if (g) CloseClusterGroup(g);
    }
    for (HCLUSTER f : fresh) CloseCluster(f);
  }
}

// An injected loss breaks the connection it hits and nothing else: what is pooled
// afterwards works, and no descriptor stays behind, wherever the fault falls.
TEST_F(ConnectionPool, InjectedFailuresDoNotPoisonThePool) {
  ASSERT_EQ(ReadGroupState(L"Files"), static_cast<DWORD>(ERROR_SUCCESS));
  const int ownDescriptors = Descriptors("self");
  for (long failAt = 1; failAt <= 6; ++failAt) {
    SCOPED_TRACE(failAt);
    FillPool(3);
    WinapiClusterFailAfter(failAt);
    int failed = 0;
    for (int i = 0; i < 4; ++i) {
      const DWORD result = ReadGroupState(L"Files");
      if (result != ERROR_SUCCESS) {
        EXPECT_EQ(result, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
        ++failed;
      }
    }
    EXPECT_EQ(failed, 1);
    WinapiClusterFailAfter(0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ReadGroupState(L"Files"), static_cast<DWORD>(ERROR_SUCCESS)) << i;
  }
  FillPool(1);
  EXPECT_LE(Descriptors("self"), ownDescriptors);
}

TEST_F(ConnectionPool, DescriptorsStayPutOverManyOpenCloseCycles) {
  ASSERT_EQ(ReadGroupState(L"Files"), static_cast<DWORD>(ERROR_SUCCESS));
  const int ownDescriptors = Descriptors("self");
  const int serviceSockets = ServiceSockets();
  for (int i = 0; i < 10000; ++i) {
    HCLUSTER cluster = OpenCluster(nullptr);
    ASSERT_NE(cluster, nullptr) << i << ": " << GetLastError();
    if (i % 10 == 0) {
      HGROUP group = OpenClusterGroup(cluster, L"Files");
      ASSERT_NE(group, nullptr) << i;
      CloseClusterGroup(group);
    }
    CloseCluster(cluster);
  }
  EXPECT_EQ(Descriptors("self"), ownDescriptors);
  EXPECT_EQ(ServiceSockets(), serviceSockets);
}

TEST_F(ConnectionPool, NotificationPortsKeepTheirOwnConnection) {
  ASSERT_EQ(ReadGroupState(L"Files"), static_cast<DWORD>(ERROR_SUCCESS));
  const int ownDescriptors = Descriptors("self");
  HCLUSTER cluster = OpenCluster(nullptr);
  ASSERT_NE(cluster, nullptr);
  HCHANGE port = CreateClusterNotifyPort(reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE), cluster,
                                         CLUSTER_CHANGE_GROUP_STATE, 1);
  ASSERT_NE(port, nullptr) << GetLastError();
  CloseCluster(cluster);
  // The port's socket is not idle: a read next to it still gets its answers, and
  // the port still gets its events.
  EXPECT_EQ(ReadGroupState(L"Files"), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(sim.Control({"group", "offline", "Files"}), 0);
  WCHAR name[260];
  DWORD cch = 260, filter = 0;
  DWORD_PTR key = 0;
  ASSERT_EQ(GetClusterNotify(port, &key, &filter, name, &cch, 5000), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(name, L"Files");
  EXPECT_TRUE(CloseClusterNotifyPort(port));
  // Closing the port closes its socket; nothing of it reaches the pool.
  EXPECT_EQ(Descriptors("self"), ownDescriptors);
}

TEST_F(ConnectionPool, ForkedChildNeverSharesTheParentsConnections) {
  FillPool(2);
  const pid_t child = fork();
  if (child == 0) {
    // A new connection costs its greeting: one more round trip than a reused one.
    const ULONGLONG before = WinapiClusterRoundTrips();
    const DWORD result = ReadGroupState(L"Files");
    _exit(result == ERROR_SUCCESS && WinapiClusterRoundTrips() - before == 3 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadGroupState(L"Files"), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(ConnectionPool, ManyThreadsOpenAndCloseAtOnce) {
  ASSERT_EQ(ReadGroupState(L"Files"), static_cast<DWORD>(ERROR_SUCCESS));
  const int ownDescriptors = Descriptors("self");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      const wchar_t* group = t % 2 ? L"Files" : L"Cluster Group";
      HCLUSTER kept = OpenCluster(nullptr);  // a handle held across the others
      for (int i = 0; i < 200; ++i) {
        if (ReadGroupState(group) != ERROR_SUCCESS) ++failures;
      }
      if (!kept || !CloseCluster(kept)) ++failures;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  // At most the pool's bound stays open, whatever the peak was (one was idle before).
  EXPECT_LE(Descriptors("self"), ownDescriptors + 7);
}

}  // namespace

// pcmkclusd as a process, through the layer's Cluster API: a replay steps state by state
// and each step reaches a notification port as the fixture's changes; a CIB file that is
// replaced is followed, a half-written one is not; a source that cannot be read at start
// says so.
#include <gtest/gtest.h>

#include <windows.h>
#include <clusapi.h>

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cib_snapshot.h"
#include "cib_source.h"
#include "fixture_files.h"
#include "cluster_simulator.h"
#include "model_text.h"
#include "wide_text.h"

namespace pcmkclus {
namespace {

using testing::Fixture;
using testing::Read;
using testing::States;

// What reached the port, as NotificationsText writes it.
std::string Drain(HCHANGE port, DWORD firstWaitMs) {
  clustersim::Notifications events;
  DWORD wait = firstWaitMs;
  for (;;) {
    WCHAR name[4096];
    DWORD cch = 4096, filter = 0;
    DWORD_PTR key = 0;
    if (GetClusterNotify(port, &key, &filter, name, &cch, wait) != ERROR_SUCCESS) break;
    events.push_back({filter, name});
    wait = 300;
  }
  return NotificationsText(events);
}

class Daemon : public ::testing::Test {
 protected:
  void Open() {
    cluster_ = OpenCluster(nullptr);
    ASSERT_NE(nullptr, cluster_);
    port_ = CreateClusterNotifyPort(static_cast<HCHANGE>(INVALID_HANDLE_VALUE), cluster_,
                                    static_cast<DWORD>(CLUSTER_CHANGE_ALL) & ~CLUSTER_CHANGE_HANDLE_CLOSE, 0);
    ASSERT_NE(nullptr, port_);
  }
  void TearDown() override { Close(); }
  void Close() {
    if (port_) CloseClusterNotifyPort(port_);
    if (cluster_) CloseCluster(cluster_);
    port_ = nullptr;
    cluster_ = nullptr;
  }
  std::wstring OwnerOf(const wchar_t* group) {
    HGROUP handle = OpenClusterGroup(cluster_, group);
    if (!handle) return L"(cannot open)";
    WCHAR node[4096];
    DWORD cch = 4096;
    GetClusterGroupState(handle, node, &cch);
    CloseClusterGroup(handle);
    return node;
  }

  clustersim::testing::ClusterSimulator service_;
  HCLUSTER cluster_ = nullptr;
  HCHANGE port_ = nullptr;
};

TEST_F(Daemon, ReplayStepsThroughTheStatesInOrder) {
  const auto states = States();
  ASSERT_TRUE(service_.StartDaemon(PCMKCLUSD_PATH, {"--replay", Fixture("states")}));
  Open();
  for (std::size_t i = 1; i < states.size(); ++i) {
    SCOPED_TRACE(states[i]);
    std::string output;
    ASSERT_EQ(0, service_.Control({"step"}, &output)) << output;
    EXPECT_EQ(Read(Fixture(states[i] + ".changes")), Drain(port_, 2000));
  }
  std::string output;
  EXPECT_EQ(1, service_.Control({"step"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("last state")) << output;
  // The failback of the last state put web back on its preferred node.
  EXPECT_EQ(L"n2", OwnerOf(L"web"));
}

TEST_F(Daemon, AReplacedCibFileIsFollowedAndAHalfWrittenOneIsNot) {
  const auto states = States();
  ASSERT_GE(states.size(), 4u);
  const std::string dir = service_.Directory();
  const std::string cib = dir + "/cib.xml", next = dir + "/cib.xml.new";
  const std::string first = Read(Fixture("states/" + states[0] + ".xml"));
  std::ofstream(cib) << first;
  const std::string links = Fixture("states/corosync.conf");
  ASSERT_TRUE(service_.StartDaemon(PCMKCLUSD_PATH, {"--cib-file", cib, "--corosync-conf", links}));
  Open();
  EXPECT_EQ(L"n1", OwnerOf(L"web"));

  // Cut in the middle of an element, as a writer that was interrupted leaves it.
  const std::string later = Read(Fixture("states/" + states[3] + ".xml"));
  std::ofstream(next) << later.substr(0, later.size() / 2);
  ASSERT_EQ(0, rename(next.c_str(), cib.c_str()));
  EXPECT_EQ("", Drain(port_, 1500));
  EXPECT_EQ(L"n1", OwnerOf(L"web"));

  // The same change computed here: the model of the first state following the later one.
  clustersim::ClusterModel model;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(SnapshotOfCibFile(Fixture("states/" + states[0] + ".xml"), model, error, warnings, links)) << error;
  PlaceUnownedGroups(model);
  clustersim::Notifications expected;
  ASSERT_TRUE(
      FollowCibFile(Fixture("states/" + states[3] + ".xml"), model, expected, [](const std::string&) {}, links));
  std::ofstream(next) << later;
  ASSERT_EQ(0, rename(next.c_str(), cib.c_str()));
  EXPECT_EQ(NotificationsText(expected), Drain(port_, 3000));
  EXPECT_EQ(L"n3", OwnerOf(L"web"));
  std::string log;
  EXPECT_EQ(0, service_.Control({"status"}, &log));
  unlink(cib.c_str());
}

// The live source with a cibadmin that answers from a file, or fails as it does when the
// stack is down: the service closes while the cluster cannot be read and opens again.
TEST_F(Daemon, LiveSourceClosesTheServiceWhileTheClusterCannotBeRead) {
  const auto states = States();
  ASSERT_GE(states.size(), 4u);
  const std::string dir = service_.Directory();
  const std::string cib = dir + "/live.xml", down = dir + "/down", tool = dir + "/cibadmin";
  std::ofstream(cib) << Read(Fixture("states/" + states[0] + ".xml"));
  std::ofstream(tool) << "#!/bin/sh\n[ -e '" << down << "' ] && exit 102\ncat '" << cib << "'\n";
  chmod(tool.c_str(), 0755);
  setenv("PCMKCLUS_CIBADMIN", tool.c_str(), 1);
  ASSERT_TRUE(service_.StartDaemon(PCMKCLUSD_PATH, {"--live"}));
  unsetenv("PCMKCLUS_CIBADMIN");
  Open();
  EXPECT_EQ(L"n1", OwnerOf(L"web"));

  // The stack goes: the service ends, and every port hears it once.
  std::ofstream(down) << "";
  std::string output;
  EXPECT_EQ(1, service_.Control({"reload"}, &output)) << output;
  WCHAR name[260];
  DWORD cch = 260, filter = 0;
  DWORD_PTR key = 0;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetClusterNotify(port_, &key, &filter, name, &cch, 3000));
  EXPECT_EQ(static_cast<DWORD>(CLUSTER_CHANGE_CLUSTER_STATE), filter);
  EXPECT_EQ(0, service_.Control({"status"}, &output));
  EXPECT_NE(std::string::npos, output.find("service stopped")) << output;
  Close();

  // It comes back in a later state: the service opens within the retry and serves it.
  std::ofstream(cib) << Read(Fixture("states/" + states[3] + ".xml"));
  unlink(down.c_str());
  bool back = false;
  for (int i = 0; i < 100 && !back; ++i) {
    back = service_.Control({"status"}, &output) == 0 && output.find("service running") != std::string::npos;
    if (!back) usleep(100000);
  }
  ASSERT_TRUE(back) << output;
  Open();
  EXPECT_EQ(L"n3", OwnerOf(L"web"));
  unlink(cib.c_str());
  unlink(tool.c_str());
}

TEST_F(Daemon, RefusesToStartOnWhatItCannotRead) {
  const std::string dir = service_.Directory();
  const std::string cib = dir + "/broken.xml";
  std::ofstream(cib) << "<cib><configuration>";
  struct Case {
    std::vector<std::string> args;
  };
  const Case cases[] = {{{"--cib-file", cib}}, {{"--cib-file", dir + "/missing.xml"}}, {{"--replay", dir + "/none"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1]);
    EXPECT_FALSE(service_.StartDaemon(PCMKCLUSD_PATH, c.args));
  }
  unlink(cib.c_str());
}

}  // namespace
}  // namespace pcmkclus

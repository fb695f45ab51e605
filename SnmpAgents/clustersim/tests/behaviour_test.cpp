// The model behaves as a cluster service does: the order of its notifications
// (dependents offline first, providers online first, a group after its resources),
// the states that follow, and the operations a cluster service refuses.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "model.h"
#include "scenario.h"
#include "wide_text.h"

namespace clustersim {
namespace {

using Step = std::function<bool(ClusterModel&, Notifications&, std::wstring&)>;

std::string Text(const Notifications& list) {
  std::string text;
  for (const auto& n : list) text += std::to_string(n.code) + " " + winapi::Utf8FromWide(n.name) + "\n";
  return text;
}

// Every state, owner, preferred list and registry value, to prove that nothing changed.
std::string Snapshot(const ClusterModel& model) {
  std::string text;
  for (const Kind kind : {Kind::Node, Kind::Group, Kind::Resource, Kind::ResourceType, Kind::Network, Kind::NetInterface}) {
    for (const Object* o : model.Objects(kind)) {
      text += winapi::Utf8FromWide(o->name) + " " + std::to_string(o->state) + " " + std::to_string(o->node) + " " +
              std::to_string(o->common.Items().size() + o->readOnly.Items().size() + o->priv.Items().size());
      for (const auto& p : o->preferred) text += " " + winapi::Utf8FromWide(p);
      text += "\n";
    }
  }
  for (const auto& [key, values] : model.registry) text += winapi::Utf8FromWide(key) + " " + std::to_string(values.size()) + "\n";
  return text;
}

class BehaviourTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadScenarioFile(std::string(CLUSSIM_SCENARIOS) + "/two-node-fileserver.json", model, error)) << error;
  }
  ClusterModel model;
};

Step NodeState(const wchar_t* node, int state) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetNodeState(node, state, o, e); };
}
Step GroupState(const wchar_t* group, int state) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetGroupState(group, state, o, e); };
}
Step ResourceState(const wchar_t* resource, int state) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetResourceState(resource, state, o, e); };
}

TEST_F(BehaviourTest, NotificationsComeInTheClusterServicesOrder) {
  constexpr DWORD kRes = CLUSTER_CHANGE_RESOURCE_STATE, kGroup = CLUSTER_CHANGE_GROUP_STATE,
                  kOwner = CLUSTER_CHANGE_GROUP_PROPERTY, kItf = CLUSTER_CHANGE_NETINTERFACE_STATE;
  struct Case {
    const char* what;
    std::vector<Step> before;
    Step step;
    Notifications expected;
  };
  const Case cases[] = {
      {"group offline: dependents first, the group last",
       {},
       GroupState(L"Files", ClusterGroupOffline),
       {{kRes, L"Users Share"}, {kRes, L"Files IP Address"}, {kRes, L"Disk S:"}, {kGroup, L"Files"}}},
      {"group online: providers first",
       {GroupState(L"Files", ClusterGroupOffline)},
       GroupState(L"Files", ClusterGroupOnline),
       {{kRes, L"Files IP Address"}, {kRes, L"Disk S:"}, {kRes, L"Users Share"}, {kGroup, L"Files"}}},
      {"a provider going offline takes its dependent first",
       {},
       ResourceState(L"Disk S:", ClusterResourceOffline),
       {{kRes, L"Users Share"}, {kRes, L"Disk S:"}, {kGroup, L"Files"}}},
      {"a dependent coming online brings its providers first",
       {GroupState(L"Files", ClusterGroupOffline)},
       ResourceState(L"Users Share", ClusterResourceOnline),
       {{kRes, L"Disk S:"}, {kRes, L"Files IP Address"}, {kRes, L"Users Share"}, {kGroup, L"Files"}}},
      {"a failing provider: its dependent offline, then it fails, then the group once",
       {},
       ResourceState(L"Disk S:", ClusterResourceFailed),
       {{kRes, L"Users Share"}, {kRes, L"Disk S:"}, {kGroup, L"Files"}}},
      {"a move brings back only what ran",
       {ResourceState(L"Users Share", ClusterResourceOffline)},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.MoveGroup(L"Files", L"FS-NODE1", o, e); },
       {{kRes, L"Files IP Address"}, {kRes, L"Disk S:"}, {kGroup, L"Files"}, {kOwner, L"Files"},
        {kRes, L"Files IP Address"}, {kRes, L"Disk S:"}, {kGroup, L"Files"}}},
      {"a paused node that fails: its interfaces, then its groups fail over",
       {NodeState(L"FS-NODE1", ClusterNodePaused)},
       NodeState(L"FS-NODE1", ClusterNodeDown),
       {{CLUSTER_CHANGE_NODE_STATE, L"FS-NODE1"}, {kItf, L"FS-NODE1 - Public"}, {kItf, L"FS-NODE1 - Heartbeat"},
        {kRes, L"Cluster Name"}, {kRes, L"Cluster IP Address"}, {kRes, L"Disk Q:"}, {kGroup, L"Cluster Group"},
        {kOwner, L"Cluster Group"}, {kRes, L"Cluster IP Address"}, {kRes, L"Cluster Name"}, {kRes, L"Disk Q:"},
        {kGroup, L"Cluster Group"}}},
      {"a joining node has no interfaces up yet; up brings them",
       {NodeState(L"FS-NODE1", ClusterNodeDown), NodeState(L"FS-NODE1", ClusterNodeJoining)},
       NodeState(L"FS-NODE1", ClusterNodeUp),
       {{CLUSTER_CHANGE_NODE_STATE, L"FS-NODE1"}, {kItf, L"FS-NODE1 - Public"}, {kItf, L"FS-NODE1 - Heartbeat"}}},
      {"a network going down: its interfaces first",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetNetworkState(L"Heartbeat", ClusterNetworkDown, o, e); },
       {{kItf, L"FS-NODE1 - Heartbeat"}, {kItf, L"FS-NODE2 - Heartbeat"}, {CLUSTER_CHANGE_NETWORK_STATE, L"Heartbeat"}}},
      {"a pending group: what is not online yet, providers first",
       {ResourceState(L"Users Share", ClusterResourceOffline)},
       GroupState(L"Files", ClusterGroupPending),
       {{kRes, L"Users Share"}, {kGroup, L"Files"}}},
      {"an evicted node: its interfaces, the preferred lists, then the node",
       {NodeState(L"FS-NODE2", ClusterNodeDown)},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.DeleteObject(Kind::Node, L"FS-NODE2", o, e); },
       {{CLUSTER_CHANGE_NETINTERFACE_DELETED, L"FS-NODE2 - Public"},
        {CLUSTER_CHANGE_NETINTERFACE_DELETED, L"FS-NODE2 - Heartbeat"}, {kOwner, L"Cluster Group"}, {kOwner, L"Files"},
        {CLUSTER_CHANGE_NODE_DELETED, L"FS-NODE2"}}},
      {"a renamed node changes the preferred lists and its interfaces' Node",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.Rename(Kind::Node, L"FS-NODE2", L"B", o, e); },
       {{CLUSTER_CHANGE_NODE_PROPERTY, L"B"}, {kOwner, L"Cluster Group"}, {kOwner, L"Files"},
        {CLUSTER_CHANGE_NETINTERFACE_PROPERTY, L"FS-NODE2 - Public"},
        {CLUSTER_CHANGE_NETINTERFACE_PROPERTY, L"FS-NODE2 - Heartbeat"}}},
      {"setting a group's Name renames it",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) {
         return m.SetProperty(Kind::Group, L"Files", L"common.Name", L"Dateien", o, e);
       },
       {{kOwner, L"Dateien"}}},
      {"a new registry key, its value, its security",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) {
         return m.SetRegistryValue(L"Parameters\\Extra", L"Level", L"7", o, e) &&
                m.ChangeRegistryAttributes(L"parameters\\extra", o, e) &&
                m.DeleteRegistryValue(L"Parameters\\Extra", L"level", o, e);
       },
       {{CLUSTER_CHANGE_REGISTRY_NAME, L"Parameters\\Extra"}, {CLUSTER_CHANGE_REGISTRY_VALUE, L"Parameters\\Extra"},
        {CLUSTER_CHANGE_REGISTRY_ATTRIBUTES, L"Parameters\\Extra"},
        {CLUSTER_CHANGE_REGISTRY_VALUE, L"Parameters\\Extra"}}},
      {"a key deleted with its subkeys",
       {[](ClusterModel& m, Notifications& o, std::wstring& e) { return m.AddRegistryKey(L"\\Parameters\\Sub\\", o, e); }},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.DeleteRegistryKey(L"parameters", o, e); },
       {{CLUSTER_CHANGE_REGISTRY_NAME, L"Parameters"}, {CLUSTER_CHANGE_REGISTRY_SUBTREE, L"Parameters"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClusterModel fresh;
    std::string loadError;
    ASSERT_TRUE(LoadScenarioFile(std::string(CLUSSIM_SCENARIOS) + "/two-node-fileserver.json", fresh, loadError));
    Notifications out;
    std::wstring error;
    for (const Step& step : c.before) ASSERT_TRUE(step(fresh, out, error)) << winapi::Utf8FromWide(error);
    out.clear();
    ASSERT_TRUE(c.step(fresh, out, error)) << winapi::Utf8FromWide(error);
    EXPECT_EQ(Text(out), Text(c.expected));
  }
}

TEST_F(BehaviourTest, StatesFollowAsInACluster) {
  Notifications out;
  std::wstring error;
  const auto state = [&](Kind kind, const wchar_t* name) { return model.Find(kind, name)->state; };
  const auto owner = [&](const wchar_t* group) { return model.Get(model.Find(Kind::Group, group)->node)->name; };
  // A paused node keeps its groups but takes no other; when it fails they move and run.
  ASSERT_TRUE(model.SetNodeState(L"FS-NODE2", ClusterNodePaused, out, error));
  EXPECT_FALSE(model.MoveGroup(L"Cluster Group", L"FS-NODE2", out, error));
  ASSERT_TRUE(model.SetNodeState(L"FS-NODE2", ClusterNodeDown, out, error));
  EXPECT_EQ(owner(L"Files"), L"FS-NODE1");
  EXPECT_EQ(state(Kind::Group, L"Files"), ClusterGroupOnline);
  EXPECT_EQ(state(Kind::NetInterface, L"FS-NODE2 - Public"), ClusterNetInterfaceUnavailable);
  // An interface added to a down node is unavailable; one on a down network failed.
  ASSERT_TRUE(model.AddObject(Kind::NetInterface, {L"n2 - Backup", L"fs-node2", L"Backup"}, out, error));
  EXPECT_EQ(state(Kind::NetInterface, L"n2 - Backup"), ClusterNetInterfaceUnavailable);
  ASSERT_TRUE(model.SetNetworkState(L"Public", ClusterNetworkPartitioned, out, error));
  EXPECT_EQ(state(Kind::NetInterface, L"FS-NODE1 - Public"), ClusterNetInterfaceUnreachable);
  EXPECT_EQ(state(Kind::NetInterface, L"FS-NODE2 - Public"), ClusterNetInterfaceUnavailable);
  ASSERT_TRUE(model.SetNetworkState(L"Public", ClusterNetworkDown, out, error));
  ASSERT_TRUE(model.SetNodeState(L"FS-NODE2", ClusterNodeUp, out, error));
  EXPECT_EQ(state(Kind::NetInterface, L"FS-NODE2 - Public"), ClusterNetInterfaceFailed);
  EXPECT_EQ(state(Kind::NetInterface, L"FS-NODE2 - Heartbeat"), ClusterNetInterfaceUp);
  // An interface's own failure stays through a pause and a resume of its node.
  ASSERT_TRUE(model.SetInterfaceState(L"FS-NODE2 - Heartbeat", ClusterNetInterfaceFailed, out, error));
  ASSERT_TRUE(model.SetNodeState(L"FS-NODE2", ClusterNodePaused, out, error));
  ASSERT_TRUE(model.ResumeNode(L"FS-NODE2", out, error));
  EXPECT_EQ(state(Kind::NetInterface, L"FS-NODE2 - Heartbeat"), ClusterNetInterfaceFailed);
  // A pending group completes online; a failed resource can be deleted once nothing needs it.
  ASSERT_TRUE(model.SetGroupState(L"Files", ClusterGroupOffline, out, error));
  ASSERT_TRUE(model.SetGroupState(L"Files", ClusterGroupPending, out, error));
  EXPECT_EQ(state(Kind::Resource, L"Disk S:"), ClusterResourceOnlinePending);
  ASSERT_TRUE(model.SetGroupState(L"Files", ClusterGroupOnline, out, error));
  EXPECT_EQ(state(Kind::Group, L"Files"), ClusterGroupOnline);
  ASSERT_TRUE(model.SetResourceState(L"Users Share", ClusterResourceFailed, out, error));
  ASSERT_TRUE(model.DeleteObject(Kind::Resource, L"Users Share", out, error)) << winapi::Utf8FromWide(error);
  EXPECT_EQ(state(Kind::Group, L"Files"), ClusterGroupOnline);
  // A group whose owner is down for want of another node stays offline there.
  ASSERT_TRUE(model.SetNodeState(L"FS-NODE1", ClusterNodeDown, out, error));
  ASSERT_TRUE(model.SetNodeState(L"FS-NODE2", ClusterNodeDown, out, error));
  EXPECT_EQ(owner(L"Files"), L"FS-NODE2");
  EXPECT_EQ(state(Kind::Group, L"Files"), ClusterGroupOffline);
}

TEST_F(BehaviourTest, RefusedAsAClusterServiceRefusesAndNothingChanges) {
  struct Case {
    const char* what;
    std::vector<Step> before;
    Step step;
    const wchar_t* why;
  };
  const Case cases[] = {
      {"pause a down node", {NodeState(L"FS-NODE2", ClusterNodeDown)}, NodeState(L"FS-NODE2", ClusterNodePaused),
       L"only an up node can be paused"},
      {"resume a down node",
       {NodeState(L"FS-NODE2", ClusterNodeDown)},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.ResumeNode(L"FS-NODE2", o, e); },
       L"not paused"},
      {"resume an up node", {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.ResumeNode(L"FS-NODE2", o, e); },
       L"is up, not paused"},
      {"up on a paused node", {NodeState(L"FS-NODE2", ClusterNodePaused)}, NodeState(L"FS-NODE2", ClusterNodeUp),
       L"resume it"},
      {"join an up node", {}, NodeState(L"FS-NODE2", ClusterNodeJoining), L"only a down node can join"},
      {"move to a joining node",
       {NodeState(L"FS-NODE1", ClusterNodeDown), NodeState(L"FS-NODE1", ClusterNodeJoining)},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.MoveGroup(L"Files", L"FS-NODE1", o, e); },
       L"cannot take a group"},
      {"evict an up node",
       {[](ClusterModel& m, Notifications& o, std::wstring& e) { return m.AddObject(Kind::Node, {L"N3"}, o, e); }},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.DeleteObject(Kind::Node, L"N3", o, e); },
       L"only a down node can be evicted"},
      {"delete an online resource",
       {[](ClusterModel& m, Notifications& o, std::wstring& e) { return m.AddObject(Kind::Resource, {L"R", L"Files"}, o, e); },
        ResourceState(L"R", ClusterResourceOnline)},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.DeleteObject(Kind::Resource, L"R", o, e); },
       L"take it offline first"},
      {"online a group on a down owner",
       {NodeState(L"FS-NODE1", ClusterNodeDown), NodeState(L"FS-NODE2", ClusterNodeDown)},
       GroupState(L"Files", ClusterGroupOnline), L"move the group to an up node first"},
      {"online a resource on a paused owner",
       {ResourceState(L"Users Share", ClusterResourceOffline), NodeState(L"FS-NODE2", ClusterNodePaused)},
       ResourceState(L"Users Share", ClusterResourceOnline), L"paused"},
      {"pending on an online group", {}, GroupState(L"Files", ClusterGroupPending), L"nothing is pending"},
      {"an interface of a down node",
       {NodeState(L"FS-NODE2", ClusterNodeDown)},
       [](ClusterModel& m, Notifications& o, std::wstring& e) {
         return m.SetInterfaceState(L"FS-NODE2 - Public", ClusterNetInterfaceUp, o, e);
       },
       L"is unavailable"},
      {"a node's Name",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) {
         return m.SetProperty(Kind::Node, L"FS-NODE1", L"common.Name", L"X", o, e);
       },
       L"cannot be changed"},
      {"an interface's Node",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) {
         return m.SetProperty(Kind::NetInterface, L"FS-NODE1 - Public", L"readonly.Node", L"X", o, e);
       },
       L"read-only"},
      {"a resource's Type, named plainly",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) {
         return m.SetProperty(Kind::Resource, L"Disk S:", L"Type", L"X", o, e);
       },
       L"read-only"},
      {"a registry key that exists",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.AddRegistryKey(L"PARAMETERS", o, e); },
       L"exists already"},
      {"a resource's key",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) {
         return m.SetRegistryValue(L"Resources\\{x}\\Parameters", L"A", L"1", o, e);
       },
       L"belong to the resources"},
      {"the cluster key itself",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) { return m.DeleteRegistryKey(L"\\", o, e); },
       L"key name is empty"},
      {"a value that is not there",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) {
         return m.DeleteRegistryValue(L"Parameters", L"Nothing", o, e);
       },
       L"has no value"},
      {"text into a registry number",
       {},
       [](ClusterModel& m, Notifications& o, std::wstring& e) {
         return m.SetRegistryValue(L"Parameters", L"Revision", L"many", o, e);
       },
       L"is a number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClusterModel fresh;
    std::string loadError;
    ASSERT_TRUE(LoadScenarioFile(std::string(CLUSSIM_SCENARIOS) + "/two-node-fileserver.json", fresh, loadError));
    Notifications out;
    std::wstring error;
    for (const Step& step : c.before) ASSERT_TRUE(step(fresh, out, error)) << winapi::Utf8FromWide(error);
    out.clear();
    const std::string before = Snapshot(fresh);
    EXPECT_FALSE(c.step(fresh, out, error));
    EXPECT_NE(error.find(c.why), std::wstring::npos) << winapi::Utf8FromWide(error);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(Snapshot(fresh), before);
  }
}

}  // namespace
}  // namespace clustersim

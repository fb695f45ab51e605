// The model's cluster behaviour: failover, moves, state roll-up, refusals that leave the
// model untouched, names kept as written, and faults.
#include "model.h"

#include <gtest/gtest.h>

#include <functional>

#include "scenario.h"
#include "wide_text.h"

namespace clustersim {
namespace {

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadScenarioFile(std::string(CLUSSIM_SCENARIOS) + "/two-node-fileserver.json", model, error)) << error;
  }
  std::wstring OwnerOf(const wchar_t* group) const {
    const Object* g = model.Find(Kind::Group, group);
    const Object* owner = g ? model.Get(g->node) : nullptr;
    return owner ? owner->name : L"";
  }
  static bool Has(const Notifications& list, DWORD code, const std::wstring& name) {
    for (const auto& n : list) {
      if (n.code == code && n.name == name) return true;
    }
    return false;
  }
  ClusterModel model;
};

TEST_F(ModelTest, NodeFailureMovesItsGroupsToTheNextPreferredOwner) {
  Notifications out;
  std::wstring error;
  ASSERT_TRUE(model.SetNodeState(L"FS-NODE1", ClusterNodeDown, out, error)) << error;
  EXPECT_EQ(OwnerOf(L"Cluster Group"), L"FS-NODE2");
  EXPECT_EQ(OwnerOf(L"Files"), L"FS-NODE2");
  EXPECT_EQ(model.Find(Kind::Group, L"Cluster Group")->state, ClusterGroupOnline);
  EXPECT_TRUE(Has(out, CLUSTER_CHANGE_NODE_STATE, L"FS-NODE1"));
  EXPECT_TRUE(Has(out, CLUSTER_CHANGE_GROUP_STATE, L"Cluster Group"));
  EXPECT_TRUE(Has(out, CLUSTER_CHANGE_GROUP_PROPERTY, L"Cluster Group"));
  EXPECT_TRUE(Has(out, CLUSTER_CHANGE_RESOURCE_STATE, L"Disk Q:"));
  EXPECT_TRUE(Has(out, CLUSTER_CHANGE_NETINTERFACE_STATE, L"FS-NODE1 - Public"));
  EXPECT_FALSE(Has(out, CLUSTER_CHANGE_GROUP_STATE, L"Files"));  // it was not on the failed node

  // With no node left the group stays offline on its failed owner.
  out.clear();
  ASSERT_TRUE(model.SetNodeState(L"FS-NODE2", ClusterNodeDown, out, error));
  EXPECT_EQ(OwnerOf(L"Files"), L"FS-NODE2");
  EXPECT_EQ(model.Find(Kind::Group, L"Files")->state, ClusterGroupOffline);
}

TEST_F(ModelTest, RefusedOperationsChangeNothing) {
  struct Case {
    const char* what;
    std::function<bool(Notifications&, std::wstring&)> run;
  };
  const Case cases[] = {
      {"move to an unknown node", [&](auto& o, auto& e) { return model.MoveGroup(L"Files", L"NOPE", o, e); }},
      {"delete a non-empty group", [&](auto& o, auto& e) { return model.DeleteObject(Kind::Group, L"Files", o, e); }},
      {"delete a resource others depend on",
       [&](auto& o, auto& e) { return model.DeleteObject(Kind::Resource, L"Disk S:", o, e); }},
      {"delete the quorum resource", [&](auto& o, auto& e) { return model.DeleteObject(Kind::Resource, L"Disk Q:", o, e); }},
      {"delete a used type", [&](auto& o, auto& e) { return model.DeleteObject(Kind::ResourceType, L"File Share", o, e); }},
      {"rename onto another name", [&](auto& o, auto& e) { return model.Rename(Kind::Group, L"Files", L"cluster group", o, e); }},
      {"text into a number", [&](auto& o, auto& e) { return model.SetProperty(Kind::Group, L"Files", L"FailoverThreshold", L"many", o, e); }},
      {"add a duplicate", [&](auto& o, auto& e) { return model.AddObject(Kind::Node, {L"fs-node1"}, o, e); }},
      {"add a resource to no group", [&](auto& o, auto& e) { return model.AddObject(Kind::Resource, {L"R", L"NOPE"}, o, e); }},
  };
  for (const auto& c : cases) {
    Notifications out;
    std::wstring error;
    EXPECT_FALSE(c.run(out, error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
    EXPECT_TRUE(out.empty()) << c.what;
  }
  EXPECT_EQ(model.List(Kind::Node).size(), 2u);
  EXPECT_EQ(model.List(Kind::Resource).size(), 6u);
  EXPECT_EQ(OwnerOf(L"Files"), L"FS-NODE2");
  EXPECT_NE(model.Find(Kind::Group, L"Files"), nullptr);
}

TEST_F(ModelTest, ResourceStatesRollUpIntoTheGroupState) {
  Notifications out;
  std::wstring error;
  ASSERT_TRUE(model.SetResourceState(L"Users Share", ClusterResourceOffline, out, error));
  EXPECT_EQ(model.Find(Kind::Group, L"Files")->state, ClusterGroupPartialOnline);
  ASSERT_TRUE(model.SetResourceState(L"Disk S:", ClusterResourceFailed, out, error));
  EXPECT_EQ(model.Find(Kind::Group, L"Files")->state, ClusterGroupFailed);
  ASSERT_TRUE(model.SetGroupState(L"Files", ClusterGroupOnline, out, error));
  EXPECT_EQ(model.Find(Kind::Resource, L"Disk S:")->state, ClusterResourceOnline);
}

TEST_F(ModelTest, RenameKeepsTheObjectAndItsReferences) {
  Notifications out;
  std::wstring error;
  ASSERT_TRUE(model.Rename(Kind::Resource, L"Disk Q:", L"Quorum Disk", out, error));
  EXPECT_EQ(model.facts.quorumResource, L"Quorum Disk");
  ASSERT_TRUE(model.Rename(Kind::ResourceType, L"Physical Disk", L"Disk", out, error));
  EXPECT_EQ(model.Find(Kind::Resource, L"quorum disk")->typeName, L"Disk");
  EXPECT_EQ(model.Find(Kind::Resource, L"Disk Q:"), nullptr);
  EXPECT_TRUE(Has(out, CLUSTER_CHANGE_RESOURCE_PROPERTY, L"Quorum Disk"));
}

// Preferred owners are matched to nodes when a group moves: in any case, skipping names
// that match no node.
TEST(ModelNames, FailoverSkipsPreferredOwnersThatMatchNoNode) {
  ClusterModel model;
  std::string loadError;
  ASSERT_TRUE(LoadScenario(R"({"cluster": {"name": "C"}, "nodes": [{"name": "A"}, {"name": "B"}, {"name": "C"}],
      "groups": [{"name": "G", "owner": "A", "preferredOwners": ["a", "GHOST", "c", "b"]},
                 {"name": "H", "owner": "B", "preferredOwners": ["GHOST"]}]})",
                           model, loadError))
      << loadError;
  struct Step {
    const char* what;
    std::function<bool(Notifications&, std::wstring&)> run;
    const wchar_t* ownerOfG;
    const wchar_t* ownerOfH;
  };
  const Step steps[] = {
      {"A fails: past GHOST to c", [&](auto& o, auto& e) { return model.SetNodeState(L"A", ClusterNodeDown, o, e); },
       L"C", L"B"},
      {"move G on: after c comes b", [&](auto& o, auto& e) { return model.MoveGroup(L"G", L"", o, e); }, L"B", L"B"},
      {"B fails: G wraps past a (down) and GHOST to c, H has only GHOST and takes any up node",
       [&](auto& o, auto& e) { return model.SetNodeState(L"B", ClusterNodeDown, o, e); }, L"C", L"C"},
      {"A returns and G moves on: after c comes b (down), then a",
       [&](auto& o, auto& e) {
         return model.SetNodeState(L"A", ClusterNodeUp, o, e) && model.MoveGroup(L"G", L"", o, e);
       },
       L"A", L"C"},
  };
  for (const auto& step : steps) {
    Notifications out;
    std::wstring error;
    ASSERT_TRUE(step.run(out, error)) << step.what << ": " << winapi::Utf8FromWide(error);
    EXPECT_EQ(model.Get(model.Find(Kind::Group, L"G")->node)->name, step.ownerOfG) << step.what;
    EXPECT_EQ(model.Get(model.Find(Kind::Group, L"H")->node)->name, step.ownerOfH) << step.what;
  }
  EXPECT_EQ(model.Find(Kind::Group, L"G")->preferred, (std::vector<std::wstring>{L"a", L"GHOST", L"c", L"b"}));
}

TEST_F(ModelTest, WrittenNamesFollowTheirObjectThroughRenameAndEviction) {
  Notifications out;
  std::wstring error;
  // Interfaces may name what does not exist, and another case of what does.
  ASSERT_TRUE(model.AddObject(Kind::NetInterface, {L"ghost - Public", L"GHOST", L"public"}, out, error));
  ASSERT_TRUE(model.AddObject(Kind::NetInterface, {L"n2 - Lost", L"fs-node2", L"Lost"}, out, error));
  EXPECT_FALSE(model.AddObject(Kind::NetInterface, {L"again", L"ghost", L"PUBLIC"}, out, error));
  EXPECT_NE(error.find(L"already"), std::wstring::npos);
  EXPECT_FALSE(model.AddObject(Kind::NetInterface, {L"blank", L"", L"Public"}, out, error));

  ASSERT_TRUE(model.Rename(Kind::Node, L"FS-NODE2", L"FS-NODE-B", out, error));
  ASSERT_TRUE(model.Rename(Kind::Network, L"Public", L"Clients", out, error));
  EXPECT_EQ(model.Find(Kind::Group, L"Files")->preferred, (std::vector<std::wstring>{L"FS-NODE-B", L"FS-NODE1"}));
  EXPECT_EQ(model.Find(Kind::NetInterface, L"n2 - Lost")->nodeName, L"FS-NODE-B");
  EXPECT_EQ(model.Find(Kind::NetInterface, L"ghost - Public")->networkName, L"Clients");
  EXPECT_EQ(model.Find(Kind::NetInterface, L"ghost - Public")->nodeName, L"GHOST");

  // A failing node takes down the interfaces that name it in any case.
  out.clear();
  ASSERT_TRUE(model.SetNodeState(L"FS-NODE-B", ClusterNodeDown, out, error));
  EXPECT_EQ(model.Find(Kind::NetInterface, L"n2 - Lost")->state, ClusterNetInterfaceUnavailable);
  EXPECT_TRUE(Has(out, CLUSTER_CHANGE_NETINTERFACE_STATE, L"n2 - Lost"));

  // An evicted node leaves the preferred lists and takes its interfaces along.
  ASSERT_TRUE(model.MoveGroup(L"Files", L"FS-NODE1", out, error)) << winapi::Utf8FromWide(error);
  out.clear();
  ASSERT_TRUE(model.DeleteObject(Kind::Node, L"fs-node-b", out, error)) << winapi::Utf8FromWide(error);
  EXPECT_EQ(model.Find(Kind::Group, L"Files")->preferred, (std::vector<std::wstring>{L"FS-NODE1"}));
  EXPECT_EQ(model.Find(Kind::NetInterface, L"n2 - Lost"), nullptr);
  EXPECT_TRUE(Has(out, CLUSTER_CHANGE_NETINTERFACE_DELETED, L"n2 - Lost"));
  EXPECT_NE(model.Find(Kind::NetInterface, L"ghost - Public"), nullptr);
  // A network with an interface that names it in another case is in use.
  EXPECT_FALSE(model.DeleteObject(Kind::Network, L"clients", out, error));
}

TEST_F(ModelTest, FaultsAreSetClearedAndRefusedWhereNoSuchReadExists) {
  std::wstring error;
  ASSERT_TRUE(model.SetFault(Kind::Resource, L"disk s:", FaultKind::Private, 13, error));
  ASSERT_TRUE(model.SetFault(Kind::Resource, L"Disk S:", FaultKind::State, 5, error));
  const Object* disk = model.Find(Kind::Resource, L"Disk S:");
  EXPECT_EQ(disk->faults.Of(FaultKind::Private), 13u);
  ASSERT_TRUE(model.SetFault(Kind::Resource, L"Disk S:", FaultKind::Private, 0, error));
  EXPECT_EQ(disk->faults.Of(FaultKind::Private), 0u);
  EXPECT_TRUE(disk->faults.Any());
  // A rename keeps the faults with the object.
  Notifications out;
  ASSERT_TRUE(model.Rename(Kind::Resource, L"Disk S:", L"Data", out, error));
  EXPECT_EQ(model.Find(Kind::Resource, L"Data")->faults.Of(FaultKind::State), 5u);
  ASSERT_TRUE(model.ClearFaults(Kind::Resource, L"Data", error));
  EXPECT_FALSE(disk->faults.Any());

  struct Refusal {
    Kind kind;
    const wchar_t* name;
    FaultKind fault;
    DWORD code;
    const wchar_t* why;
  };
  const Refusal refusals[] = {
      {Kind::Node, L"NOPE", FaultKind::State, 5, L"no node \"NOPE\""},
      {Kind::ResourceType, L"IP Address", FaultKind::Open, 5, L"no open"},
      {Kind::ResourceType, L"IP Address", FaultKind::State, 5, L"no state read"},
      {Kind::Network, L"Public", FaultKind::ReadOnly, ERROR_MORE_DATA, L"buffer contract"},
  };
  for (const auto& r : refusals) {
    error.clear();
    EXPECT_FALSE(model.SetFault(r.kind, r.name, r.fault, r.code, error)) << winapi::Utf8FromWide(r.why);
    EXPECT_NE(error.find(r.why), std::wstring::npos) << winapi::Utf8FromWide(error);
  }
  EXPECT_FALSE(model.Find(Kind::Network, L"Public")->faults.Any());
  EXPECT_FALSE(model.ClearFaults(Kind::Group, L"NOPE", error));
}

}  // namespace
}  // namespace clustersim

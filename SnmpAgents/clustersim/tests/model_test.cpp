// The model's cluster behaviour: failover, moves, state roll-up and refusals that
// leave the model untouched.
#include "model.h"

#include <gtest/gtest.h>

#include <functional>

#include "scenario.h"

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

}  // namespace
}  // namespace clustersim

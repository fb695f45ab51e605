// Scenario errors name the line or the field; shipped scenarios load.
#include "scenario.h"

#include <gtest/gtest.h>

namespace clustersim {
namespace {

TEST(Scenario, ErrorsNameTheField) {
  struct Case {
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {"{\n \"cluster\": {\"name\": \"C\"},\n \"nodes\": [ {\"name\": \"A\"}, ]\n}", "line 3, column"},
      {"[]", "must be a JSON object"},
      {"{}", "cluster: missing"},
      {R"({"cluster": {"name": ""}})", "cluster.name: must not be empty"},
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A"}, {"name": "a"}]})", "nodes[1].name: duplicate node name"},
      {R"({"cluster": {"name": "C"}, "nodes": [{}]})", "nodes[0].name: missing"},
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A", "state": "sleepy"}]})", "nodes[0].state: unknown node state"},
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A"}], "groups": [{"name": "G", "preferredOwners": ["A", "B"]}]})",
       "groups[0].preferredOwners[1]: unknown node \"B\""},
      {R"({"cluster": {"name": "C"}, "groups": [{"name": "G"}], "resources": [{"name": "R", "group": "H"}]})",
       "resources[0].group: unknown group \"H\""},
      {R"({"cluster": {"name": "C"}, "groups": [{"name": "G"}], "resources": [{"name": "R", "group": "G", "dependsOn": ["X"]}]})",
       "resources[0].dependsOn[0]: unknown resource \"X\""},
      {R"({"cluster": {"name": "C"}, "groups": [{"name": "G"}], "resources": [{"name": "R", "group": "G", "private": {"P": true}}]})",
       "resources[0].private.P: a property is"},
      {R"({"cluster": {"name": "C"}, "networks": [{"name": "N", "role": 7}]})", "networks[0].role: must be 0"},
      {R"({"cluster": {"name": "C"}, "quorum": {"resource": "Q"}})", "quorum.resource: unknown resource \"Q\""},
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A"}], "networks": [{"name": "N"}],
           "netinterfaces": [{"name": "I", "node": "A", "network": "N"}, {"name": "J", "node": "A", "network": "N"}]})",
       "netinterfaces[1]: node \"A\" has an interface on network \"N\" already"},
  };
  for (const auto& c : cases) {
    ClusterModel model;
    std::string error;
    EXPECT_FALSE(LoadScenario(c.json, model, error)) << c.json;
    EXPECT_NE(error.find(c.error), std::string::npos) << "got: " << error << "\nwanted: " << c.error;
  }
}

TEST(Scenario, ShippedScenariosLoad) {
  for (const char* file : {"two-node-fileserver.json", "four-node-ipv6.json"}) {
    ClusterModel model;
    std::string error;
    EXPECT_TRUE(LoadScenarioFile(std::string(CLUSSIM_SCENARIOS) + "/" + file, model, error)) << error;
  }
  ClusterModel large;
  std::string error;
  ASSERT_TRUE(LoadScenarioFile(CLUSSIM_LARGE_SCENARIO, large, error)) << error;
  EXPECT_EQ(large.List(Kind::Node).size(), 64u);
  EXPECT_EQ(large.List(Kind::Group).size(), 2000u);
  EXPECT_EQ(large.List(Kind::Resource).size(), 10000u);
}

TEST(Scenario, NonAsciiNamesAndDefaults) {
  ClusterModel model;
  std::string error;
  ASSERT_TRUE(LoadScenarioFile(std::string(CLUSSIM_SCENARIOS) + "/four-node-ipv6.json", model, error)) << error;
  const Object* node = model.Find(Kind::Node, L"nœud-4");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->state, ClusterNodeDown);
  EXPECT_EQ(model.Find(Kind::Group, L"Groupe vide")->state, ClusterGroupOffline);
  EXPECT_TRUE(model.Find(Kind::Resource, L"Ressource sans type")->typeName.empty());
  // Defaults a cluster service always has, unless the scenario sets them.
  const Object* group = model.Find(Kind::Group, L"Groupe du cluster");
  ASSERT_NE(group->common.Find(L"FailoverThreshold"), nullptr);
  EXPECT_EQ(group->common.Find(L"FailoverThreshold")->number, 10u);
}

}  // namespace
}  // namespace clustersim

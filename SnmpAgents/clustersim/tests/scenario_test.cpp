// Scenario errors and warnings name the line or the field; shipped scenarios load.
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
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A"}], "groups": [{"name": "G", "preferredOwners": ["A", ""]}]})",
       "groups[0].preferredOwners[1]: must be a node name"},
      {R"({"cluster": {"name": "C"}, "networks": [{"name": "N"}], "netinterfaces": [{"name": "I", "network": "N"}]})",
       "netinterfaces[0].node: missing"},
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A", "faults": 5}]})", "nodes[0].faults: must be an object"},
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A", "faults": {"slow": 5}}]})",
       "nodes[0].faults.slow: unknown fault"},
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A", "faults": {"state": 0}}]})",
       "nodes[0].faults.state: must be a Win32 error code"},
      {R"({"cluster": {"name": "C"}, "networks": [{"name": "N", "faults": {"open": "denied"}}]})",
       "networks[0].faults.open: must be a Win32 error code"},
      {R"({"cluster": {"name": "C"}, "resourceTypes": [{"name": "T", "faults": {"open": 5}}]})",
       "resourceTypes[0].faults.open: a resource type has no open"},
      {R"({"cluster": {"name": "C"}, "resourceTypes": [{"name": "T", "faults": {"state": 5}}]})",
       "resourceTypes[0].faults.state: a resource type has no state read"},
      {R"({"cluster": {"name": "C"}, "groups": [{"name": "G", "faults": {"common": 234}}]})",
       "groups[0].faults.common: error 234 (ERROR_MORE_DATA)"},
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
      {R"({"cluster": {"name": "C"}, "netinterfaces": [{"name": "I", "node": "X", "network": "Y"},
                                                      {"name": "J", "node": "x", "network": "y"}]})",
       "netinterfaces[1]: node \"x\" has an interface on network \"y\" already (\"I\")"},
  };
  for (const auto& c : cases) {
    ClusterModel model;
    std::string error;
    EXPECT_FALSE(LoadScenario(c.json, model, error)) << c.json;
    EXPECT_NE(error.find(c.error), std::string::npos) << "got: " << error << "\nwanted: " << c.error;
  }
}

TEST(Scenario, ShippedScenariosLoad) {
  for (const char* file : {"two-node-fileserver.json", "four-node-ipv6.json", "faults.json"}) {
    ClusterModel model;
    std::string error;
    Warnings warnings;
    EXPECT_TRUE(LoadScenarioFile(std::string(CLUSSIM_SCENARIOS) + "/" + file, model, error, &warnings)) << error;
    // Only the scenario of faults has names that match nothing and values that get cut.
    EXPECT_EQ(warnings.empty(), std::string(file) != "faults.json") << file;
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

TEST(Scenario, WarningsNameTheFieldAndTheScenarioStillLoads) {
  const std::string vendor63(63, 'v'), vendor64(64, 'v');
  struct Case {
    std::string json;
    Warnings warnings;
  };
  const Case cases[] = {
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A"}], "groups": [{"name": "G", "preferredOwners": ["a", "B"]}]})",
       {"groups[0].preferredOwners[1]: \"B\" matches no node"}},
      {R"({"cluster": {"name": "C"}, "nodes": [{"name": "A"}], "networks": [{"name": "N"}],
           "netinterfaces": [{"name": "I", "node": "GHOST", "network": "n"}, {"name": "J", "node": "a", "network": "LOST"}]})",
       {"netinterfaces[0].node: \"GHOST\" matches no node", "netinterfaces[1].network: \"LOST\" matches no network"}},
      {R"({"cluster": {"name": "C", "version": {"major": 65535, "minor": 65536, "build": 70000}}})",
       {"cluster.version.minor: 65536 is above 65535: the Cluster API's MinorVersion (a WORD) reads 0",
        "cluster.version.build: 70000 is above 65535: the Cluster API's BuildNumber (a WORD) reads 4464"}},
      {R"({"cluster": {"name": "C", "version": {"vendor": ")" + vendor63 + R"(", "csd": ")" + vendor63 + R"("}}})", {}},
      {R"({"cluster": {"name": "C", "version": {"vendor": ")" + vendor64 + R"(", "csd": ")" + vendor64 + R"(x"}}})",
       {"cluster.version.vendor: 64 characters: the Cluster API's szVendorId holds 63 and cuts the rest",
        "cluster.version.csd: 65 characters: the Cluster API's szCSDVersion holds 63 and cuts the rest"}},
  };
  for (const auto& c : cases) {
    ClusterModel model;
    std::string error;
    Warnings warnings;
    EXPECT_TRUE(LoadScenario(c.json, model, error, &warnings)) << error;
    EXPECT_EQ(warnings, c.warnings) << c.json;
  }
}

TEST(Scenario, NamesFaultsAndRemovedDefaultsAsWritten) {
  ClusterModel model;
  std::string error;
  ASSERT_TRUE(LoadScenarioFile(std::string(CLUSSIM_SCENARIOS) + "/faults.json", model, error)) << error;
  EXPECT_EQ(model.Find(Kind::Group, L"Unreadable")->preferred,
            (std::vector<std::wstring>{L"ft-node2", L"NO-SUCH-NODE", L"FT-NODE1"}));
  const Object* itf = model.Find(Kind::NetInterface, L"FT-NODE2 - Public");
  EXPECT_EQ(itf->nodeName, L"ft-node2");
  EXPECT_EQ(itf->networkName, L"public");
  EXPECT_EQ(model.Find(Kind::NetInterface, L"FT-GHOST - Public")->state, ClusterNetInterfaceUp);

  const Object* faulty = model.Find(Kind::Resource, L"Faulty IP");
  const DWORD expected[] = {5, 0, 5, 5, 1168};  // state, open, common, readonly, private
  for (std::size_t i = 0; i < kFaultKinds; ++i) EXPECT_EQ(faulty->faults.errors[i], expected[i]) << i;
  EXPECT_FALSE(model.Find(Kind::Resource, L"Healthy IP")->faults.Any());

  // null takes a default away; the others stay.
  const Object* defaults = model.Find(Kind::Group, L"Defaults");
  EXPECT_EQ(defaults->common.Find(L"AutoFailbackType"), nullptr);
  EXPECT_EQ(defaults->common.Find(L"PersistentState"), nullptr);
  EXPECT_NE(defaults->common.Find(L"FailoverThreshold"), nullptr);
}

}  // namespace
}  // namespace clustersim

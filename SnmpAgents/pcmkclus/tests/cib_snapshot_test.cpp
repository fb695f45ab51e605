// The Pacemaker cluster as a model: the fixture story state by state (each state's model
// and the notifications from the state before), and what cannot be read: crm_mon output
// without status, an unknown api-version, half-written XML, names of any length and
// character set.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cib_snapshot.h"
#include "cib_source.h"
#include "fixture_files.h"
#include "corosync_links.h"
#include "model_text.h"
#include "wide_text.h"

namespace pcmkclus {
namespace {

using clustersim::Kind;

using testing::Fixture;
using testing::Read;
using testing::States;

TEST(Fixtures, EachStateGivesItsModelAndItsChanges) {
  const auto states = States();
  ASSERT_GE(states.size(), 8u);
  clustersim::ClusterModel model;
  std::string error;
  std::vector<std::string> warnings;
  const std::string links = Fixture("states/corosync.conf");
  ASSERT_TRUE(SnapshotOfCibFile(Fixture("states/" + states[0] + ".xml"), model, error, warnings, links)) << error;
  PlaceUnownedGroups(model);
  EXPECT_EQ(Read(Fixture(states[0] + ".model")), ModelText(model));
  EXPECT_TRUE(warnings.empty());
  for (std::size_t i = 1; i < states.size(); ++i) {
    SCOPED_TRACE(states[i]);
    clustersim::Notifications out;
    std::string log;
    ASSERT_TRUE(FollowCibFile(
        Fixture("states/" + states[i] + ".xml"), model, out, [&log](const std::string& text) { log += text + "\n"; },
        links))
        << log;
    EXPECT_EQ(Read(Fixture(states[i] + ".changes")), NotificationsText(out));
    EXPECT_EQ(Read(Fixture(states[i] + ".model")), ModelText(model));
  }
}

// A crm_mon result around `body`, and a CIB around `resources`/`constraints`.
std::string Monitor(const std::string& body, const std::string& version = "2.25") {
  return "<pacemaker-result api-version=\"" + version + "\" request=\"crm_mon --output-as=xml\">" + body +
         "<status code=\"0\" message=\"OK\"/></pacemaker-result>";
}
std::string Cib(const std::string& nodes, const std::string& resources, const std::string& constraints = "") {
  return "<cib have-quorum=\"1\"><configuration><crm_config/><nodes>" + nodes + "</nodes><resources>" + resources +
         "</resources><constraints>" + constraints + "</constraints></configuration><status/></cib>";
}

TEST(CibSnapshot, RefusesWhatItCannotRead) {
  const std::string node = "<nodes><node name=\"n1\" id=\"1\" online=\"true\" type=\"member\"/></nodes><resources/>";
  const std::string cib = Cib("<node id=\"1\" uname=\"n1\"/>", "");
  struct Case {
    const char* what;
    std::string monitor, cib, expected;
  };
  const Case cases[] = {
      {"crm_mon could not read the CIB (it exits 0 all the same)",
       "<pacemaker-result api-version=\"2.25\"><status code=\"0\" message=\"OK\"><errors><error>Could not connect to "
       "the CIB: Update does not conform to the configured schema</error></errors></status></pacemaker-result>",
       cib, "crm_mon could not read the cluster: Could not connect to the CIB"},
      {"an unknown api-version", Monitor(node, "3.0"), cib, "api-version \"3.0\" is unknown"},
      {"no api-version", "<pacemaker-result>" + node + "</pacemaker-result>", cib, "api-version \"\" is unknown"},
      {"crm_mon output cut short", Monitor(node).substr(0, 80), cib, "not XML"},
      {"not crm_mon's output", "<cib/>", cib, "not a pacemaker-result"},
      {"empty output", "", cib, "not XML"},
      {"a half-written CIB", Monitor(node), cib.substr(0, cib.size() / 2), "the CIB is not XML"},
      {"a CIB without configuration", Monitor(node), "<cib><status/></cib>", "no configuration section"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    clustersim::ClusterModel model;
    std::string error;
    std::vector<std::string> warnings;
    EXPECT_FALSE(BuildModel(c.monitor, c.cib, model, error, warnings));
    EXPECT_NE(std::string::npos, error.find(c.expected)) << error;
  }
  // A cluster without resources has no resources section at all, and is a cluster.
  clustersim::ClusterModel model;
  std::string error;
  std::vector<std::string> warnings;
  EXPECT_TRUE(BuildModel(Monitor("<nodes><node name=\"n1\" id=\"1\" online=\"true\"/></nodes>"), cib, model, error,
                         warnings))
      << error;
  EXPECT_EQ(1u, model.List(Kind::Node).size());
}

TEST(CibSnapshot, NamesOfAnyLengthAndCharacterSet) {
  const std::string longName(5000, 'x');
  const std::vector<std::string> names = {"n\xC3\xBC-\xE3\x83\x8E\xE3\x83\xBC\xE3\x83\x89", longName,
                                          "with space & <markup>", "\xF0\x9F\x96\xA5"};
  const auto escape = [](const std::string& text) {
    std::string out;
    for (const char c : text) {
      if (c == '&') out += "&amp;";
      else if (c == '<') out += "&lt;";
      else if (c == '>') out += "&gt;";
      else out += c;
    }
    return out;
  };
  std::string monitorNodes, cibNodes;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string id = std::to_string(i + 1);
    monitorNodes += "<node name=\"" + escape(names[i]) + "\" id=\"" + id + "\" online=\"true\" type=\"member\"/>";
    cibNodes += "<node id=\"" + id + "\" uname=\"" + escape(names[i]) + "\"/>";
  }
  const std::string resourceId = "r" + std::string(3000, 'y');
  const std::string monitor =
      Monitor("<nodes>" + monitorNodes + "</nodes><resources><resource id=\"" + resourceId +
              "\" resource_agent=\"ocf:pacemaker:Dummy\" role=\"Started\" failed=\"false\"><node name=\"" +
              escape(names[1]) + "\" id=\"2\"/></resource></resources>");
  const std::string cib = Cib(cibNodes, "<primitive id=\"" + resourceId +
                                            "\" class=\"ocf\" provider=\"pacemaker\" type=\"Dummy\" "
                                            "description=\"\xC3\xA9t\xC3\xA9\"/>");
  clustersim::ClusterModel model;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(BuildModel(monitor, cib, model, error, warnings)) << error;
  ASSERT_EQ(names.size(), model.List(Kind::Node).size());
  for (const auto& name : names) EXPECT_NE(nullptr, model.Find(Kind::Node, winapi::WideFromUtf8(name))) << name.size();
  const auto* resource = model.Find(Kind::Resource, winapi::WideFromUtf8(resourceId));
  ASSERT_NE(nullptr, resource);
  EXPECT_EQ(ClusterResourceOnline, resource->state);
  EXPECT_EQ(winapi::WideFromUtf8(longName), model.Get(model.Get(resource->group)->node)->name);
  EXPECT_EQ(L"\u00e9t\u00e9", resource->common.Find(L"Description")->text);
}

TEST(CibSnapshot, StatesOfNodesAndResources) {
  struct NodeCase {
    const char* attributes;
    int state;
  };
  const NodeCase nodes[] = {
      {"online=\"true\"", ClusterNodeUp},
      {"online=\"true\" standby=\"true\"", ClusterNodePaused},
      {"online=\"true\" maintenance=\"true\"", ClusterNodePaused},
      {"online=\"false\" pending=\"true\"", ClusterNodeJoining},
      {"online=\"false\"", ClusterNodeDown},
      {"online=\"true\" unclean=\"true\"", ClusterNodeDown},
  };
  struct ResourceCase {
    const char* attributes;
    int state;
  };
  const ResourceCase resources[] = {
      {"role=\"Started\"", ClusterResourceOnline},
      {"role=\"Promoted\"", ClusterResourceOnline},
      {"role=\"Unpromoted\"", ClusterResourceOnline},
      {"role=\"Stopped\"", ClusterResourceOffline},
      {"role=\"Started\" failed=\"true\"", ClusterResourceFailed},
      {"role=\"Stopped\" failed=\"true\"", ClusterResourceFailed},
      {"role=\"Stopped\" pending=\"Starting\"", ClusterResourceOnlinePending},
      {"role=\"Started\" pending=\"Stopping\"", ClusterResourceOfflinePending},
      {"role=\"Nonsense\"", ClusterResourceStateUnknown},
      // Stopped with a failure recorded for it (see the failures section below).
      {"role=\"Stopped\"", ClusterResourceFailed},
      {"role=\"Started\"", ClusterResourceOnline},
  };
  std::string monitorNodes, cibNodes, monitorResources;
  for (std::size_t i = 0; i < std::size(nodes); ++i) {
    monitorNodes += "<node name=\"n" + std::to_string(i) + "\" id=\"" + std::to_string(i) + "\" " + nodes[i].attributes + "/>";
    cibNodes += "<node id=\"" + std::to_string(i) + "\" uname=\"n" + std::to_string(i) + "\"/>";
  }
  for (std::size_t i = 0; i < std::size(resources); ++i) {
    monitorResources += "<resource id=\"r" + std::to_string(i) + "\" resource_agent=\"ocf:pacemaker:Dummy\" " +
                        resources[i].attributes + "/>";
  }
  clustersim::ClusterModel model;
  std::string error;
  std::vector<std::string> warnings;
  // r9 stopped after its failure, r10 recovered from its own: failed, online.
  const std::string failures =
      "<failures><failure op_key=\"r9_monitor_10000\" node=\"n0\"/><failure op_key=\"r10_start_0\" node=\"n0\"/>"
      "</failures>";
  ASSERT_TRUE(BuildModel(Monitor("<nodes>" + monitorNodes + "</nodes><resources>" + monitorResources + "</resources>" +
                                 failures),
                         Cib(cibNodes, ""), model, error, warnings))
      << error;
  for (std::size_t i = 0; i < std::size(nodes); ++i) {
    EXPECT_EQ(nodes[i].state, model.Find(Kind::Node, L"n" + std::to_wstring(i))->state) << nodes[i].attributes;
  }
  for (std::size_t i = 0; i < std::size(resources); ++i) {
    EXPECT_EQ(resources[i].state, model.Find(Kind::Resource, L"r" + std::to_wstring(i))->state) << resources[i].attributes;
  }
}

TEST(CibSnapshot, IntervalsAndScores) {
  struct IntervalCase {
    const char* text;
    bool ok;
    unsigned long long ms;
  };
  const IntervalCase intervals[] = {
      {"10s", true, 10000}, {"10", true, 10000},   {"500ms", true, 500},     {"2min", true, 120000},
      {"1h", true, 3600000}, {"PT1M30S", true, 90000}, {" 15 s", true, 15000}, {"", false, 0},
      {"ten", false, 0},    {"10 parsecs", false, 0}, {"PT", false, 0},       {"PT10", false, 0},
  };
  for (const auto& c : intervals) {
    unsigned long long ms = 0;
    EXPECT_EQ(c.ok, ParseInterval(c.text, ms)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.ms, ms) << c.text;
    }
  }
  struct ScoreCase {
    const char* text;
    bool ok;
    long long score;
  };
  const ScoreCase scores[] = {{"INFINITY", true, 1000000}, {"+INFINITY", true, 1000000}, {"-INFINITY", true, -1000000},
                              {"100", true, 100},          {"-5", true, -5},            {"99999999", true, 1000000},
                              {"", false, 0},              {"lots", false, 0}};
  for (const auto& c : scores) {
    long long score = 0;
    EXPECT_EQ(c.ok, ParseScore(c.text, score)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.score, score) << c.text;
    }
  }
}

TEST(CibSnapshot, VersionOfACib) {
  struct Case {
    const char* xml;
    const char* version;
  };
  const Case cases[] = {
      {"<cib admin_epoch=\"0\" epoch=\"7\" num_updates=\"19\"/>", "0.7.19"},
      {"<cib admin_epoch=\"1\" epoch=\"2\" num_updates=\"3\"><configuration/><status/></cib>", "1.2.3"},
      {"<pacemaker-result/>", ""},
      {"<cib epoch=\"1\"", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.version, CibVersion(c.xml)) << c.xml;
}

TEST(CorosyncLinks, NodesAndTheirLinks) {
  struct Case {
    const char* what;
    const char* text;
    bool ok;
    const char* nodes;  // name:link=address,... per node, " " between nodes
  };
  const Case cases[] = {
      {"two links", "nodelist {\n node {\n  ring0_addr: 10.0.0.1\n  ring1_addr: fd00::1 # second link\n  name: a\n }\n"
       " node { \n name: b\n ring0_addr: 10.0.0.2\n }\n}\n", true, "a:0=10.0.0.1,1=fd00::1 b:0=10.0.0.2"},
      {"other sections are passed over", "totem {\n interface {\n linknumber: 0\n }\n}\nquorum {\n provider: x\n}\n",
       true, ""},
      {"a section left open", "nodelist {\n node {\n name: a\n", false, ""},
      {"a stray brace", "}\n", false, ""},
      {"a line that is no key", "nodelist {\n what\n}\n", false, ""},
      {"not a ring key", "nodelist {\n node {\n ringX_addr: 1\n ring_addr: 2\n name: a\n }\n}\n", true, "a:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<CorosyncNode> nodes;
    std::string error;
    EXPECT_EQ(c.ok, ParseCorosyncNodes(c.text, nodes, error)) << error;
    if (!c.ok) continue;
    std::string text;
    for (const auto& node : nodes) {
      text += (text.empty() ? "" : " ") + node.name + ":";
      for (std::size_t i = 0; i < node.links.size(); ++i) {
        text += (i ? "," : "") + std::to_string(node.links[i].first) + "=" + node.links[i].second;
      }
    }
    EXPECT_EQ(c.nodes, text);
  }
}

TEST(CorosyncLinks, InterfacesFollowTheirNodes) {
  clustersim::ClusterModel model;
  for (const auto& [name, state] : {std::pair{L"up", ClusterNodeUp}, {L"paused", ClusterNodePaused}, {L"down", ClusterNodeDown}}) {
    model.Add(Kind::Node, name)->state = state;
  }
  std::vector<std::string> warnings;
  AddCorosyncLinks({{"up", {{0, "10.0.0.1"}}}, {"paused", {{0, "10.0.0.2"}}}, {"down", {{0, "10.0.0.3"}, {1, "10.1.0.3"}}},
                    {"stranger", {{0, "10.0.0.9"}}}},
                   model, warnings);
  EXPECT_EQ(ClusterNetInterfaceUp, model.Find(Kind::NetInterface, L"up - Link 0")->state);
  EXPECT_EQ(ClusterNetInterfaceUp, model.Find(Kind::NetInterface, L"paused - Link 0")->state);
  EXPECT_EQ(ClusterNetInterfaceUnavailable, model.Find(Kind::NetInterface, L"down - Link 0")->state);
  EXPECT_EQ(ClusterNetworkUp, model.Find(Kind::Network, L"Link 0")->state);
  EXPECT_EQ(ClusterNetworkUnavailable, model.Find(Kind::Network, L"Link 1")->state);
  EXPECT_EQ(L"10.1.0.3", model.Find(Kind::NetInterface, L"down - Link 1")->readOnly.Find(L"Address")->text);
  EXPECT_EQ(nullptr, model.Find(Kind::NetInterface, L"stranger - Link 0"));
  ASSERT_EQ(1u, warnings.size());
  EXPECT_NE(std::string::npos, warnings[0].find("stranger"));
}

TEST(CibFile, AnUnreadableStateKeepsTheLastGoodModel) {
  const auto states = States();
  ASSERT_FALSE(states.empty());
  char dir[] = "/tmp/pcmkclus-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string path = std::string(dir) + "/cib.xml";
  const std::string good = Read(Fixture("states/" + states.front() + ".xml"));
  clustersim::ClusterModel model;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(SnapshotOfCibFile(Fixture("states/" + states.front() + ".xml"), model, error, warnings)) << error;
  PlaceUnownedGroups(model);
  const std::string before = ModelText(model);
  for (const std::string& bad : {good.substr(0, good.size() / 2), std::string(), std::string("<cib")}) {
    std::ofstream(path, std::ios::trunc) << bad;
    clustersim::Notifications out;
    std::string log;
    EXPECT_FALSE(FollowCibFile(path, model, out, [&log](const std::string& text) { log += text; }));
    EXPECT_TRUE(out.empty());
    EXPECT_NE(std::string::npos, log.find("serving the last good state")) << log;
    EXPECT_EQ(before, ModelText(model));
  }
  clustersim::Notifications out;
  EXPECT_FALSE(FollowCibFile(std::string(dir) + "/missing.xml", model, out, [](const std::string&) {}));
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace pcmkclus

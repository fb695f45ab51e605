// A model that follows a later snapshot raises what the cluster service raises for the
// change that led there: each operation, applied to a copy, must come out of Reconcile
// as the same notifications in the same order, and leave the same cluster.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "model.h"
#include "scenario.h"
#include "wide_text.h"

namespace clustersim {
namespace {

using Change = std::function<bool(ClusterModel&, Notifications&, std::wstring&)>;

std::string Text(const Notifications& list) {
  std::string text;
  for (const auto& n : list) text += std::to_string(n.code) + " " + winapi::Utf8FromWide(n.name) + "\n";
  return text;
}

// Names, states, owners, groups, dependencies and properties of every object.
std::string Cluster(const ClusterModel& model) {
  const auto name = [&](ObjectId id) { return id && model.Get(id) ? winapi::Utf8FromWide(model.Get(id)->name) : "-"; };
  std::string text;
  for (const Kind kind : {Kind::Node, Kind::Network, Kind::NetInterface, Kind::ResourceType, Kind::Group, Kind::Resource}) {
    for (const Object* o : model.Objects(kind)) {
      text += winapi::Utf8FromWide(o->name) + " " + std::to_string(o->state) + " " + name(o->node) + " " + name(o->group);
      for (const ObjectId d : o->dependencies) text += " <" + name(d);
      for (const auto& p : o->preferred) text += " ~" + winapi::Utf8FromWide(p);
      for (const PropertySet* set : {&o->common, &o->readOnly, &o->priv}) {
        for (const auto& [key, value] : set->Items()) {
          text += " " + winapi::Utf8FromWide(key) + "=" + winapi::Utf8FromWide(value.text) + std::to_string(value.number);
        }
      }
      text += "\n";
    }
  }
  for (const auto& [key, values] : model.registry) text += winapi::Utf8FromWide(key) + " " + std::to_string(values.size()) + "\n";
  return text;
}

void Load(ClusterModel& model) {
  std::string error;
  ASSERT_TRUE(LoadScenarioFile(std::string(CLUSSIM_SCENARIOS) + "/two-node-fileserver.json", model, error)) << error;
}

Change Node(const wchar_t* name, int state) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetNodeState(name, state, o, e); };
}
Change Group(const wchar_t* name, int state) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetGroupState(name, state, o, e); };
}
Change Resource(const wchar_t* name, int state) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetResourceState(name, state, o, e); };
}
Change Move(const wchar_t* group, const wchar_t* node) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.MoveGroup(group, node, o, e); };
}
Change Network(const wchar_t* name, int state) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetNetworkState(name, state, o, e); };
}
Change Add(Kind kind, std::vector<std::wstring> args) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.AddObject(kind, args, o, e); };
}
Change Delete(Kind kind, const wchar_t* name) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.DeleteObject(kind, name, o, e); };
}
Change Set(Kind kind, const wchar_t* name, const wchar_t* property, const wchar_t* value) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetProperty(kind, name, property, value, o, e); };
}
Change Registry(const wchar_t* key, const wchar_t* value, const wchar_t* data) {
  return [=](ClusterModel& m, Notifications& o, std::wstring& e) { return m.SetRegistryValue(key, value, data, o, e); };
}

TEST(Reconcile, RaisesWhatTheChangeRaised) {
  struct Case {
    const char* what;
    std::vector<Change> before;  // applied to both
    Change change;               // applied to the snapshot only
  };
  const Case cases[] = {
      {"a node fails: its state, its interfaces, then its groups fail over", {}, Node(L"FS-NODE2", ClusterNodeDown)},
      {"a node comes back", {Node(L"FS-NODE2", ClusterNodeDown)}, Node(L"FS-NODE2", ClusterNodeUp)},
      {"a node pauses (standby)", {}, Node(L"FS-NODE1", ClusterNodePaused)},
      {"a node joins", {Node(L"FS-NODE2", ClusterNodeDown)}, Node(L"FS-NODE2", ClusterNodeJoining)},
      {"a group moves: offline dependents first, owner, online providers first", {}, Move(L"Files", L"FS-NODE1")},
      {"a group goes offline", {}, Group(L"Files", ClusterGroupOffline)},
      {"a group comes online", {Group(L"Files", ClusterGroupOffline)}, Group(L"Files", ClusterGroupOnline)},
      {"a provider fails: its dependent goes offline first", {}, Resource(L"Disk S:", ClusterResourceFailed)},
      {"a failed resource recovers", {Resource(L"Files IP Address", ClusterResourceFailed)},
       Resource(L"Files IP Address", ClusterResourceOnline)},
      {"a network goes down: interfaces first", {}, Network(L"Public", ClusterNetworkDown)},
      {"a group is added", {}, Add(Kind::Group, {L"Extra", L"FS-NODE2"})},
      {"a resource is added", {}, Add(Kind::Resource, {L"Extra Disk", L"Files", L"Physical Disk"})},
      {"a resource is deleted", {Resource(L"Users Share", ClusterResourceOffline)}, Delete(Kind::Resource, L"Users Share")},
      {"a property changes", {}, Set(Kind::Group, L"Files", L"FailoverThreshold", L"4")},
      {"a private property raises its registry key too", {}, Set(Kind::Resource, L"Disk S:", L"private.Drive", L"T:")},
      {"a cluster registry value changes", {}, Registry(L"Parameters", L"Notes", L"changed")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClusterModel model, snapshot;
    Load(model);
    Load(snapshot);
    Notifications ignored, expected, actual;
    std::wstring error;
    for (const auto& step : c.before) {
      ASSERT_TRUE(step(model, ignored, error)) << winapi::Utf8FromWide(error);
      ASSERT_TRUE(step(snapshot, ignored, error)) << winapi::Utf8FromWide(error);
    }
    ASSERT_TRUE(c.change(snapshot, expected, error)) << winapi::Utf8FromWide(error);
    ASSERT_FALSE(expected.empty());
    model.Reconcile(snapshot, actual);
    EXPECT_EQ(Text(expected), Text(actual));
    EXPECT_EQ(Cluster(snapshot), Cluster(model));
    // The same snapshot again changes nothing.
    Notifications again;
    model.Reconcile(snapshot, again);
    EXPECT_EQ("", Text(again));
  }
}

TEST(Reconcile, KeepsIdsAndPlacesOfWhatStays) {
  ClusterModel model, snapshot;
  Load(model);
  Load(snapshot);
  Notifications out;
  std::wstring error;
  ASSERT_TRUE(snapshot.AddObject(Kind::Node, {L"FS-NODE3"}, out, error));
  const ObjectId files = model.Find(Kind::Group, L"Files")->id;
  out.clear();
  model.Reconcile(snapshot, out);
  EXPECT_EQ(files, model.Find(Kind::Group, L"Files")->id);
  EXPECT_EQ(L"FS-NODE3", model.Objects(Kind::Node).back()->name);
}

TEST(Reconcile, AGroupPlacedNowhereStaysOnItsOwner) {
  ClusterModel model, snapshot;
  Load(model);
  Load(snapshot);
  Notifications out;
  std::wstring error;
  ASSERT_TRUE(snapshot.SetGroupState(L"Files", ClusterGroupOffline, out, error));
  snapshot.Get(snapshot.Find(Kind::Group, L"Files")->id)->node = 0;
  out.clear();
  model.Reconcile(snapshot, out);
  EXPECT_EQ(L"FS-NODE2", model.Get(model.Find(Kind::Group, L"Files")->node)->name);
  for (const auto& n : out) EXPECT_NE(static_cast<DWORD>(CLUSTER_CHANGE_GROUP_PROPERTY), n.code);
}

TEST(Reconcile, ObjectsThatLeaveGoLastAndLeaveNothingPointingAtThem) {
  ClusterModel model, snapshot;
  Load(model);
  Load(snapshot);
  Notifications out;
  std::wstring error;
  for (const wchar_t* r : {L"Users Share", L"Disk S:", L"Files IP Address"}) {
    ASSERT_TRUE(snapshot.SetResourceState(r, ClusterResourceOffline, out, error));
    ASSERT_TRUE(snapshot.DeleteObject(Kind::Resource, r, out, error)) << winapi::Utf8FromWide(error);
  }
  ASSERT_TRUE(snapshot.DeleteObject(Kind::Group, L"Files", out, error));
  out.clear();
  model.Reconcile(snapshot, out);
  EXPECT_EQ(Cluster(snapshot), Cluster(model));
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(static_cast<DWORD>(CLUSTER_CHANGE_GROUP_DELETED), out.back().code);
  EXPECT_EQ(nullptr, model.Find(Kind::Resource, L"Disk S:"));
}

}  // namespace
}  // namespace clustersim

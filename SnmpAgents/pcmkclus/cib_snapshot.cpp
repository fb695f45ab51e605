#include "cib_snapshot.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "wide_text.h"

namespace pcmkclus {

namespace {

using clustersim::Kind;
using clustersim::Object;
using clustersim::ObjectId;
using clustersim::PropertyValue;

struct XmlFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocument = std::unique_ptr<xmlDoc, XmlFree>;

XmlDocument Parse(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  return XmlDocument(xmlReadMemory(text.data(), static_cast<int>(text.size()), "cib.xml", nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

bool Is(const xmlNode* node, const char* name) {
  return node && node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

std::string Attr(const xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (!value) return std::string();
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

bool True(const xmlNode* node, const char* name) { return Attr(node, name) == "true"; }

std::vector<const xmlNode*> Children(const xmlNode* node, const char* name = nullptr) {
  std::vector<const xmlNode*> result;
  if (!node) return result;
  for (const xmlNode* child = node->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE && (!name || Is(child, name))) result.push_back(child);
  }
  return result;
}

const xmlNode* Child(const xmlNode* node, const char* name) {
  const auto all = Children(node, name);
  return all.empty() ? nullptr : all.front();
}

// The first element of that name anywhere below `node`, depth first.
const xmlNode* Descendant(const xmlNode* node, const char* name) {
  for (const xmlNode* child : Children(node)) {
    if (Is(child, name)) return child;
    if (const xmlNode* found = Descendant(child, name)) return found;
  }
  return nullptr;
}

std::wstring Wide(const std::string& text) { return winapi::WideFromUtf8(text); }

// name -> value of every nvpair in the sets of that kind directly under `node`.
std::vector<std::pair<std::string, std::string>> NvPairs(const xmlNode* node, const char* setName) {
  std::vector<std::pair<std::string, std::string>> result;
  for (const xmlNode* set : Children(node, setName)) {
    for (const xmlNode* pair : Children(set, "nvpair")) result.emplace_back(Attr(pair, "name"), Attr(pair, "value"));
  }
  return result;
}

std::string Lookup(const std::vector<std::pair<std::string, std::string>>& pairs, const std::string& name) {
  for (const auto& [key, value] : pairs) {
    if (key == name) return value;
  }
  return std::string();
}

// What the configuration says about one primitive.
struct Primitive {
  const xmlNode* element = nullptr;
  std::string agent;  // class:provider:type
};

struct Configuration {
  XmlDocument document;  // the primitives' elements live in it
  std::map<std::string, Primitive> primitives;
  std::string clusterName, dcVersion;
  std::string haveQuorum;
  std::map<std::string, std::string> groupDescriptions;
  // rsc -> (score, node) of the location constraints that name a node.
  std::map<std::string, std::vector<std::pair<long long, std::string>>> locations;
  std::vector<std::pair<std::string, std::string>> orders;       // first, then
  std::vector<std::pair<std::string, std::string>> colocations;  // rsc, with-rsc
};

void ReadResources(const xmlNode* parent, Configuration& config) {
  for (const xmlNode* child : Children(parent)) {
    if (Is(child, "primitive")) {
      const std::string provider = Attr(child, "provider");
      Primitive primitive{child, Attr(child, "class") + (provider.empty() ? "" : ":" + provider) + ":" + Attr(child, "type")};
      config.primitives[Attr(child, "id")] = primitive;
    } else if (Is(child, "group")) {
      config.groupDescriptions[Attr(child, "id")] = Attr(child, "description");
      ReadResources(child, config);
    } else if (Is(child, "clone") || Is(child, "master")) {
      ReadResources(child, config);
    }
  }
}

bool ReadConfiguration(const std::string& cibXml, Configuration& config, std::string& error) {
  config.document = Parse(cibXml);
  const xmlNode* root = config.document ? xmlDocGetRootElement(config.document.get()) : nullptr;
  if (!root) {
    error = "the CIB is not XML";
    return false;
  }
  config.haveQuorum = Attr(root, "have-quorum");
  const xmlNode* configuration = Is(root, "configuration") ? root : Descendant(root, "configuration");
  if (!configuration) {
    error = "the CIB has no configuration section";
    return false;
  }
  for (const xmlNode* set : Children(Child(configuration, "crm_config"), "cluster_property_set")) {
    for (const xmlNode* pair : Children(set, "nvpair")) {
      const std::string name = Attr(pair, "name");
      if (name == "cluster-name") config.clusterName = Attr(pair, "value");
      if (name == "dc-version") config.dcVersion = Attr(pair, "value");
    }
  }
  ReadResources(Child(configuration, "resources"), config);
  for (const xmlNode* constraint : Children(Child(configuration, "constraints"))) {
    long long score = 0;
    if (Is(constraint, "rsc_location") && !Attr(constraint, "node").empty() && ParseScore(Attr(constraint, "score"), score)) {
      config.locations[Attr(constraint, "rsc")].emplace_back(score, Attr(constraint, "node"));
    } else if (Is(constraint, "rsc_order")) {
      config.orders.emplace_back(Attr(constraint, "first"), Attr(constraint, "then"));
    } else if (Is(constraint, "rsc_colocation") &&
               (!ParseScore(Attr(constraint, "score"), score) || score >= 0)) {
      config.colocations.emplace_back(Attr(constraint, "rsc"), Attr(constraint, "with-rsc"));
    }
  }
  return true;
}

int NodeState(const xmlNode* node) {
  if (True(node, "unclean")) return ClusterNodeDown;
  if (True(node, "pending")) return ClusterNodeJoining;
  if (!True(node, "online")) return ClusterNodeDown;
  if (True(node, "standby") || True(node, "maintenance")) return ClusterNodePaused;
  return ClusterNodeUp;
}

struct RoleRow {
  const char* role;
  int state;
};

constexpr RoleRow kRoles[] = {
    {"Started", ClusterResourceOnline},         {"Promoted", ClusterResourceOnline},
    {"Unpromoted", ClusterResourceOnline},      {"Master", ClusterResourceOnline},
    {"Slave", ClusterResourceOnline},           {"Stopped", ClusterResourceOffline},
    {"Starting", ClusterResourceOnlinePending}, {"Promoting", ClusterResourceOnlinePending},
    {"Migrating", ClusterResourceOnlinePending}, {"Stopping", ClusterResourceOfflinePending},
    {"Demoting", ClusterResourceOfflinePending},
};

int ResourceState(const xmlNode* resource) {
  // A failed resource stays failed while it still runs.
  if (True(resource, "failed")) return ClusterResourceFailed;
  // With record-pending, an operation under way is reported beside the role.
  const std::string pending = Attr(resource, "pending");
  const std::string role = pending.empty() ? Attr(resource, "role") : pending;
  for (const auto& row : kRoles) {
    if (role == row.role) return row.state;
  }
  return ClusterResourceStateUnknown;
}

// The node a monitored resource runs on, empty when it runs nowhere.
std::string RunningOn(const xmlNode* resource) {
  const xmlNode* node = Child(resource, "node");
  return node ? Attr(node, "name") : std::string();
}

class Builder {
 public:
  Builder(ClusterModel& model, const Configuration& config, std::vector<std::string>& warnings)
      : model_(model), config_(config), warnings_(warnings) {}

  void Nodes(const xmlNode* nodes) {
    for (const xmlNode* node : Children(nodes, "node")) {
      const std::string name = Attr(node, "name");
      Object* object = model_.Add(Kind::Node, Wide(name));
      if (!object) {
        warnings_.push_back("node \"" + name + "\" appears twice or has no name: skipped");
        continue;
      }
      object->state = NodeState(node);
      object->priv.Set(L"PacemakerId", PropertyValue::Text(Wide(Attr(node, "id"))));
      object->priv.Set(L"PacemakerType", PropertyValue::Text(Wide(Attr(node, "type"))));
    }
  }

  void Resources(const xmlNode* resources) {
    for (const xmlNode* item : Children(resources)) {
      if (Is(item, "resource")) Standalone(item);
      else if (Is(item, "group")) Group(item, Attr(item, "id"), "group", "", {});
      else if (Is(item, "clone")) Clone(item);
      else warnings_.push_back("resource \"" + Attr(item, "id") + "\" is a " + reinterpret_cast<const char*>(item->name) +
                               ": not mapped");
    }
    SettleGroups();
  }

  void Dependencies() {
    const auto depend = [&](const std::string& dependent, const std::string& provider) {
      Object* d = model_.Find(Kind::Resource, Wide(dependent));
      const Object* p = model_.Find(Kind::Resource, Wide(provider));
      if (!d || !p || d == p) return;
      if (std::find(d->dependencies.begin(), d->dependencies.end(), p->id) == d->dependencies.end()) {
        d->dependencies.push_back(p->id);
      }
    };
    for (const auto& [first, then] : config_.orders) depend(then, first);
    for (const auto& [rsc, with] : config_.colocations) depend(rsc, with);
  }

  void Facts() {
    auto& facts = model_.facts;
    facts.name = Wide(config_.clusterName.empty() ? "pacemaker" : config_.clusterName);
    facts.vendor = L"Pacemaker";
    facts.csd = Wide(config_.dcVersion);
    facts.major = facts.minor = facts.build = 0;
    // "2.1.5-a3f44794f94": major.minor.build, then the source revision.
    DWORD* parts[] = {&facts.major, &facts.minor, &facts.build};
    const char* at = config_.dcVersion.c_str();
    for (DWORD* part : parts) {
      if (!std::isdigit(static_cast<unsigned char>(*at))) break;
      char* end = nullptr;
      *part = static_cast<DWORD>(std::strtoul(at, &end, 10));
      at = *end == '.' ? end + 1 : end;
    }
    facts.highest = facts.lowest = (facts.major << 16) | facts.minor;
    facts.quorumResource.clear();
    facts.quorumDevice.clear();
    clustersim::RegistryValues values;
    values.emplace_back(L"HaveQuorum", PropertyValue::Dword(config_.haveQuorum == "1" || config_.haveQuorum == "true"));
    values.emplace_back(L"DcVersion", PropertyValue::Text(Wide(config_.dcVersion)));
    values.emplace_back(L"DcNode", PropertyValue::Text(dcNode_));
    model_.registry[L"Pacemaker"] = std::move(values);
  }

  // The resources with a recorded failure, and the nodes it happened on, from the
  // failures section: op_key is RESOURCE_TASK_INTERVAL, a clone's RESOURCE with ":N".
  void Failures(const xmlNode* failures) {
    for (const xmlNode* failure : Children(failures, "failure")) {
      std::string key = Attr(failure, "op_key");
      for (int part = 0; part < 2; ++part) {
        const auto underscore = key.rfind('_');
        key = underscore == std::string::npos ? std::string() : key.substr(0, underscore);
      }
      if (!key.empty()) failures_[BaseId(key)].insert(Attr(failure, "node"));
    }
  }

  void DcNode(const xmlNode* summary) {
    const xmlNode* dc = Child(summary, "current_dc");
    if (dc && True(dc, "present")) dcNode_ = Wide(Attr(dc, "name"));
  }

 private:
  ObjectId NodeId(const std::string& name) const {
    const Object* node = model_.Find(Kind::Node, Wide(name));
    return node ? node->id : 0;
  }

  std::vector<std::wstring> Preferred(const std::string& id) const {
    const auto it = config_.locations.find(id);
    if (it == config_.locations.end()) return {};
    std::vector<std::pair<long long, std::string>> byScore;
    std::copy_if(it->second.begin(), it->second.end(), std::back_inserter(byScore),
                 [](const auto& entry) { return entry.first > 0; });
    std::stable_sort(byScore.begin(), byScore.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::wstring> result;
    for (const auto& entry : byScore) result.push_back(Wide(entry.second));
    return result;
  }

  Object* NewGroup(const std::string& name, const std::string& kind, const std::string& pacemakerId) {
    Object* group = model_.Add(Kind::Group, Wide(name));
    if (!group) {
      warnings_.push_back("group \"" + name + "\" appears twice: skipped");
      return nullptr;
    }
    group->state = ClusterGroupOffline;
    group->priv.Set(L"PacemakerKind", PropertyValue::Text(Wide(kind)));
    group->priv.Set(L"PacemakerId", PropertyValue::Text(Wide(pacemakerId)));
    return group;
  }

  // A resource of the model from crm_mon's resource element and the configuration of
  // the primitive `configured`.
  // `absent`: an instance of an anonymous clone that runs nowhere on this node, made from
  // another instance's element.
  Object* NewResource(const xmlNode* monitored, const std::string& name, const std::string& configured, Object& group,
                      bool absent = false, bool promotable = false, const std::string& instanceNode = std::string()) {
    Object* resource = model_.Add(Kind::Resource, Wide(name));
    if (!resource) {
      warnings_.push_back("resource \"" + name + "\" appears twice: skipped");
      return nullptr;
    }
    resource->group = group.id;
    resource->state = absent ? ClusterResourceOffline : ResourceState(monitored);
    // A resource that stopped because it failed is failed until its failure is cleaned
    // up; an anonymous clone's instance only by a failure on its own node.
    if (resource->state == ClusterResourceOffline && FailedOn(configured, instanceNode)) {
      resource->state = ClusterResourceFailed;
    }
    // Whether an instance is promoted is a property: a promotion or demotion changes it,
    // a stop or start does not.
    if (promotable) {
      const std::string role = absent ? std::string() : Attr(monitored, "role");
      const bool promoted = role == "Promoted" || role == "Master";
      resource->readOnly.Set(L"PacemakerRole", PropertyValue::Text(promoted ? L"Promoted" : L"Unpromoted"));
    }
    const auto it = config_.primitives.find(configured);
    std::string agent = Attr(monitored, "resource_agent");
    if (it != config_.primitives.end()) {
      agent = it->second.agent;
      Configure(*resource, it->second);
    }
    resource->typeName = Wide(agent);
    if (!agent.empty() && !model_.Find(Kind::ResourceType, Wide(agent))) model_.Add(Kind::ResourceType, Wide(agent));
    const std::string node = absent ? std::string() : RunningOn(monitored);
    if (!node.empty() && !group.node) group.node = NodeId(node);
    return resource;
  }

  void Configure(Object& resource, const Primitive& primitive) {
    const xmlNode* element = primitive.element;
    const auto instance = NvPairs(element, "instance_attributes");
    for (const auto& [name, value] : instance) resource.priv.Set(Wide(name), PropertyValue::Text(Wide(value)));
    // The agent reads a resource's address from "Address".
    const std::string address = Lookup(instance, "ip").empty() ? Lookup(instance, "ipv6addr") : Lookup(instance, "ip");
    if (!address.empty() && !resource.priv.Find(L"Address")) resource.priv.Set(L"Address", PropertyValue::Text(Wide(address)));
    const std::string description = Attr(element, "description");
    if (!description.empty()) resource.common.Set(L"Description", PropertyValue::Text(Wide(description)));
    const auto meta = NvPairs(element, "meta_attributes");
    if (Lookup(meta, "target-role") == "Stopped") resource.common.Set(L"PersistentState", PropertyValue::Dword(0));
    long long threshold = 0;
    if (ParseScore(Lookup(meta, "migration-threshold"), threshold) && threshold >= 0) {
      resource.common.Set(L"RestartThreshold", PropertyValue::Dword(static_cast<DWORD>(std::min<long long>(threshold, 0xFFFFFFFF))));
    }
    unsigned long long ms = 0;
    if (ParseInterval(Lookup(meta, "failure-timeout"), ms)) resource.common.Set(L"RestartPeriod", Milliseconds(ms));
    bool monitored = false;
    for (const xmlNode* op : Children(Child(element, "operations"), "op")) {
      const std::string name = Attr(op, "name");
      // The first monitor only: a promotable resource has one per role.
      if (name == "monitor" && !monitored && ParseInterval(Attr(op, "interval"), ms) && ms) {
        resource.common.Set(L"LooksAlivePollInterval", Milliseconds(ms));
        resource.common.Set(L"IsAlivePollInterval", Milliseconds(ms));
        monitored = true;
      }
      if (name == "start" && ParseInterval(Attr(op, "timeout"), ms)) resource.common.Set(L"PendingTimeout", Milliseconds(ms));
    }
  }

  static PropertyValue Milliseconds(unsigned long long ms) {
    return PropertyValue::Dword(static_cast<DWORD>(std::min<unsigned long long>(ms, 0xFFFFFFFF)));
  }

  void Standalone(const xmlNode* item) {
    const std::string id = Attr(item, "id");
    Object* group = NewGroup(id, "primitive", id);
    if (!group) return;
    group->preferred = Preferred(id);
    NewResource(item, id, id, *group);
  }

  // Members of a group, each depending on the one before it (a group starts in order).
  void Group(const xmlNode* item, const std::string& name, const std::string& kind, const std::string& suffix,
             const std::vector<std::wstring>& preferred, bool absent = false, bool promotable = false,
             const std::string& anonymousNode = std::string()) {
    const std::string id = Attr(item, "id");
    Object* group = NewGroup(name, kind, suffix.empty() ? id : BaseId(id));
    if (!group) return;
    group->preferred = suffix.empty() ? Preferred(id) : preferred;
    const auto desc = config_.groupDescriptions.find(id);
    if (desc != config_.groupDescriptions.end() && !desc->second.empty()) {
      group->common.Set(L"Description", PropertyValue::Text(Wide(desc->second)));
    }
    ObjectId previous = 0;
    for (const xmlNode* member : Children(item, "resource")) {
      const std::string memberId = BaseId(Attr(member, "id"));
      Object* resource = NewResource(member, memberId + suffix, memberId, *group, absent, promotable, anonymousNode);
      if (!resource) continue;
      if (previous) resource->dependencies.push_back(previous);
      previous = resource->id;
    }
  }

  // Each instance of a clone is a group of its own, so that every group has one owner.
  // A unique clone's instances are named after their numbers ("clone:0"); an anonymous
  // clone has one instance group per node ("clone:node"), offline where no instance runs,
  // so that a node failing stops its instance instead of renaming it.
  void Clone(const xmlNode* clone) {
    const std::string cloneId = Attr(clone, "id");
    const bool promotable = True(clone, "multi_state");
    const std::string kind = promotable ? "promotable clone instance" : "clone instance";
    const auto instances = Children(clone);
    if (instances.empty()) return;
    if (True(clone, "unique")) {
      for (const xmlNode* instance : instances) {
        const std::string id = Attr(instance, "id");
        const auto colon = id.rfind(':');
        Instance(cloneId, kind, instance, colon == std::string::npos ? id : id.substr(colon + 1), {}, false, promotable);
      }
      return;
    }
    std::map<std::string, const xmlNode*> byNode;
    for (const xmlNode* instance : instances) {
      const std::string node = InstanceNode(instance);
      if (node.empty()) continue;
      if (!byNode.emplace(node, instance).second) {
        warnings_.push_back("clone \"" + cloneId + "\" runs more than one instance on node \"" + node +
                            "\": the first one is mapped");
      }
    }
    for (const Object* node : model_.Objects(Kind::Node)) {
      const std::string name = winapi::Utf8FromWide(node->name);
      const auto it = byNode.find(name);
      const bool absent = it == byNode.end();
      Instance(cloneId, kind, absent ? instances.front() : it->second, name, {node->name}, absent, promotable, name);
    }
  }

  static std::string InstanceNode(const xmlNode* instance) {
    if (!Is(instance, "group")) return RunningOn(instance);
    for (const xmlNode* member : Children(instance, "resource")) {
      const std::string node = RunningOn(member);
      if (!node.empty()) return node;
    }
    return std::string();
  }

  void Instance(const std::string& cloneId, const std::string& kind, const xmlNode* instance, const std::string& key,
                const std::vector<std::wstring>& preferred, bool absent, bool promotable,
                const std::string& anonymousNode = std::string()) {
    const std::string suffix = ":" + key;
    if (Is(instance, "group")) {
      Group(instance, cloneId + suffix, kind, suffix, preferred, absent, promotable, anonymousNode);
      if (Object* group = model_.Find(Kind::Group, Wide(cloneId + suffix))) {
        group->priv.Set(L"PacemakerId", PropertyValue::Text(Wide(cloneId)));
      }
      return;
    }
    Object* group = NewGroup(cloneId + suffix, kind, cloneId);
    if (!group) return;
    group->preferred = preferred;
    const std::string id = BaseId(Attr(instance, "id"));
    NewResource(instance, id + suffix, id, *group, absent, promotable, anonymousNode);
  }

  static std::string BaseId(const std::string& id) {
    const auto colon = id.rfind(':');
    return colon == std::string::npos ? id : id.substr(0, colon);
  }

  // Group states once every resource is in: the model indexes group contents anew after
  // each addition, so settling each group as it is built would cost groups x resources.
  void SettleGroups() {
    clustersim::Notifications ignored;
    for (const ObjectId id : model_.List(Kind::Group)) model_.UpdateGroupState(*model_.Get(id), ignored);
  }

  bool FailedOn(const std::string& resource, const std::string& node) const {
    const auto it = failures_.find(resource);
    return it != failures_.end() && (node.empty() || it->second.count(node));
  }

  ClusterModel& model_;
  const Configuration& config_;
  std::map<std::string, std::set<std::string>> failures_;
  std::vector<std::string>& warnings_;
  std::wstring dcNode_;
};

bool CheckMonitorOutput(const xmlNode* root, std::string& error) {
  if (!Is(root, "pacemaker-result")) {
    error = "crm_mon's output is not a pacemaker-result";
    return false;
  }
  const std::string version = Attr(root, "api-version");
  const int major = std::atoi(version.c_str());
  if (major != kMonitorApiMajor) {
    error = "crm_mon's api-version \"" + version + "\" is unknown (this service reads " +
            std::to_string(kMonitorApiMajor) + ".x)";
    return false;
  }
  // A cluster without resources has no resources section; one without nodes cannot be.
  if (!Child(root, "nodes")) {
    std::string why;
    const xmlNode* status = Child(root, "status");
    for (const xmlNode* e : Children(Child(status, "errors"), "error")) {
      xmlChar* text = xmlNodeGetContent(e);
      if (text) {
        why += (why.empty() ? "" : "; ") + std::string(reinterpret_cast<const char*>(text));
        xmlFree(text);
      }
    }
    if (why.empty() && status) why = Attr(status, "message");
    error = "crm_mon could not read the cluster" + (why.empty() ? std::string() : ": " + why);
    return false;
  }
  return true;
}

}  // namespace

std::string CibVersion(const std::string& cibXml) {
  const XmlDocument doc = Parse(cibXml);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!Is(root, "cib")) return std::string();
  return Attr(root, "admin_epoch") + "." + Attr(root, "epoch") + "." + Attr(root, "num_updates");
}

bool ParseInterval(const std::string& text, unsigned long long& milliseconds) {
  std::string t;
  for (const char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) t.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  if (t.empty()) return false;
  if (t.rfind("pt", 0) == 0) {
    // ISO 8601 durations of hours, minutes and seconds: PT1H30M, PT10S.
    unsigned long long total = 0;
    std::size_t at = 2;
    if (at == t.size()) return false;
    while (at < t.size()) {
      char* end = nullptr;
      const unsigned long long n = std::strtoull(t.c_str() + at, &end, 10);
      if (end == t.c_str() + at || !*end) return false;
      const char unit = *end;
      if (unit == 'h') total += n * 3600000;
      else if (unit == 'm') total += n * 60000;
      else if (unit == 's') total += n * 1000;
      else return false;
      at = static_cast<std::size_t>(end - t.c_str()) + 1;
    }
    milliseconds = total;
    return true;
  }
  char* end = nullptr;
  if (!std::isdigit(static_cast<unsigned char>(t[0]))) return false;
  const unsigned long long n = std::strtoull(t.c_str(), &end, 10);
  const std::string unit(end);
  struct Unit {
    const char* word;
    unsigned long long factor;
  };
  static constexpr Unit kUnits[] = {{"", 1000},     {"s", 1000},     {"sec", 1000}, {"ms", 1},   {"msec", 1},
                                    {"m", 60000},   {"min", 60000},  {"h", 3600000}, {"hr", 3600000}};
  for (const auto& u : kUnits) {
    if (unit != u.word) continue;
    milliseconds = n * u.factor;
    return true;
  }
  return false;
}

bool ParseScore(const std::string& text, long long& score) {
  if (text == "INFINITY" || text == "+INFINITY") {
    score = 1000000;
    return true;
  }
  if (text == "-INFINITY") {
    score = -1000000;
    return true;
  }
  if (text.empty()) return false;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (*end) return false;
  // Pacemaker caps scores at its infinity.
  score = std::clamp<long long>(value, -1000000, 1000000);
  return true;
}

bool BuildModel(const std::string& monitorXml, const std::string& cibXml, ClusterModel& model, std::string& error,
                std::vector<std::string>& warnings) {
  const XmlDocument monitor = Parse(monitorXml);
  const xmlNode* root = monitor ? xmlDocGetRootElement(monitor.get()) : nullptr;
  if (!root) {
    error = "crm_mon's output is not XML";
    return false;
  }
  if (!CheckMonitorOutput(root, error)) return false;
  Configuration config;
  if (!ReadConfiguration(cibXml, config, error)) return false;
  Builder builder(model, config, warnings);
  builder.DcNode(Child(root, "summary"));
  builder.Failures(Child(root, "failures"));
  builder.Nodes(Child(root, "nodes"));
  builder.Resources(Child(root, "resources"));
  builder.Dependencies();
  builder.Facts();
  return true;
}

void PlaceUnownedGroups(ClusterModel& model) {
  for (const ObjectId id : model.List(Kind::Group)) {
    Object* group = model.Get(id);
    if (group->node) continue;
    for (const std::wstring& name : group->preferred) {
      const Object* node = model.Find(Kind::Node, name);
      if (node && !group->node) group->node = node->id;
    }
    if (!group->node && !model.List(Kind::Node).empty()) group->node = model.List(Kind::Node).front();
  }
}

}  // namespace pcmkclus

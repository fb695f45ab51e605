#include "scenario.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <fstream>
#include <sstream>

#include "wide_text.h"

namespace clustersim {

namespace {

using Json = rapidjson::Value;

// Thrown inside the loader only, caught at its boundary and turned into the error text.
struct ScenarioError {
  std::string text;
};

[[noreturn]] void Fail(const std::string& field, const std::string& what) { throw ScenarioError{field + ": " + what}; }

std::string At(const std::string& base, const char* member) { return base.empty() ? member : base + "." + member; }
std::string At(const std::string& base, rapidjson::SizeType index) { return base + "[" + std::to_string(index) + "]"; }

std::wstring Wide(const Json& value) {
  return winapi::WideFromUtf8(std::string_view(value.GetString(), value.GetStringLength()));
}
std::string Narrow(const std::wstring& text) { return winapi::Utf8FromWide(text); }

const Json* Member(const Json& object, const char* name) {
  const auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

std::wstring Text(const Json& object, const char* name, const std::string& field, bool required) {
  const Json* value = Member(object, name);
  if (!value) {
    if (required) Fail(At(field, name), "missing");
    return std::wstring();
  }
  if (!value->IsString()) Fail(At(field, name), "must be a string");
  return Wide(*value);
}

DWORD Number(const Json& object, const char* name, const std::string& field, DWORD fallback) {
  const Json* value = Member(object, name);
  if (!value) return fallback;
  if (!value->IsUint()) Fail(At(field, name), "must be a number from 0 to 4294967295");
  return value->GetUint();
}

const Json& ArrayOf(const Json& root, const char* name, const Json& empty) {
  const Json* value = Member(root, name);
  if (!value) return empty;
  if (!value->IsArray()) Fail(name, "must be an array");
  return *value;
}

int State(const Json& object, Kind kind, const std::string& field, int fallback) {
  const Json* value = Member(object, "state");
  if (!value) return fallback;
  int state = fallback;
  if (value->IsInt()) return value->GetInt();
  if (!value->IsString() || !ParseState(kind, Wide(*value), state)) {
    Fail(At(field, "state"), "unknown " + Narrow(KindWord(kind)) + " state");
  }
  return state;
}

PropertyValue ValueOf(const Json& value, const std::string& field) {
  PropertyValue result;
  using Type = PropertyValue::Type;
  if (value.IsString()) return PropertyValue::Text(Wide(value));
  if (value.IsUint()) return PropertyValue::Dword(value.GetUint());
  if (value.IsInt()) {
    result.type = Type::Long;
    result.number = static_cast<DWORD>(value.GetInt());
    return result;
  }
  if (value.IsArray()) {
    result.type = Type::MultiSz;
    for (rapidjson::SizeType i = 0; i < value.Size(); ++i) {
      if (!value[i].IsString()) Fail(At(field, i), "a string list holds strings only");
      result.list.push_back(Wide(value[i]));
    }
    return result;
  }
  if (value.IsObject() && value.MemberCount() == 1) {
    const auto& only = *value.MemberBegin();
    const std::string kind = only.name.GetString();
    if (kind == "expand" && only.value.IsString()) {
      result.type = Type::ExpandSz;
      result.text = Wide(only.value);
      return result;
    }
    if (kind == "qword" && only.value.IsUint64()) {
      result.type = Type::Qword;
      result.number = only.value.GetUint64();
      return result;
    }
    if (kind == "binary" && only.value.IsString()) {
      result.type = Type::Binary;
      if (!winapi::cluster::HexDecode(only.value.GetString(), result.bytes)) Fail(At(field, "binary"), "not hex digits");
      return result;
    }
  }
  Fail(field, "a property is a string, a number, a string list, or {\"expand\"|\"qword\"|\"binary\": value}");
}

void Properties(const Json& object, const char* name, const std::string& field, PropertySet& set) {
  const Json* list = Member(object, name);
  if (!list) return;
  if (!list->IsObject()) Fail(At(field, name), "must be an object of properties");
  for (const auto& item : list->GetObject()) {
    const std::string itemField = At(At(field, name), item.name.GetString());
    // null takes away a property the cluster service would otherwise have.
    if (item.value.IsNull()) {
      set.Remove(Wide(item.name));
      continue;
    }
    set.Set(Wide(item.name), ValueOf(item.value, itemField));
  }
}

void LoadFaults(const Json& object, const std::string& field, Object& target) {
  const Json* faults = Member(object, "faults");
  if (!faults) return;
  const std::string faultsField = At(field, "faults");
  if (!faults->IsObject()) Fail(faultsField, "must be an object of faults (state, open, common, readonly, private)");
  for (const auto& item : faults->GetObject()) {
    const std::string itemField = At(faultsField, item.name.GetString());
    FaultKind fault = FaultKind::State;
    if (!FaultFromWord(Wide(item.name), fault)) {
      Fail(itemField, "unknown fault (state, open, common, readonly, private)");
    }
    if (!item.value.IsUint() || item.value.GetUint() == 0) Fail(itemField, "must be a Win32 error code from 1 to 4294967295");
    std::wstring why;
    if (!CheckFault(target.kind, fault, item.value.GetUint(), why)) Fail(itemField, Narrow(why));
    target.faults.Set(fault, item.value.GetUint());
  }
}

void AllProperties(const Json& object, const std::string& field, Object& target) {
  Properties(object, "common", field, target.common);
  Properties(object, "readonly", field, target.readOnly);
  Properties(object, "private", field, target.priv);
  LoadFaults(object, field, target);
}

// A name kept as written; one that matches no object of its kind is worth a warning.
std::wstring WrittenName(const ClusterModel& model, Kind kind, const Json& value, const std::string& field,
                         Warnings& warnings) {
  if (!value.IsString() || value.GetStringLength() == 0) Fail(field, "must be a " + Narrow(KindWord(kind)) + " name");
  const std::wstring name = Wide(value);
  if (!model.Find(kind, name)) {
    warnings.push_back(field + ": \"" + Narrow(name) + "\" matches no " + Narrow(KindWord(kind)));
  }
  return name;
}

void Description(const Json& object, const std::string& field, Object& target) {
  if (Member(object, "description")) {
    target.common.Set(L"Description", PropertyValue::Text(Text(object, "description", field, false)));
  }
}

Object& AddNamed(ClusterModel& model, Kind kind, const Json& object, const std::string& field) {
  if (!object.IsObject()) Fail(field, "must be an object");
  const std::wstring name = Text(object, "name", field, true);
  if (name.empty()) Fail(At(field, "name"), "must not be empty");
  Object* added = model.Add(kind, name);
  if (!added) Fail(At(field, "name"), "duplicate " + Narrow(KindWord(kind)) + " name \"" + Narrow(name) + "\"");
  return *added;
}

const Object& Reference(const ClusterModel& model, Kind kind, const Json& object, const char* name,
                        const std::string& field) {
  const std::wstring target = Text(object, name, field, true);
  const Object* found = model.Find(kind, target);
  if (!found) Fail(At(field, name), "unknown " + Narrow(KindWord(kind)) + " \"" + Narrow(target) + "\"");
  return *found;
}

// Values that CLUSTERVERSIONINFO holds in less than the scenario allows: the Cluster API
// cuts them, so the scenario says so.
void WarnOfCutVersion(const ClusterFacts& facts, Warnings& warnings) {
  struct WordField {
    const char* field;
    DWORD value;
    const char* member;
  };
  const WordField words[] = {{"cluster.version.major", facts.major, "MajorVersion"},
                             {"cluster.version.minor", facts.minor, "MinorVersion"},
                             {"cluster.version.build", facts.build, "BuildNumber"}};
  for (const auto& word : words) {
    if (word.value <= 0xFFFF) continue;
    warnings.push_back(std::string(word.field) + ": " + std::to_string(word.value) +
                       " is above 65535: the Cluster API's " + word.member + " (a WORD) reads " +
                       std::to_string(word.value & 0xFFFF));
  }
  struct TextField {
    const char* field;
    const std::wstring& value;
    const char* member;
    std::size_t capacity;  // characters with the terminator
  };
  constexpr std::size_t kVendor = sizeof(CLUSTERVERSIONINFO::szVendorId) / sizeof(WCHAR);
  constexpr std::size_t kCsd = sizeof(CLUSTERVERSIONINFO::szCSDVersion) / sizeof(WCHAR);
  const TextField texts[] = {{"cluster.version.vendor", facts.vendor, "szVendorId", kVendor},
                             {"cluster.version.csd", facts.csd, "szCSDVersion", kCsd}};
  for (const auto& text : texts) {
    if (text.value.size() < text.capacity) continue;
    warnings.push_back(std::string(text.field) + ": " + std::to_string(text.value.size()) +
                       " characters: the Cluster API's " + text.member + " holds " +
                       std::to_string(text.capacity - 1) + " and cuts the rest");
  }
}

void LoadCluster(const Json& root, ClusterModel& model, Warnings& warnings) {
  const Json* cluster = Member(root, "cluster");
  if (!cluster || !cluster->IsObject()) Fail("cluster", "missing (an object with at least \"name\")");
  ClusterFacts& facts = model.facts;
  facts.name = Text(*cluster, "name", "cluster", true);
  if (facts.name.empty()) Fail("cluster.name", "must not be empty");
  if (const Json* version = Member(*cluster, "version")) {
    if (!version->IsObject()) Fail("cluster.version", "must be an object");
    facts.major = Number(*version, "major", "cluster.version", facts.major);
    facts.minor = Number(*version, "minor", "cluster.version", facts.minor);
    facts.build = Number(*version, "build", "cluster.version", facts.build);
    if (Member(*version, "vendor")) facts.vendor = Text(*version, "vendor", "cluster.version", false);
    facts.csd = Text(*version, "csd", "cluster.version", false);
    facts.highest = Number(*version, "highest", "cluster.version", facts.highest);
    facts.lowest = Number(*version, "lowest", "cluster.version", facts.lowest);
  }
  WarnOfCutVersion(facts, warnings);
}

void LoadNodes(const Json& root, ClusterModel& model, const Json& empty) {
  const Json& nodes = ArrayOf(root, "nodes", empty);
  for (rapidjson::SizeType i = 0; i < nodes.Size(); ++i) {
    const std::string field = At("nodes", i);
    Object& node = AddNamed(model, Kind::Node, nodes[i], field);
    node.state = State(nodes[i], Kind::Node, field, ClusterNodeUp);
    Description(nodes[i], field, node);
    AllProperties(nodes[i], field, node);
  }
}

void LoadNetworks(const Json& root, ClusterModel& model, const Json& empty) {
  const Json& networks = ArrayOf(root, "networks", empty);
  for (rapidjson::SizeType i = 0; i < networks.Size(); ++i) {
    const std::string field = At("networks", i);
    Object& network = AddNamed(model, Kind::Network, networks[i], field);
    network.state = State(networks[i], Kind::Network, field, ClusterNetworkUp);
    network.common.Set(L"Role", PropertyValue::Dword(Number(networks[i], "role", field, ClusterNetworkRoleInternalAndClient)));
    if (Number(networks[i], "role", field, 0) > 3) Fail(At(field, "role"), "must be 0 (none) to 3 (internal and client)");
    Description(networks[i], field, network);
    if (Member(networks[i], "address")) network.readOnly.Set(L"Address", PropertyValue::Text(Text(networks[i], "address", field, false)));
    if (Member(networks[i], "addressMask")) {
      network.readOnly.Set(L"AddressMask", PropertyValue::Text(Text(networks[i], "addressMask", field, false)));
    }
    AllProperties(networks[i], field, network);
  }
}

void LoadInterfaces(const Json& root, ClusterModel& model, const Json& empty, Warnings& warnings) {
  const Json& interfaces = ArrayOf(root, "netinterfaces", empty);
  for (rapidjson::SizeType i = 0; i < interfaces.Size(); ++i) {
    const std::string field = At("netinterfaces", i);
    Object& itf = AddNamed(model, Kind::NetInterface, interfaces[i], field);
    const auto end = [&](const char* member, Kind kind) {
      const Json* value = Member(interfaces[i], member);
      if (!value) Fail(At(field, member), "missing");
      return WrittenName(model, kind, *value, At(field, member), warnings);
    };
    const std::wstring nodeName = end("node", Kind::Node);
    const std::wstring networkName = end("network", Kind::Network);
    if (const Object* other = model.FindInterface(nodeName, networkName)) {
      Fail(field, "node \"" + Narrow(nodeName) + "\" has an interface on network \"" + Narrow(networkName) +
                      "\" already (\"" + Narrow(other->name) + "\")");
    }
    itf.nodeName = nodeName;
    itf.networkName = networkName;
    const Object* node = model.Find(Kind::Node, nodeName);
    itf.state = State(interfaces[i], Kind::NetInterface, field,
                      node && node->state == ClusterNodeDown ? ClusterNetInterfaceUnavailable : ClusterNetInterfaceUp);
    Description(interfaces[i], field, itf);
    const std::pair<const char*, const wchar_t*> readOnly[] = {
        {"address", L"Address"}, {"adapter", L"Adapter"}, {"adapterId", L"AdapterId"}};
    for (const auto& [member, property] : readOnly) {
      if (Member(interfaces[i], member)) itf.readOnly.Set(property, PropertyValue::Text(Text(interfaces[i], member, field, false)));
    }
    AllProperties(interfaces[i], field, itf);
  }
}

void LoadTypes(const Json& root, ClusterModel& model, const Json& empty) {
  const Json& types = ArrayOf(root, "resourceTypes", empty);
  for (rapidjson::SizeType i = 0; i < types.Size(); ++i) {
    const std::string field = At("resourceTypes", i);
    Object& type = AddNamed(model, Kind::ResourceType, types[i], field);
    if (Member(types[i], "dll")) type.readOnly.Set(L"DllName", PropertyValue::Text(Text(types[i], "dll", field, false)));
    Description(types[i], field, type);
    AllProperties(types[i], field, type);
  }
}

void LoadGroups(const Json& root, ClusterModel& model, const Json& empty, std::vector<ObjectId>& derived,
                Warnings& warnings) {
  const Json& groups = ArrayOf(root, "groups", empty);
  for (rapidjson::SizeType i = 0; i < groups.Size(); ++i) {
    const std::string field = At("groups", i);
    Object& group = AddNamed(model, Kind::Group, groups[i], field);
    if (Member(groups[i], "owner")) {
      group.node = Reference(model, Kind::Node, groups[i], "owner", field).id;
    } else if (!model.List(Kind::Node).empty()) {
      group.node = model.List(Kind::Node).front();
    }
    if (const Json* preferred = Member(groups[i], "preferredOwners")) {
      if (!preferred->IsArray()) Fail(At(field, "preferredOwners"), "must be an array of node names");
      for (rapidjson::SizeType k = 0; k < preferred->Size(); ++k) {
        const std::string itemField = At(At(field, "preferredOwners"), k);
        group.preferred.push_back(WrittenName(model, Kind::Node, (*preferred)[k], itemField, warnings));
      }
    }
    group.state = State(groups[i], Kind::Group, field, ClusterGroupOnline);
    if (!Member(groups[i], "state")) derived.push_back(group.id);
    Description(groups[i], field, group);
    AllProperties(groups[i], field, group);
  }
}

void LoadResources(const Json& root, ClusterModel& model, const Json& empty) {
  const Json& resources = ArrayOf(root, "resources", empty);
  for (rapidjson::SizeType i = 0; i < resources.Size(); ++i) {
    const std::string field = At("resources", i);
    Object& resource = AddNamed(model, Kind::Resource, resources[i], field);
    Object& group = *model.Get(Reference(model, Kind::Group, resources[i], "group", field).id);
    resource.group = group.id;
    // A type that names no resource type is kept: such resources exist on real clusters.
    resource.typeName = Text(resources[i], "type", field, false);
    resource.state = State(resources[i], Kind::Resource, field,
                           group.state == ClusterGroupOnline ? ClusterResourceOnline : ClusterResourceOffline);
    Description(resources[i], field, resource);
    AllProperties(resources[i], field, resource);
  }
  // Dependencies may point forward, so they are resolved once every resource exists.
  for (rapidjson::SizeType i = 0; i < resources.Size(); ++i) {
    const std::string field = At("resources", i);
    const Json* depends = Member(resources[i], "dependsOn");
    if (!depends) continue;
    if (!depends->IsArray()) Fail(At(field, "dependsOn"), "must be an array of resource names");
    Object* resource = model.Find(Kind::Resource, Wide(resources[i]["name"]));
    for (rapidjson::SizeType k = 0; k < depends->Size(); ++k) {
      const std::string itemField = At(At(field, "dependsOn"), k);
      if (!(*depends)[k].IsString()) Fail(itemField, "must be a resource name");
      const Object* target = model.Find(Kind::Resource, Wide((*depends)[k]));
      if (!target) Fail(itemField, "unknown resource \"" + std::string((*depends)[k].GetString()) + "\"");
      if (target == resource) Fail(itemField, "a resource cannot depend on itself");
      resource->dependencies.push_back(target->id);
    }
  }
}

void LoadQuorum(const Json& root, ClusterModel& model) {
  const Json* quorum = Member(root, "quorum");
  if (!quorum) return;
  if (!quorum->IsObject()) Fail("quorum", "must be an object");
  const Object& resource = Reference(model, Kind::Resource, *quorum, "resource", "quorum");
  model.facts.quorumResource = resource.name;
  model.facts.quorumDevice = Text(*quorum, "device", "quorum", false);
  model.facts.quorumMaxLog = Number(*quorum, "maxLogSize", "quorum", model.facts.quorumMaxLog);
}

void LoadRegistry(const Json& root, ClusterModel& model) {
  const Json* registry = Member(root, "registry");
  if (!registry) return;
  if (!registry->IsObject()) Fail("registry", "must be an object of keys");
  for (const auto& key : registry->GetObject()) {
    const std::string field = At("registry", key.name.GetString());
    if (!key.value.IsObject()) Fail(field, "must be an object of values");
    RegistryValues values;
    for (const auto& value : key.value.GetObject()) {
      values.emplace_back(Wide(value.name), ValueOf(value.value, At(field, value.name.GetString())));
    }
    model.registry[Wide(key.name)] = std::move(values);
  }
}

std::size_t LineOf(const std::string& text, std::size_t offset, std::size_t& column) {
  std::size_t line = 1, start = 0;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      start = i + 1;
    }
  }
  column = offset - start + 1;
  return line;
}

}  // namespace

bool LoadScenario(const std::string& json, ClusterModel& model, std::string& error, Warnings* warnings) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(json.c_str(), json.size());
  if (document.HasParseError()) {
    std::size_t column = 0;
    const std::size_t line = LineOf(json, document.GetErrorOffset(), column);
    error = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
            rapidjson::GetParseError_En(document.GetParseError());
    return false;
  }
  if (!document.IsObject()) {
    error = "the scenario must be a JSON object";
    return false;
  }
  try {
    const Json empty(rapidjson::kArrayType);
    Warnings found;
    LoadCluster(document, model, found);
    LoadNodes(document, model, empty);
    LoadNetworks(document, model, empty);
    LoadInterfaces(document, model, empty, found);
    LoadTypes(document, model, empty);
    std::vector<ObjectId> derivedStates;
    LoadGroups(document, model, empty, derivedStates, found);
    LoadResources(document, model, empty);
    LoadQuorum(document, model);
    LoadRegistry(document, model);
    // Group states follow their resources unless the scenario set them.
    for (const ObjectId id : derivedStates) {
      Notifications ignored;
      model.UpdateGroupState(*model.Get(id), ignored);
    }
    if (warnings) warnings->insert(warnings->end(), found.begin(), found.end());
    return true;
  } catch (const ScenarioError& e) {
    error = e.text;
    return false;
  }
}

bool LoadScenarioFile(const std::string& path, ClusterModel& model, std::string& error, Warnings* warnings) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be read";
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (!LoadScenario(text.str(), model, error, warnings)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool ScenarioSource::Load(ClusterModel& model, std::string& error, const LogFunction& log) {
  Warnings warnings;
  if (!LoadScenarioFile(path_, model, error, &warnings)) return false;
  for (const auto& warning : warnings) log(path_ + ": warning: " + warning);
  return true;
}

}  // namespace clustersim

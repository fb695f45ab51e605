#include "model.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <unordered_set>

#include "wide_text.h"

namespace clustersim {

namespace {

struct KindRow {
  Kind kind;
  const wchar_t* word;
  const wchar_t* synonym;
  DWORD state, added, deleted, property;
};

constexpr std::array<KindRow, 6> kKindRows = {{
    {Kind::Node, L"node", L"node", CLUSTER_CHANGE_NODE_STATE, CLUSTER_CHANGE_NODE_ADDED, CLUSTER_CHANGE_NODE_DELETED,
     CLUSTER_CHANGE_NODE_PROPERTY},
    {Kind::Group, L"group", L"group", CLUSTER_CHANGE_GROUP_STATE, CLUSTER_CHANGE_GROUP_ADDED,
     CLUSTER_CHANGE_GROUP_DELETED, CLUSTER_CHANGE_GROUP_PROPERTY},
    {Kind::Resource, L"resource", L"res", CLUSTER_CHANGE_RESOURCE_STATE, CLUSTER_CHANGE_RESOURCE_ADDED,
     CLUSTER_CHANGE_RESOURCE_DELETED, CLUSTER_CHANGE_RESOURCE_PROPERTY},
    {Kind::ResourceType, L"restype", L"resourcetype", 0, CLUSTER_CHANGE_RESOURCE_TYPE_ADDED,
     CLUSTER_CHANGE_RESOURCE_TYPE_DELETED, CLUSTER_CHANGE_RESOURCE_TYPE_PROPERTY},
    {Kind::Network, L"network", L"net", CLUSTER_CHANGE_NETWORK_STATE, CLUSTER_CHANGE_NETWORK_ADDED,
     CLUSTER_CHANGE_NETWORK_DELETED, CLUSTER_CHANGE_NETWORK_PROPERTY},
    {Kind::NetInterface, L"netinterface", L"interface", CLUSTER_CHANGE_NETINTERFACE_STATE,
     CLUSTER_CHANGE_NETINTERFACE_ADDED, CLUSTER_CHANGE_NETINTERFACE_DELETED, CLUSTER_CHANGE_NETINTERFACE_PROPERTY},
}};

const KindRow& RowOf(Kind kind) { return kKindRows[static_cast<std::size_t>(kind)]; }

struct StateRow {
  Kind kind;
  const wchar_t* word;
  int state;
};

constexpr StateRow kStates[] = {
    {Kind::Node, L"up", ClusterNodeUp},
    {Kind::Node, L"down", ClusterNodeDown},
    {Kind::Node, L"paused", ClusterNodePaused},
    {Kind::Node, L"joining", ClusterNodeJoining},
    {Kind::Group, L"online", ClusterGroupOnline},
    {Kind::Group, L"offline", ClusterGroupOffline},
    {Kind::Group, L"failed", ClusterGroupFailed},
    {Kind::Group, L"partialonline", ClusterGroupPartialOnline},
    {Kind::Group, L"pending", ClusterGroupPending},
    {Kind::Resource, L"inherited", ClusterResourceInherited},
    {Kind::Resource, L"initializing", ClusterResourceInitializing},
    {Kind::Resource, L"online", ClusterResourceOnline},
    {Kind::Resource, L"offline", ClusterResourceOffline},
    {Kind::Resource, L"failed", ClusterResourceFailed},
    {Kind::Resource, L"pending", ClusterResourcePending},
    {Kind::Resource, L"onlinepending", ClusterResourceOnlinePending},
    {Kind::Resource, L"offlinepending", ClusterResourceOfflinePending},
    {Kind::Network, L"unavailable", ClusterNetworkUnavailable},
    {Kind::Network, L"down", ClusterNetworkDown},
    {Kind::Network, L"partitioned", ClusterNetworkPartitioned},
    {Kind::Network, L"up", ClusterNetworkUp},
    {Kind::NetInterface, L"unavailable", ClusterNetInterfaceUnavailable},
    {Kind::NetInterface, L"failed", ClusterNetInterfaceFailed},
    {Kind::NetInterface, L"unreachable", ClusterNetInterfaceUnreachable},
    {Kind::NetInterface, L"up", ClusterNetInterfaceUp},
};

// Common properties every object of a kind has, with the cluster service's defaults.
struct DefaultRow {
  Kind kind;
  const wchar_t* name;
  bool isText;
  DWORD number;
};

constexpr DefaultRow kDefaults[] = {
    {Kind::Node, L"Description", true, 0},
    {Kind::Group, L"Description", true, 0},
    {Kind::Group, L"PersistentState", false, 0},
    {Kind::Group, L"FailoverThreshold", false, 10},
    {Kind::Group, L"FailoverPeriod", false, 6},
    {Kind::Group, L"AutoFailbackType", false, 0},
    {Kind::Group, L"FailbackWindowStart", false, 0xFFFFFFFF},
    {Kind::Group, L"FailbackWindowEnd", false, 0xFFFFFFFF},
    {Kind::Resource, L"Description", true, 0},
    {Kind::Resource, L"DebugPrefix", true, 0},
    {Kind::Resource, L"SeparateMonitor", false, 0},
    {Kind::Resource, L"PersistentState", false, 1},
    {Kind::Resource, L"LooksAlivePollInterval", false, 5000},
    {Kind::Resource, L"IsAlivePollInterval", false, 60000},
    {Kind::Resource, L"RestartAction", false, 2},
    {Kind::Resource, L"RestartThreshold", false, 3},
    {Kind::Resource, L"RestartPeriod", false, 900000},
    {Kind::Resource, L"PendingTimeout", false, 180000},
    {Kind::ResourceType, L"Description", true, 0},
    {Kind::ResourceType, L"DebugPrefix", true, 0},
    {Kind::ResourceType, L"DebugControlFunctions", false, 0},
    {Kind::ResourceType, L"LooksAlivePollInterval", false, 5000},
    {Kind::ResourceType, L"IsAlivePollInterval", false, 60000},
    {Kind::Network, L"Description", true, 0},
    {Kind::Network, L"Role", false, ClusterNetworkRoleInternalAndClient},
    {Kind::NetInterface, L"Description", true, 0},
};

struct FaultRow {
  FaultKind kind;
  const wchar_t* word;
  DWORD controlFunction;  // 0: not a control read
};

constexpr std::array<FaultRow, kFaultKinds> kFaultRows = {{
    {FaultKind::State, L"state", 0},
    {FaultKind::Open, L"open", 0},
    {FaultKind::Common, L"common", CLCTL_GET_COMMON_PROPERTIES},
    {FaultKind::ReadOnly, L"readonly", CLCTL_GET_RO_COMMON_PROPERTIES},
    {FaultKind::Private, L"private", CLCTL_GET_PRIVATE_PROPERTIES},
}};

std::wstring Key(const std::wstring& name) { return winapi::UpperCase(name); }

void WriteValue(winapi::clusprop::PropertyListWriter& writer, const std::wstring& name, const PropertyValue& value) {
  using Type = PropertyValue::Type;
  switch (value.type) {
    case Type::Dword: writer.AddDword(name, static_cast<DWORD>(value.number)); break;
    case Type::Long: writer.AddLong(name, static_cast<LONG>(static_cast<DWORD>(value.number))); break;
    case Type::Qword: writer.AddULargeInteger(name, value.number); break;
    case Type::Sz: writer.AddSz(name, value.text); break;
    case Type::ExpandSz: writer.AddExpandSz(name, value.text); break;
    case Type::MultiSz: writer.AddMultiSz(name, value.list); break;
    case Type::Binary: writer.AddBinary(name, value.bytes); break;
  }
}

// A node that can take a group: a paused node keeps its groups but takes no others, a
// joining one is no member yet.
bool IsUsable(const Object* node) { return node && node->state == ClusterNodeUp; }

// Written names that referred to `old` follow a rename; others stay as they were written.
bool FollowRename(std::wstring& written, const std::wstring& old, const std::wstring& renamed) {
  if (!winapi::EqualsNoCase(written, old)) return false;
  written = renamed;
  return true;
}

// Read-only properties that come from the model's relations.
bool IsModelProperty(Kind kind, const std::wstring& name) {
  const auto is = [&name](const wchar_t* word) { return winapi::EqualsNoCase(name, word); };
  switch (kind) {
    case Kind::Node: return is(L"NodeName");
    case Kind::Resource: return is(L"Type");
    case Kind::NetInterface: return is(L"Node") || is(L"Network");
    default: return false;
  }
}

// VALUE as the type of the current value: numbers stay numbers, lists take "a|b|c". A
// new value is text.
bool ParseValue(const PropertyValue* current, const std::wstring& name, const std::wstring& value, PropertyValue& next,
                std::wstring& error) {
  next = PropertyValue::Text(value);
  if (!current) return true;
  using Type = PropertyValue::Type;
  if (current->type == Type::Dword || current->type == Type::Long || current->type == Type::Qword) {
    wchar_t* end = nullptr;
    const long long number = std::wcstoll(value.c_str(), &end, 0);
    if (value.empty() || *end != L'\0') {
      error = L"property \"" + name + L"\" is a number, \"" + value + L"\" is not";
      return false;
    }
    next.type = current->type;
    next.number = static_cast<ULONGLONG>(number);
  } else if (current->type == Type::MultiSz) {
    next.type = Type::MultiSz;
    std::size_t start = 0;
    while (start <= value.size()) {
      const auto bar = value.find(L'|', start);
      const std::wstring item = value.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start);
      if (!item.empty()) next.list.push_back(item);
      if (bar == std::wstring::npos) break;
      start = bar + 1;
    }
  } else if (current->type == Type::ExpandSz) {
    next.type = Type::ExpandSz;
  } else if (current->type == Type::Binary) {
    error = L"property \"" + name + L"\" is binary and cannot be set from text";
    return false;
  }
  return true;
}

std::wstring TrimKey(std::wstring key) {
  while (!key.empty() && key.front() == L'\\') key.erase(0, 1);
  while (!key.empty() && key.back() == L'\\') key.pop_back();
  return key;
}

bool IsUnder(const std::wstring& key, const std::wstring& parent) {
  return key.size() > parent.size() + 1 && key[parent.size()] == L'\\' &&
         winapi::EqualsNoCase(std::wstring_view(key).substr(0, parent.size()), parent);
}

}  // namespace

bool Faults::Any() const {
  return std::any_of(errors.begin(), errors.end(), [](DWORD error) { return error != 0; });
}

const wchar_t* FaultWord(FaultKind kind) { return kFaultRows[static_cast<std::size_t>(kind)].word; }

bool FaultFromWord(const std::wstring& word, FaultKind& kind) {
  for (const auto& row : kFaultRows) {
    if (!winapi::EqualsNoCase(word, row.word)) continue;
    kind = row.kind;
    return true;
  }
  return false;
}

bool FaultOfControl(DWORD code, FaultKind& kind) {
  for (const auto& row : kFaultRows) {
    if (!row.controlFunction || row.controlFunction != winapi::cluster::ControlFunctionOf(code)) continue;
    kind = row.kind;
    return true;
  }
  return false;
}

bool CheckFault(Kind kind, FaultKind fault, DWORD error, std::wstring& why) {
  // Resource types are addressed by name in their control call: nothing opens them and
  // they have no state.
  if (kind == Kind::ResourceType && (fault == FaultKind::State || fault == FaultKind::Open)) {
    why = std::wstring(L"a resource type has no ") + (fault == FaultKind::State ? L"state read" : L"open");
    return false;
  }
  // A control read that says ERROR_MORE_DATA also says how much: that is the buffer
  // contract, not a failure.
  if (error == ERROR_MORE_DATA && fault != FaultKind::State && fault != FaultKind::Open) {
    why = L"error 234 (ERROR_MORE_DATA) is the buffer contract of a control read, not a fault";
    return false;
  }
  return true;
}

DWORD StateChange(Kind kind) { return RowOf(kind).state; }
DWORD AddedChange(Kind kind) { return RowOf(kind).added; }
DWORD DeletedChange(Kind kind) { return RowOf(kind).deleted; }
DWORD PropertyChange(Kind kind) { return RowOf(kind).property; }
const wchar_t* KindWord(Kind kind) { return RowOf(kind).word; }

bool KindFromWord(const std::wstring& word, Kind& kind) {
  for (const auto& row : kKindRows) {
    if (winapi::EqualsNoCase(word, row.word) || winapi::EqualsNoCase(word, row.synonym)) {
      kind = row.kind;
      return true;
    }
  }
  return false;
}

bool ParseState(Kind kind, const std::wstring& word, int& state) {
  for (const auto& row : kStates) {
    if (row.kind == kind && winapi::EqualsNoCase(word, row.word)) {
      state = row.state;
      return true;
    }
  }
  if (word.empty()) return false;
  wchar_t* end = nullptr;
  const long number = std::wcstol(word.c_str(), &end, 10);
  if (*end != L'\0') return false;
  state = static_cast<int>(number);
  return true;
}

std::wstring StateWord(Kind kind, int state) {
  for (const auto& row : kStates) {
    if (row.kind == kind && row.state == state) return row.word;
  }
  return std::to_wstring(state);
}

void PropertySet::Set(const std::wstring& name, PropertyValue value) {
  for (auto& item : items_) {
    if (winapi::EqualsNoCase(item.first, name)) {
      item.second = std::move(value);
      return;
    }
  }
  items_.emplace_back(name, std::move(value));
}

void PropertySet::Remove(const std::wstring& name) {
  std::erase_if(items_, [&name](const auto& item) { return winapi::EqualsNoCase(item.first, name); });
}

const PropertyValue* PropertySet::Find(const std::wstring& name) const {
  for (const auto& item : items_) {
    if (winapi::EqualsNoCase(item.first, name)) return &item.second;
  }
  return nullptr;
}

void PropertySet::WriteTo(winapi::clusprop::PropertyListWriter& writer) const {
  for (const auto& item : items_) WriteValue(writer, item.first, item.second);
}

Object* ClusterModel::Add(Kind kind, const std::wstring& name) {
  auto& index = byName_[Index(kind)];
  if (name.empty() || index.count(Key(name))) return nullptr;
  auto object = std::make_unique<Object>();
  object->id = nextId_++;
  object->kind = kind;
  object->name = name;
  for (const auto& row : kDefaults) {
    if (row.kind != kind) continue;
    object->common.Set(row.name, row.isText ? PropertyValue::Text(L"") : PropertyValue::Dword(row.number));
  }
  if (kind == Kind::ResourceType) object->common.Set(L"AdminExtensions", PropertyValue::List({}));
  Object* raw = object.get();
  ++version_;
  index.emplace(Key(name), raw->id);
  lists_[Index(kind)].push_back(raw->id);
  objects_.emplace(raw->id, std::move(object));
  return raw;
}

Object* ClusterModel::Find(Kind kind, const std::wstring& name) {
  const auto& index = byName_[Index(kind)];
  const auto it = index.find(Key(name));
  return it == index.end() ? nullptr : Get(it->second);
}

const Object* ClusterModel::Find(Kind kind, const std::wstring& name) const {
  return const_cast<ClusterModel*>(this)->Find(kind, name);
}

Object* ClusterModel::Get(ObjectId id) {
  const auto it = objects_.find(id);
  return it == objects_.end() ? nullptr : it->second.get();
}

const Object* ClusterModel::Get(ObjectId id) const { return const_cast<ClusterModel*>(this)->Get(id); }

std::vector<const Object*> ClusterModel::Objects(Kind kind) const {
  std::vector<const Object*> result;
  result.reserve(List(kind).size());
  for (const ObjectId id : List(kind)) result.push_back(Get(id));
  return result;
}

const std::vector<ObjectId>& ClusterModel::Members(ObjectId group) const {
  if (membersVersion_ != version_) {
    members_.clear();
    for (const ObjectId id : List(Kind::Resource)) members_[Get(id)->group].push_back(id);
    membersVersion_ = version_;
  }
  static const std::vector<ObjectId> kNone;
  const auto it = members_.find(group);
  return it == members_.end() ? kNone : it->second;
}

std::vector<const Object*> ClusterModel::GroupResources(ObjectId group) const {
  std::vector<const Object*> result;
  for (const ObjectId id : Members(group)) result.push_back(Get(id));
  return result;
}

void ClusterModel::Remove(ObjectId id) {
  Object* object = Get(id);
  if (!object) return;
  const std::size_t index = Index(object->kind);
  ++version_;
  byName_[index].erase(Key(object->name));
  auto& list = lists_[index];
  list.erase(std::remove(list.begin(), list.end(), id), list.end());
  objects_.erase(id);
}

std::wstring ClusterModel::ResourceKeyName(ObjectId resource) const {
  wchar_t text[64];
  std::swprintf(text, 64, L"{%08llx-0000-4000-8000-%012llx}", static_cast<unsigned long long>(resource),
                static_cast<unsigned long long>(resource * 2654435761ull & 0xFFFFFFFFFFFFull));
  return text;
}

std::vector<BYTE> ClusterModel::PropertyList(const Object& object, DWORD code) const {
  winapi::clusprop::PropertyListWriter writer;
  switch (winapi::cluster::ControlFunctionOf(code)) {
    case CLCTL_GET_COMMON_PROPERTIES:
      writer.AddSz(L"Name", object.name);
      object.common.WriteTo(writer);
      break;
    case CLCTL_GET_RO_COMMON_PROPERTIES:
      if (object.kind == Kind::Resource && !object.typeName.empty()) writer.AddSz(L"Type", object.typeName);
      if (object.kind == Kind::NetInterface) {
        writer.AddSz(L"Node", object.nodeName);
        writer.AddSz(L"Network", object.networkName);
      }
      if (object.kind == Kind::Node) writer.AddSz(L"NodeName", object.name);
      object.readOnly.WriteTo(writer);
      break;
    case CLCTL_GET_PRIVATE_PROPERTIES: object.priv.WriteTo(writer); break;
    case CLCTL_GET_RO_PRIVATE_PROPERTIES: break;
    default: return {};
  }
  return writer.Bytes();
}

ObjectId ClusterModel::NextOwner(const Object& group, ObjectId leaving) const {
  // After the leaving node in the preferred list, wrapping around, then any usable node.
  // Preferred owners that name no node are skipped.
  std::vector<ObjectId> preferred;
  for (const std::wstring& name : group.preferred) {
    const Object* node = Find(Kind::Node, name);
    preferred.push_back(node ? node->id : 0);
  }
  const auto at = std::find(preferred.begin(), preferred.end(), leaving);
  const std::size_t start = at == preferred.end() ? 0 : static_cast<std::size_t>(at - preferred.begin()) + 1;
  for (std::size_t i = 0; i < preferred.size(); ++i) {
    const ObjectId candidate = preferred[(start + i) % preferred.size()];
    if (candidate && candidate != leaving && IsUsable(Get(candidate))) return candidate;
  }
  for (const ObjectId id : List(Kind::Node)) {
    if (id != leaving && IsUsable(Get(id))) return id;
  }
  return 0;
}

std::vector<ObjectId> ClusterModel::Dependents(ObjectId resource) const {
  std::vector<ObjectId> result;
  const Object* provider = Get(resource);
  if (!provider) return result;
  for (const ObjectId id : Members(provider->group)) {
    const auto& needs = Get(id)->dependencies;
    if (std::find(needs.begin(), needs.end(), resource) != needs.end()) result.push_back(id);
  }
  return result;
}

std::vector<ObjectId> ClusterModel::InOrder(const std::vector<ObjectId>& resources, bool providersFirst) const {
  std::vector<ObjectId> order;
  std::unordered_set<ObjectId> visited;
  // Depth-first; the visited set also ends a dependency cycle.
  std::function<void(ObjectId)> visit = [&](ObjectId id) {
    const Object* r = Get(id);
    if (!r || !visited.insert(id).second) return;
    for (const ObjectId before : providersFirst ? r->dependencies : Dependents(id)) visit(before);
    order.push_back(id);
  };
  for (const ObjectId id : resources) visit(id);
  return order;
}

void ClusterModel::ChangeResources(const std::vector<ObjectId>& order, int state, Notifications& out) {
  std::vector<ObjectId> groups;
  for (const ObjectId id : order) {
    Object* r = Get(id);
    if (r->state == state) continue;
    r->state = state;
    out.push_back({CLUSTER_CHANGE_RESOURCE_STATE, r->name});
    if (std::find(groups.begin(), groups.end(), r->group) == groups.end()) groups.push_back(r->group);
  }
  for (const ObjectId id : groups) {
    if (Object* group = Get(id)) UpdateGroupState(*group, out);
  }
}

void ClusterModel::SetOwnGroupState(Object& group, int state, Notifications& out) {
  if (group.state == state) return;
  group.state = state;
  out.push_back({CLUSTER_CHANGE_GROUP_STATE, group.name});
}

void ClusterModel::UpdateGroupState(Object& group, Notifications& out) {
  const auto resources = GroupResources(group.id);
  if (resources.empty()) return;
  int online = 0, failed = 0, pending = 0;
  for (const Object* r : resources) {
    online += r->state == ClusterResourceOnline;
    failed += r->state == ClusterResourceFailed;
    pending += r->state == ClusterResourcePending || r->state == ClusterResourceOnlinePending ||
               r->state == ClusterResourceOfflinePending;
  }
  int state = ClusterGroupOffline;
  if (failed) state = ClusterGroupFailed;
  else if (pending) state = ClusterGroupPending;
  else if (online == static_cast<int>(resources.size())) state = ClusterGroupOnline;
  else if (online) state = ClusterGroupPartialOnline;
  SetOwnGroupState(group, state, out);
}

void ClusterModel::Relocate(Object& group, ObjectId node, Notifications& out) {
  // What ran before comes back on the new owner; what was offline or failed stays offline.
  std::vector<ObjectId> running;
  for (const ObjectId id : Members(group.id)) {
    const int state = Get(id)->state;
    if (state == ClusterResourceOnline || state == ClusterResourceOnlinePending) running.push_back(id);
  }
  const bool empty = Members(group.id).empty();
  const bool wasOnline = group.state == ClusterGroupOnline;
  ChangeResources(InOrder(Members(group.id), false), ClusterResourceOffline, out);
  if (empty) SetOwnGroupState(group, ClusterGroupOffline, out);
  group.node = node;
  out.push_back({CLUSTER_CHANGE_GROUP_PROPERTY, group.name});
  const Object* owner = Get(node);
  if (!owner || owner->state != ClusterNodeUp) return;
  ChangeResources(InOrder(running, true), ClusterResourceOnline, out);
  if (empty && wasOnline) SetOwnGroupState(group, ClusterGroupOnline, out);
}

int ClusterModel::InterfaceStateFor(const Object& itf) const {
  const Object* node = Find(Kind::Node, itf.nodeName);
  if (node && node->state != ClusterNodeUp && node->state != ClusterNodePaused) return ClusterNetInterfaceUnavailable;
  const Object* network = Find(Kind::Network, itf.networkName);
  switch (network ? network->state : ClusterNetworkUp) {
    case ClusterNetworkDown: return ClusterNetInterfaceFailed;
    case ClusterNetworkPartitioned: return ClusterNetInterfaceUnreachable;
    case ClusterNetworkUnavailable: return ClusterNetInterfaceUnavailable;
    default: return ClusterNetInterfaceUp;
  }
}

void ClusterModel::ApplyNodeState(Object& node, int state, Notifications& out) {
  const auto member = [](int s) { return s == ClusterNodeUp || s == ClusterNodePaused; };
  const bool leaving = node.state != ClusterNodeDown && state == ClusterNodeDown;
  const bool reachabilityChanges = member(node.state) != member(state);
  node.state = state;
  out.push_back({CLUSTER_CHANGE_NODE_STATE, node.name});
  if (reachabilityChanges) {
    for (const ObjectId id : List(Kind::NetInterface)) {
      Object* itf = Get(id);
      if (!winapi::EqualsNoCase(itf->nodeName, node.name)) continue;
      const int itfState = InterfaceStateFor(*itf);
      if (itf->state == itfState) continue;
      itf->state = itfState;
      out.push_back({CLUSTER_CHANGE_NETINTERFACE_STATE, itf->name});
    }
  }
  if (!leaving) return;
  // A failing node, also a paused one, takes its groups along to the next preferred
  // owner; with no node up they stay offline where they are.
  for (const ObjectId id : List(Kind::Group)) {
    Object* group = Get(id);
    if (group->node != node.id) continue;
    const ObjectId next = NextOwner(*group, node.id);
    if (next) {
      Relocate(*group, next, out);
    } else {
      ChangeResources(InOrder(Members(group->id), false), ClusterResourceOffline, out);
      if (Members(group->id).empty()) SetOwnGroupState(*group, ClusterGroupOffline, out);
    }
  }
}

bool ClusterModel::SetNodeState(const std::wstring& name, int state, Notifications& out, std::wstring& error) {
  Object* node = Find(Kind::Node, name);
  if (!node) {
    error = L"no node \"" + name + L"\"";
    return false;
  }
  if (node->state == state) return true;
  const std::wstring is = L"node \"" + node->name + L"\" is " + StateWord(Kind::Node, node->state);
  switch (state) {
    case ClusterNodeDown: break;
    case ClusterNodeUp:
      if (node->state == ClusterNodePaused) {
        error = is + L": resume it";
        return false;
      }
      break;
    case ClusterNodePaused:
      if (node->state != ClusterNodeUp) {
        error = is + L": only an up node can be paused";
        return false;
      }
      break;
    case ClusterNodeJoining:
      if (node->state != ClusterNodeDown) {
        error = is + L": only a down node can join";
        return false;
      }
      break;
    default: error = L"no node state " + std::to_wstring(state); return false;
  }
  ApplyNodeState(*node, state, out);
  return true;
}

bool ClusterModel::ResumeNode(const std::wstring& name, Notifications& out, std::wstring& error) {
  Object* node = Find(Kind::Node, name);
  if (!node) {
    error = L"no node \"" + name + L"\"";
    return false;
  }
  if (node->state != ClusterNodePaused) {
    error = L"node \"" + node->name + L"\" is " + StateWord(Kind::Node, node->state) + L", not paused";
    return false;
  }
  ApplyNodeState(*node, ClusterNodeUp, out);
  return true;
}

bool ClusterModel::SetNetworkState(const std::wstring& name, int state, Notifications& out, std::wstring& error) {
  Object* network = Find(Kind::Network, name);
  if (!network) {
    error = L"no network \"" + name + L"\"";
    return false;
  }
  if (state != ClusterNetworkUp && state != ClusterNetworkDown && state != ClusterNetworkPartitioned &&
      state != ClusterNetworkUnavailable) {
    error = L"no network state " + std::to_wstring(state);
    return false;
  }
  if (network->state == state) return true;
  network->state = state;
  // The interfaces first: the network's state is what its interfaces report.
  for (const ObjectId id : List(Kind::NetInterface)) {
    Object* itf = Get(id);
    if (!winapi::EqualsNoCase(itf->networkName, network->name)) continue;
    const int itfState = InterfaceStateFor(*itf);
    if (itf->state == itfState) continue;
    itf->state = itfState;
    out.push_back({CLUSTER_CHANGE_NETINTERFACE_STATE, itf->name});
  }
  out.push_back({CLUSTER_CHANGE_NETWORK_STATE, network->name});
  return true;
}

bool ClusterModel::SetInterfaceState(const std::wstring& name, int state, Notifications& out, std::wstring& error) {
  Object* itf = Find(Kind::NetInterface, name);
  if (!itf) {
    error = L"no netinterface \"" + name + L"\"";
    return false;
  }
  if (state != ClusterNetInterfaceUp && state != ClusterNetInterfaceFailed && state != ClusterNetInterfaceUnreachable) {
    error = L"an interface can be set up, failed or unreachable, not " + StateWord(Kind::NetInterface, state);
    return false;
  }
  const Object* node = Find(Kind::Node, itf->nodeName);
  if (node && node->state != ClusterNodeUp && node->state != ClusterNodePaused) {
    error = L"node \"" + node->name + L"\" is " + StateWord(Kind::Node, node->state) + L": its interface \"" +
            itf->name + L"\" is unavailable";
    return false;
  }
  if (itf->state == state) return true;
  itf->state = state;
  out.push_back({CLUSTER_CHANGE_NETINTERFACE_STATE, itf->name});
  return true;
}

bool ClusterModel::MoveGroup(const std::wstring& name, const std::wstring& nodeName, Notifications& out,
                             std::wstring& error) {
  Object* group = Find(Kind::Group, name);
  if (!group) {
    error = L"no group \"" + name + L"\"";
    return false;
  }
  ObjectId target = 0;
  if (!nodeName.empty()) {
    const Object* node = Find(Kind::Node, nodeName);
    if (!node) {
      error = L"no node \"" + nodeName + L"\"";
      return false;
    }
    if (!IsUsable(node)) {
      error = L"node \"" + node->name + L"\" is " + StateWord(Kind::Node, node->state) + L", it cannot take a group";
      return false;
    }
    target = node->id;
  } else {
    target = NextOwner(*group, group->node);
    if (!target) {
      error = L"no other node is up to take group \"" + group->name + L"\"";
      return false;
    }
  }
  if (target == group->node) return true;
  Relocate(*group, target, out);
  return true;
}

bool ClusterModel::SetGroupState(const std::wstring& name, int state, Notifications& out, std::wstring& error) {
  Object* group = Find(Kind::Group, name);
  if (!group) {
    error = L"no group \"" + name + L"\"";
    return false;
  }
  const std::vector<ObjectId>& members = Members(group->id);
  if (state == ClusterGroupOnline || state == ClusterGroupPending) {
    const Object* owner = Get(group->node);
    if (!owner || owner->state != ClusterNodeUp) {
      error = L"the owner of group \"" + group->name + L"\" is " +
              (owner ? L"node \"" + owner->name + L"\", " + StateWord(Kind::Node, owner->state) : L"no node") +
              L": move the group to an up node first";
      return false;
    }
  }
  switch (state) {
    case ClusterGroupOnline:
      ChangeResources(InOrder(members, true), ClusterResourceOnline, out);
      break;
    case ClusterGroupPending: {
      // An online under way: what is not online yet is pending, providers first.
      std::vector<ObjectId> starting;
      for (const ObjectId id : InOrder(members, true)) {
        if (Get(id)->state != ClusterResourceOnline) starting.push_back(id);
      }
      if (!members.empty() && starting.empty()) {
        error = L"every resource of group \"" + group->name + L"\" is online: nothing is pending";
        return false;
      }
      ChangeResources(starting, ClusterResourceOnlinePending, out);
      break;
    }
    case ClusterGroupOffline:
      ChangeResources(InOrder(members, false), ClusterResourceOffline, out);
      break;
    case ClusterGroupFailed:
      ChangeResources(InOrder(members, false), ClusterResourceFailed, out);
      break;
    default: error = L"no group state " + std::to_wstring(state); return false;
  }
  if (members.empty()) SetOwnGroupState(*group, state, out);
  return true;
}

bool ClusterModel::SetResourceState(const std::wstring& name, int state, Notifications& out, std::wstring& error) {
  Object* resource = Find(Kind::Resource, name);
  if (!resource) {
    error = L"no resource \"" + name + L"\"";
    return false;
  }
  if (resource->state == state) return true;
  const ObjectId id = resource->id;
  switch (state) {
    case ClusterResourceOnline: {
      const Object* group = Get(resource->group);
      const Object* owner = group ? Get(group->node) : nullptr;
      if (!owner || owner->state != ClusterNodeUp) {
        error = L"resource \"" + resource->name + L"\" cannot come online: its group's owner is " +
                (owner ? L"node \"" + owner->name + L"\", " + StateWord(Kind::Node, owner->state) : L"no node");
        return false;
      }
      ChangeResources(InOrder({id}, true), state, out);
      return true;
    }
    case ClusterResourceOffline: ChangeResources(InOrder({id}, false), state, out); return true;
    case ClusterResourceFailed: {
      // What depends on a failed resource goes offline before it fails.
      std::vector<ObjectId> dependents = InOrder({id}, false);
      dependents.pop_back();
      Notifications changes;
      ChangeResources(dependents, ClusterResourceOffline, changes);
      std::erase_if(changes, [](const Notification& n) { return n.code == CLUSTER_CHANGE_GROUP_STATE; });
      out.insert(out.end(), changes.begin(), changes.end());
      ChangeResources({id}, state, out);
      return true;
    }
    default: error = L"no resource state " + std::to_wstring(state); return false;
  }
}

bool ClusterModel::AddObject(Kind kind, const std::vector<std::wstring>& args, Notifications& out,
                             std::wstring& error) {
  // args[0] is the name; the rest by kind (see the usage of clussim).
  if (args.empty() || args[0].empty()) {
    error = L"add needs a name";
    return false;
  }
  const std::wstring& name = args[0];
  if (Find(kind, name)) {
    error = std::wstring(KindWord(kind)) + L" \"" + name + L"\" exists already";
    return false;
  }
  const auto arg = [&args](std::size_t i) { return i < args.size() ? args[i] : std::wstring(); };
  const Object* node = nullptr;
  const Object* group = nullptr;
  switch (kind) {
    case Kind::Group:
      if (!arg(1).empty() && !(node = Find(Kind::Node, arg(1)))) {
        error = L"no node \"" + arg(1) + L"\"";
        return false;
      }
      break;
    case Kind::Resource:
      if (!(group = Find(Kind::Group, arg(1)))) {
        error = L"add resource NAME GROUP [TYPE]: no group \"" + arg(1) + L"\"";
        return false;
      }
      break;
    case Kind::NetInterface:
      // Node and network are kept as given, also when they name nothing.
      if (arg(1).empty() || arg(2).empty()) {
        error = L"add netinterface NAME NODE NETWORK [ADDRESS]: the node and the network must not be empty";
        return false;
      }
      if (const Object* other = FindInterface(arg(1), arg(2))) {
        error = L"node \"" + arg(1) + L"\" has an interface on network \"" + arg(2) + L"\" already (\"" + other->name + L"\")";
        return false;
      }
      break;
    default: break;
  }
  Object* object = Add(kind, name);
  switch (kind) {
    case Kind::Node: object->state = ClusterNodeUp; break;
    case Kind::Group:
      object->state = ClusterGroupOffline;
      object->node = node ? node->id : (List(Kind::Node).empty() ? 0 : List(Kind::Node).front());
      break;
    case Kind::Resource:
      object->state = ClusterResourceOffline;
      object->group = group->id;
      object->typeName = arg(2);
      break;
    case Kind::ResourceType:
      if (!arg(1).empty()) object->readOnly.Set(L"DllName", PropertyValue::Text(arg(1)));
      break;
    case Kind::Network:
      object->state = ClusterNetworkUp;
      if (!arg(1).empty()) {
        int role = 0;
        if (!ParseState(Kind::Network, arg(1), role)) role = ClusterNetworkRoleInternalAndClient;
        object->common.Set(L"Role", PropertyValue::Dword(static_cast<DWORD>(role)));
      }
      break;
    case Kind::NetInterface:
      object->nodeName = arg(1);
      object->networkName = arg(2);
      object->state = InterfaceStateFor(*object);
      if (!arg(3).empty()) object->readOnly.Set(L"Address", PropertyValue::Text(arg(3)));
      break;
  }
  out.push_back({AddedChange(kind), object->name});
  if (kind == Kind::Resource) {
    if (Object* owner = Get(object->group)) UpdateGroupState(*owner, out);
  }
  return true;
}

bool ClusterModel::DeleteObject(Kind kind, const std::wstring& name, Notifications& out, std::wstring& error) {
  Object* object = Find(kind, name);
  if (!object) {
    error = std::wstring(L"no ") + KindWord(kind) + L" \"" + name + L"\"";
    return false;
  }
  const ObjectId id = object->id;
  const auto refuse = [&error](std::wstring why) {
    error = std::move(why);
    return false;
  };
  switch (kind) {
    case Kind::Node:
      if (object->state != ClusterNodeDown) {
        return refuse(L"node \"" + object->name + L"\" is " + StateWord(kind, object->state) +
                      L": only a down node can be evicted");
      }
      for (const Object* g : Objects(Kind::Group)) {
        if (g->node == id) return refuse(L"node \"" + object->name + L"\" owns group \"" + g->name + L"\": move it first");
      }
      break;
    case Kind::Group:
      if (!GroupResources(id).empty()) return refuse(L"group \"" + object->name + L"\" still contains resources");
      break;
    case Kind::Resource:
      if (object->state != ClusterResourceOffline && object->state != ClusterResourceFailed) {
        return refuse(L"resource \"" + object->name + L"\" is " + StateWord(kind, object->state) +
                      L": take it offline first");
      }
      for (const Object* r : Objects(Kind::Resource)) {
        if (std::count(r->dependencies.begin(), r->dependencies.end(), id)) {
          return refuse(L"resource \"" + r->name + L"\" depends on \"" + object->name + L"\"");
        }
      }
      if (winapi::EqualsNoCase(facts.quorumResource, object->name)) return refuse(L"it is the quorum resource");
      break;
    case Kind::ResourceType:
      for (const Object* r : Objects(Kind::Resource)) {
        if (winapi::EqualsNoCase(r->typeName, object->name)) {
          return refuse(L"resource \"" + r->name + L"\" is of type \"" + object->name + L"\"");
        }
      }
      break;
    case Kind::Network:
      for (const Object* i : Objects(Kind::NetInterface)) {
        if (winapi::EqualsNoCase(i->networkName, object->name)) {
          return refuse(L"network interface \"" + i->name + L"\" is on it");
        }
      }
      break;
    case Kind::NetInterface: break;
  }
  const std::wstring deletedName = object->name;
  if (kind == Kind::Node) {
    // An evicted node takes its interfaces and its places in the preferred lists along.
    std::vector<ObjectId> interfaces;
    for (const Object* i : Objects(Kind::NetInterface)) {
      if (winapi::EqualsNoCase(i->nodeName, object->name)) interfaces.push_back(i->id);
    }
    for (const ObjectId i : interfaces) {
      out.push_back({CLUSTER_CHANGE_NETINTERFACE_DELETED, Get(i)->name});
      Remove(i);
    }
    for (const ObjectId g : List(Kind::Group)) {
      Object* group = Get(g);
      if (std::erase_if(group->preferred,
                        [&](const std::wstring& name) { return winapi::EqualsNoCase(name, deletedName); })) {
        out.push_back({CLUSTER_CHANGE_GROUP_PROPERTY, group->name});
      }
    }
  }
  const ObjectId owner = kind == Kind::Resource ? object->group : 0;
  Remove(id);
  out.push_back({DeletedChange(kind), deletedName});
  if (Object* group = Get(owner)) UpdateGroupState(*group, out);
  return true;
}

bool ClusterModel::Rename(Kind kind, const std::wstring& from, const std::wstring& to, Notifications& out,
                          std::wstring& error) {
  Object* object = Find(kind, from);
  if (!object) {
    error = std::wstring(L"no ") + KindWord(kind) + L" \"" + from + L"\"";
    return false;
  }
  if (to.empty()) {
    error = L"the new name is empty";
    return false;
  }
  const Object* other = Find(kind, to);
  if (other && other != object) {
    error = std::wstring(KindWord(kind)) + L" \"" + to + L"\" exists already";
    return false;
  }
  const std::wstring old = object->name;
  byName_[Index(kind)].erase(Key(old));
  object->name = to;
  byName_[Index(kind)].emplace(Key(to), object->id);
  if (kind == Kind::ResourceType) {
    for (const ObjectId id : List(Kind::Resource)) {
      Object* r = Get(id);
      if (winapi::EqualsNoCase(r->typeName, old)) r->typeName = to;
    }
  }
  if (kind == Kind::Resource && winapi::EqualsNoCase(facts.quorumResource, old)) facts.quorumResource = to;
  out.push_back({PropertyChange(kind), to});
  // Preferred owners and an interface's Node and Network are properties of those objects.
  if (kind == Kind::Node) {
    for (const ObjectId id : List(Kind::Group)) {
      Object* group = Get(id);
      bool changed = false;
      for (std::wstring& name : group->preferred) changed |= FollowRename(name, old, to);
      if (changed) out.push_back({CLUSTER_CHANGE_GROUP_PROPERTY, group->name});
    }
  }
  if (kind == Kind::Node || kind == Kind::Network) {
    for (const ObjectId id : List(Kind::NetInterface)) {
      Object* itf = Get(id);
      if (FollowRename(kind == Kind::Node ? itf->nodeName : itf->networkName, old, to)) {
        out.push_back({CLUSTER_CHANGE_NETINTERFACE_PROPERTY, itf->name});
      }
    }
  }
  return true;
}

bool ClusterModel::SetProperty(Kind kind, const std::wstring& name, const std::wstring& property,
                               const std::wstring& value, Notifications& out, std::wstring& error) {
  Object* object = Find(kind, name);
  if (!object) {
    error = std::wstring(L"no ") + KindWord(kind) + L" \"" + name + L"\"";
    return false;
  }
  // "private.X", "common.X", "readonly.X", or a plain name looked up in that order.
  std::wstring propertyName = property;
  PropertySet* set = nullptr;
  const auto dot = property.find(L'.');
  if (dot != std::wstring::npos) {
    const std::wstring list = property.substr(0, dot);
    propertyName = property.substr(dot + 1);
    if (winapi::EqualsNoCase(list, L"private")) set = &object->priv;
    else if (winapi::EqualsNoCase(list, L"common")) set = &object->common;
    else if (winapi::EqualsNoCase(list, L"readonly")) set = &object->readOnly;
    else {
      error = L"unknown property list \"" + list + L"\" (common, readonly or private)";
      return false;
    }
  } else {
    for (PropertySet* candidate : {&object->priv, &object->common, &object->readOnly}) {
      if (candidate->Find(propertyName)) {
        set = candidate;
        break;
      }
    }
    if (!set) set = &object->common;
  }
  if (propertyName.empty()) {
    error = L"the property name is empty";
    return false;
  }
  // Names the cluster keeps itself: a Name is the object's name, the others are fixed.
  if (set != &object->priv && winapi::EqualsNoCase(propertyName, L"Name")) {
    if (kind == Kind::Group || kind == Kind::Resource || kind == Kind::Network) {
      return Rename(kind, object->name, value, out, error);
    }
    error = std::wstring(L"the name of a ") + KindWord(kind) + L" cannot be changed";
    return false;
  }
  if (set != &object->priv && IsModelProperty(kind, propertyName)) {
    error = L"property \"" + propertyName + L"\" of a " + KindWord(kind) + L" is read-only";
    return false;
  }
  PropertyValue next;
  if (!ParseValue(set->Find(propertyName), propertyName, value, next, error)) return false;
  set->Set(propertyName, std::move(next));
  out.push_back({PropertyChange(kind), object->name});
  if (kind == Kind::Resource && set == &object->priv) {
    out.push_back({CLUSTER_CHANGE_REGISTRY_VALUE, L"Resources\\" + ResourceKeyName(object->id) + L"\\Parameters"});
  }
  return true;
}

bool ClusterModel::SetFault(Kind kind, const std::wstring& name, FaultKind fault, DWORD code, std::wstring& error) {
  Object* object = Find(kind, name);
  if (!object) {
    error = std::wstring(L"no ") + KindWord(kind) + L" \"" + name + L"\"";
    return false;
  }
  if (!CheckFault(kind, fault, code, error)) return false;
  object->faults.Set(fault, code);
  return true;
}

bool ClusterModel::ClearFaults(Kind kind, const std::wstring& name, std::wstring& error) {
  Object* object = Find(kind, name);
  if (!object) {
    error = std::wstring(L"no ") + KindWord(kind) + L" \"" + name + L"\"";
    return false;
  }
  object->faults = Faults{};
  return true;
}

const Object* ClusterModel::FindInterface(const std::wstring& node, const std::wstring& network) const {
  for (const ObjectId id : List(Kind::NetInterface)) {
    const Object* itf = Get(id);
    if (winapi::EqualsNoCase(itf->nodeName, node) && winapi::EqualsNoCase(itf->networkName, network)) return itf;
  }
  return nullptr;
}

}  // namespace clustersim

namespace clustersim {

std::map<std::wstring, RegistryValues>::iterator ClusterModel::FindKey(const std::wstring& key) {
  return std::find_if(registry.begin(), registry.end(), [&key](const auto& entry) {
    return winapi::EqualsNoCase(entry.first, key);
  });
}

bool ClusterModel::RegistryKeyExists(const std::wstring& key) {
  return FindKey(key) != registry.end() ||
         std::any_of(registry.begin(), registry.end(), [&](const auto& e) { return IsUnder(e.first, key); });
}

bool ClusterModel::CheckRegistryKey(const std::wstring& key, bool mustExist, std::wstring& error) {
  if (key.empty()) {
    error = L"the key name is empty (the cluster key itself cannot be changed)";
    return false;
  }
  if (winapi::EqualsNoCase(key, L"Resources") || IsUnder(key, L"Resources")) {
    error = L"the keys under Resources belong to the resources: use set resource NAME private.PROPERTY VALUE";
    return false;
  }
  const bool exists = RegistryKeyExists(key);
  if (mustExist && !exists) {
    error = L"no registry key \"" + key + L"\"";
    return false;
  }
  if (!mustExist && exists) {
    error = L"registry key \"" + key + L"\" exists already";
    return false;
  }
  return true;
}

bool ClusterModel::AddRegistryKey(const std::wstring& name, Notifications& out, std::wstring& error) {
  const std::wstring key = TrimKey(name);
  if (!CheckRegistryKey(key, false, error)) return false;
  registry.emplace(key, RegistryValues{});
  out.push_back({CLUSTER_CHANGE_REGISTRY_NAME, key});
  return true;
}

bool ClusterModel::DeleteRegistryKey(const std::wstring& name, Notifications& out, std::wstring& error) {
  const std::wstring key = TrimKey(name);
  if (!CheckRegistryKey(key, true, error)) return false;
  const bool hadSubkeys = std::erase_if(registry, [&](const auto& e) { return IsUnder(e.first, key); }) > 0;
  const auto it = FindKey(key);
  const std::wstring written = it == registry.end() ? key : it->first;
  if (it != registry.end()) registry.erase(it);
  out.push_back({CLUSTER_CHANGE_REGISTRY_NAME, written});
  if (hadSubkeys) out.push_back({CLUSTER_CHANGE_REGISTRY_SUBTREE, written});
  return true;
}

bool ClusterModel::SetRegistryValue(const std::wstring& name, const std::wstring& value, const std::wstring& data,
                                    Notifications& out, std::wstring& error) {
  const std::wstring key = TrimKey(name);
  const bool existed = RegistryKeyExists(key);
  if (!CheckRegistryKey(key, existed, error)) return false;
  if (value.empty()) {
    error = L"the value name is empty";
    return false;
  }
  auto it = FindKey(key);
  const PropertyValue* current = nullptr;
  if (it != registry.end()) {
    for (const auto& item : it->second) {
      if (winapi::EqualsNoCase(item.first, value)) current = &item.second;
    }
  }
  PropertyValue next;
  if (!ParseValue(current, value, data, next, error)) return false;
  if (!current) {
    // A new value: a number is a DWORD, anything else text.
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long number = std::wcstoull(data.c_str(), &end, 0);
    if (!data.empty() && *end == L'\0' && !errno && number <= 0xFFFFFFFFull && data[0] != L'-') {
      next = PropertyValue::Dword(static_cast<DWORD>(number));
    }
  }
  if (it == registry.end()) {
    it = registry.emplace(key, RegistryValues{}).first;
    if (!existed) out.push_back({CLUSTER_CHANGE_REGISTRY_NAME, key});
  }
  auto slot = std::find_if(it->second.begin(), it->second.end(),
                           [&](const auto& item) { return winapi::EqualsNoCase(item.first, value); });
  if (slot == it->second.end()) it->second.emplace_back(value, std::move(next));
  else slot->second = std::move(next);
  out.push_back({CLUSTER_CHANGE_REGISTRY_VALUE, it->first});
  return true;
}

bool ClusterModel::DeleteRegistryValue(const std::wstring& name, const std::wstring& value, Notifications& out,
                                       std::wstring& error) {
  const std::wstring key = TrimKey(name);
  if (!CheckRegistryKey(key, true, error)) return false;
  const auto it = FindKey(key);
  const std::size_t removed =
      it == registry.end()
          ? 0
          : std::erase_if(it->second, [&](const auto& item) { return winapi::EqualsNoCase(item.first, value); });
  if (!removed) {
    error = L"registry key \"" + key + L"\" has no value \"" + value + L"\"";
    return false;
  }
  out.push_back({CLUSTER_CHANGE_REGISTRY_VALUE, it->first});
  return true;
}

bool ClusterModel::ChangeRegistryAttributes(const std::wstring& name, Notifications& out, std::wstring& error) {
  const std::wstring key = TrimKey(name);
  if (!CheckRegistryKey(key, true, error)) return false;
  const auto it = FindKey(key);
  out.push_back({CLUSTER_CHANGE_REGISTRY_ATTRIBUTES, it == registry.end() ? key : it->first});
  return true;
}

}  // namespace clustersim

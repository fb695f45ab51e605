// Reconcile: the model follows a later snapshot of its cluster, change by change, in the
// order a cluster service raises them.
#include <algorithm>
#include <unordered_set>

#include "model.h"
#include "wide_text.h"

namespace clustersim {

namespace {

constexpr Kind kKinds[] = {Kind::Node, Kind::Network, Kind::NetInterface, Kind::ResourceType, Kind::Group, Kind::Resource};

bool SameValue(const PropertyValue& a, const PropertyValue& b) {
  return a.type == b.type && a.number == b.number && a.text == b.text && a.list == b.list && a.bytes == b.bytes;
}

bool SameProperties(const PropertySet& a, const PropertySet& b) {
  const auto& x = a.Items();
  const auto& y = b.Items();
  return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), [](const auto& p, const auto& q) {
           return p.first == q.first && SameValue(p.second, q.second);
         });
}

bool IsComingUp(int resourceState) {
  return resourceState == ClusterResourceOnline || resourceState == ClusterResourceOnlinePending;
}

// The members of `order` that are in `wanted`, in the order of `order`.
std::vector<ObjectId> Only(const std::vector<ObjectId>& order, const std::unordered_set<ObjectId>& wanted) {
  std::vector<ObjectId> result;
  for (const ObjectId id : order) {
    if (wanted.count(id)) result.push_back(id);
  }
  return result;
}

}  // namespace

ObjectId ClusterModel::Counterpart(const ClusterModel& other, ObjectId id) const {
  const Object* object = other.Get(id);
  if (!object) return 0;
  const Object* mine = Find(object->kind, object->name);
  return mine ? mine->id : 0;
}

void ClusterModel::CopyRelations(Object& object, const ClusterModel& next, const Object& from) {
  if (from.kind == Kind::Group && from.node) object.node = Counterpart(next, from.node);
  if (from.kind == Kind::Resource) {
    object.group = Counterpart(next, from.group);
    object.dependencies.clear();
    for (const ObjectId id : from.dependencies) {
      if (const ObjectId mine = Counterpart(next, id)) object.dependencies.push_back(mine);
    }
  }
}

void ClusterModel::AddFrom(const ClusterModel& next, Notifications& out) {
  std::vector<std::pair<Object*, const Object*>> added;
  for (const Kind kind : kKinds) {
    for (const Object* from : next.Objects(kind)) {
      if (Find(kind, from->name)) continue;
      Object* object = Add(kind, from->name);
      object->state = from->state;
      object->common = from->common;
      object->readOnly = from->readOnly;
      object->priv = from->priv;
      object->typeName = from->typeName;
      object->nodeName = from->nodeName;
      object->networkName = from->networkName;
      object->preferred = from->preferred;
      added.emplace_back(object, from);
      out.push_back({AddedChange(kind), object->name});
    }
  }
  // Relations once every new object exists; a new group without an owner takes the first node.
  for (const auto& [object, from] : added) {
    CopyRelations(*object, next, *from);
    if (object->kind == Kind::Group && !object->node && !List(Kind::Node).empty()) object->node = List(Kind::Node).front();
  }
}

void ClusterModel::ReconcileNodesAndNetworks(const ClusterModel& next, Notifications& out) {
  // Takes the state the next snapshot gives the object; whether it changed.
  const auto takeState = [&](Object& object, Kind kind) {
    const Object* target = next.Find(kind, object.name);
    if (!target || target->state == object.state) return false;
    object.state = target->state;
    return true;
  };
  const auto followInterfaces = [&](bool ofNode, const std::wstring& name) {
    for (const ObjectId id : List(Kind::NetInterface)) {
      Object* itf = Get(id);
      if (!winapi::EqualsNoCase(ofNode ? itf->nodeName : itf->networkName, name)) continue;
      if (takeState(*itf, Kind::NetInterface)) out.push_back({CLUSTER_CHANGE_NETINTERFACE_STATE, itf->name});
    }
  };
  for (const ObjectId id : List(Kind::Node)) {
    Object* node = Get(id);
    if (!takeState(*node, Kind::Node)) continue;
    out.push_back({CLUSTER_CHANGE_NODE_STATE, node->name});
    followInterfaces(true, node->name);
  }
  for (const ObjectId id : List(Kind::Network)) {
    Object* network = Get(id);
    if (!takeState(*network, Kind::Network)) continue;
    followInterfaces(false, network->name);
    out.push_back({CLUSTER_CHANGE_NETWORK_STATE, network->name});
  }
  for (const ObjectId id : List(Kind::NetInterface)) {
    Object* itf = Get(id);
    if (takeState(*itf, Kind::NetInterface)) out.push_back({CLUSTER_CHANGE_NETINTERFACE_STATE, itf->name});
  }
}

void ClusterModel::ReconcileGroup(Object& group, const ClusterModel& next, const Object& target, Notifications& out) {
  const ObjectId owner = target.node ? Counterpart(next, target.node) : 0;
  const bool moves = owner && owner != group.node;
  const std::vector<ObjectId> members = Members(group.id);
  const auto targetState = [&](ObjectId id) {
    const Object* t = next.Find(Kind::Resource, Get(id)->name);
    return t ? t->state : Get(id)->state;
  };
  // Down first: what stops or fails, and on a move everything that runs.
  std::unordered_set<ObjectId> down;
  for (const ObjectId id : members) {
    const int now = Get(id)->state, then = targetState(id);
    if ((now != then && !IsComingUp(then)) || (moves && IsComingUp(now))) down.insert(id);
  }
  for (const ObjectId id : Only(InOrder(members, false), down)) {
    Object* r = Get(id);
    const int then = targetState(id);
    r->state = IsComingUp(then) ? ClusterResourceOffline : then;
    out.push_back({CLUSTER_CHANGE_RESOURCE_STATE, r->name});
  }
  if (moves) {
    if (members.empty()) SetOwnGroupState(group, ClusterGroupOffline, out);
    else UpdateGroupState(group, out);
    group.node = owner;
    out.push_back({CLUSTER_CHANGE_GROUP_PROPERTY, group.name});
  }
  std::unordered_set<ObjectId> up;
  for (const ObjectId id : members) {
    if (Get(id)->state != targetState(id)) up.insert(id);
  }
  for (const ObjectId id : Only(InOrder(members, true), up)) {
    Object* r = Get(id);
    r->state = targetState(id);
    out.push_back({CLUSTER_CHANGE_RESOURCE_STATE, r->name});
  }
  if (members.empty()) SetOwnGroupState(group, target.state, out);
  else UpdateGroupState(group, out);
}

void ClusterModel::ReconcileProperties(const ClusterModel& next, Notifications& out) {
  for (const Kind kind : kKinds) {
    for (const ObjectId id : List(kind)) {
      Object* object = Get(id);
      const Object* target = next.Find(kind, object->name);
      if (!target) continue;
      const bool privateChanged = !SameProperties(object->priv, target->priv);
      std::vector<ObjectId> dependencies;
      for (const ObjectId d : target->dependencies) {
        if (const ObjectId mine = Counterpart(next, d)) dependencies.push_back(mine);
      }
      const bool changed = privateChanged || !SameProperties(object->common, target->common) ||
                           !SameProperties(object->readOnly, target->readOnly) || object->typeName != target->typeName ||
                           object->nodeName != target->nodeName || object->networkName != target->networkName ||
                           object->preferred != target->preferred || object->dependencies != dependencies;
      if (!changed) continue;
      object->common = target->common;
      object->readOnly = target->readOnly;
      object->priv = target->priv;
      object->typeName = target->typeName;
      object->nodeName = target->nodeName;
      object->networkName = target->networkName;
      object->preferred = target->preferred;
      object->dependencies = std::move(dependencies);
      out.push_back({PropertyChange(kind), object->name});
      if (kind == Kind::Resource && privateChanged) {
        out.push_back({CLUSTER_CHANGE_REGISTRY_VALUE, L"Resources\\" + ResourceKeyName(object->id) + L"\\Parameters"});
      }
    }
  }
}

void ClusterModel::RemoveMissing(const ClusterModel& next, Kind kind, Notifications& out) {
  const std::vector<ObjectId> ids = List(kind);
  for (const ObjectId id : ids) {
    const Object* object = Get(id);
    if (next.Find(kind, object->name)) continue;
    const std::wstring name = object->name;
    // Nothing may point at a removed object.
    for (const ObjectId other : List(Kind::Resource)) std::erase(Get(other)->dependencies, id);
    for (const ObjectId g : List(Kind::Group)) {
      if (Get(g)->node == id) Get(g)->node = 0;
    }
    Remove(id);
    out.push_back({DeletedChange(kind), name});
  }
}

void ClusterModel::ReconcileRegistry(const ClusterModel& next, Notifications& out) {
  for (const auto& [key, values] : next.registry) {
    const auto it = registry.find(key);
    if (it == registry.end()) {
      out.push_back({CLUSTER_CHANGE_REGISTRY_NAME, key});
      continue;
    }
    const bool same = it->second.size() == values.size() &&
                      std::equal(values.begin(), values.end(), it->second.begin(), [](const auto& p, const auto& q) {
                        return p.first == q.first && SameValue(p.second, q.second);
                      });
    if (!same) out.push_back({CLUSTER_CHANGE_REGISTRY_VALUE, key});
  }
  for (const auto& entry : registry) {
    if (!next.registry.count(entry.first)) out.push_back({CLUSTER_CHANGE_REGISTRY_NAME, entry.first});
  }
  registry = next.registry;
}

void ClusterModel::Reconcile(const ClusterModel& next, Notifications& out) {
  facts = next.facts;
  AddFrom(next, out);
  ReconcileNodesAndNetworks(next, out);
  // A resource that left the cluster or its group goes before the groups settle; the
  // group membership of the rest follows the snapshot.
  RemoveMissing(next, Kind::Resource, out);
  for (const ObjectId id : List(Kind::Resource)) {
    Object* r = Get(id);
    const Object* target = next.Find(Kind::Resource, r->name);
    const ObjectId group = target ? Counterpart(next, target->group) : 0;
    if (group && group != r->group) {
      r->group = group;
      ++version_;
      out.push_back({CLUSTER_CHANGE_RESOURCE_PROPERTY, r->name});
    }
  }
  for (const ObjectId id : List(Kind::Group)) {
    Object* group = Get(id);
    if (const Object* target = next.Find(Kind::Group, group->name)) ReconcileGroup(*group, next, *target, out);
  }
  ReconcileProperties(next, out);
  for (const Kind kind : {Kind::Group, Kind::ResourceType, Kind::NetInterface, Kind::Network, Kind::Node}) {
    RemoveMissing(next, kind, out);
  }
  ReconcileRegistry(next, out);
}

}  // namespace clustersim

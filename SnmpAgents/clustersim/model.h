// The simulated cluster: objects in enumeration order, their states, properties and
// relations, and the operations an operator or a failure performs on them. Every
// operation either changes nothing and says why, or applies completely and lists the
// notifications that a cluster service raises for it.
#pragma once
#include <windows.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "cluster_protocol.h"
#include "property_list.h"

namespace clustersim {

using winapi::cluster::Kind;
using ObjectId = std::uint64_t;

struct PropertyValue {
  enum class Type { Dword, Long, Qword, Sz, ExpandSz, MultiSz, Binary };
  Type type = Type::Sz;
  ULONGLONG number = 0;  // Dword, Long (as its bits), Qword
  std::wstring text;
  std::vector<std::wstring> list;
  std::vector<BYTE> bytes;

  static PropertyValue Dword(DWORD v) { PropertyValue p; p.type = Type::Dword; p.number = v; return p; }
  static PropertyValue Text(std::wstring v) { PropertyValue p; p.type = Type::Sz; p.text = std::move(v); return p; }
  static PropertyValue List(std::vector<std::wstring> v) { PropertyValue p; p.type = Type::MultiSz; p.list = std::move(v); return p; }
};

// Properties in their list order; names compare case-insensitively.
class PropertySet {
 public:
  void Set(const std::wstring& name, PropertyValue value);
  void Remove(const std::wstring& name);
  const PropertyValue* Find(const std::wstring& name) const;
  void WriteTo(winapi::clusprop::PropertyListWriter& writer) const;
  const std::vector<std::pair<std::wstring, PropertyValue>>& Items() const { return items_; }

 private:
  std::vector<std::pair<std::wstring, PropertyValue>> items_;
};

// Reads of an object that fail with a Win32 error instead of answering: its state read,
// its open, and the control reads of its common, read-only common and private lists.
enum class FaultKind { State, Open, Common, ReadOnly, Private };
inline constexpr std::size_t kFaultKinds = 5;

struct Faults {
  std::array<DWORD, kFaultKinds> errors{};  // 0: the read answers
  DWORD Of(FaultKind kind) const { return errors[static_cast<std::size_t>(kind)]; }
  void Set(FaultKind kind, DWORD error) { errors[static_cast<std::size_t>(kind)] = error; }
  bool Any() const;
};

const wchar_t* FaultWord(FaultKind kind);
// "state", "open", "common", "readonly", "private"; false for another word.
bool FaultFromWord(const std::wstring& word, FaultKind& kind);
// The fault that a property-list control code meets; false for a code without one.
bool FaultOfControl(DWORD code, FaultKind& kind);
// Whether objects of `kind` can carry the fault with this error; false with the reason.
bool CheckFault(Kind kind, FaultKind fault, DWORD error, std::wstring& why);

struct Object {
  ObjectId id = 0;
  Kind kind = Kind::Node;
  std::wstring name;
  int state = -1;
  PropertySet common;
  PropertySet readOnly;
  PropertySet priv;
  // Relations, by kind: group owner, resource group.
  ObjectId node = 0;
  ObjectId group = 0;
  // Names kept as written and matched case-insensitively where they are used, so that a
  // name that matches nothing, or another case of one, reaches the Cluster API as a
  // cluster service hands it out.
  std::wstring typeName;                // resources: may name no existing type
  std::wstring nodeName;                // interfaces
  std::wstring networkName;             // interfaces
  std::vector<std::wstring> preferred;  // groups: preferred owners in order
  std::vector<ObjectId> dependencies;   // resources
  Faults faults;
};

struct ClusterFacts {
  std::wstring name;
  DWORD major = 4, minor = 0, build = 1381;
  std::wstring vendor = L"Vornekt";
  std::wstring csd;
  DWORD highest = 0x00040000, lowest = 0x00040000, flags = 0;
  std::wstring quorumResource;
  std::wstring quorumDevice;
  DWORD quorumMaxLog = 4 * 1024 * 1024;
};

struct Notification {
  DWORD code;
  std::wstring name;
};
using Notifications = std::vector<Notification>;

// A registry value of the cluster database.
using RegistryValues = std::vector<std::pair<std::wstring, PropertyValue>>;

class ClusterModel {
 public:
  ClusterFacts facts;
  // Cluster registry outside the resources' keys: key path -> values.
  std::map<std::wstring, RegistryValues> registry;

  Object* Add(Kind kind, const std::wstring& name);  // null when the name is taken
  Object* Find(Kind kind, const std::wstring& name);
  const Object* Find(Kind kind, const std::wstring& name) const;
  Object* Get(ObjectId id);
  const Object* Get(ObjectId id) const;
  const std::vector<ObjectId>& List(Kind kind) const { return lists_[Index(kind)]; }
  std::vector<const Object*> Objects(Kind kind) const;
  std::vector<const Object*> GroupResources(ObjectId group) const;
  // The interface between a node and a network, both as written, compared case-insensitively.
  const Object* FindInterface(const std::wstring& node, const std::wstring& network) const;

  // The property list a control code reads, in CLUSPROP layout.
  std::vector<BYTE> PropertyList(const Object& object, DWORD code) const;
  std::wstring ResourceKeyName(ObjectId resource) const;

  // Operations. On failure: false, `error` says why, nothing changed. Resources go
  // offline dependents first and come online providers first; a group's state follows
  // its resources.
  // Down from any state (its groups fail over), up from down or joining, paused from
  // up, joining from down.
  bool SetNodeState(const std::wstring& node, int state, Notifications& out, std::wstring& error);
  bool ResumeNode(const std::wstring& node, Notifications& out, std::wstring& error);
  // Up, down, partitioned or unavailable: the interfaces of the up nodes follow first.
  bool SetNetworkState(const std::wstring& network, int state, Notifications& out, std::wstring& error);
  // Up, failed or unreachable; refused while the interface's node is not up.
  bool SetInterfaceState(const std::wstring& netInterface, int state, Notifications& out, std::wstring& error);
  bool MoveGroup(const std::wstring& group, const std::wstring& node, Notifications& out, std::wstring& error);
  bool SetGroupState(const std::wstring& group, int state, Notifications& out, std::wstring& error);
  bool SetResourceState(const std::wstring& resource, int state, Notifications& out, std::wstring& error);
  bool AddObject(Kind kind, const std::vector<std::wstring>& args, Notifications& out, std::wstring& error);
  bool DeleteObject(Kind kind, const std::wstring& name, Notifications& out, std::wstring& error);
  bool Rename(Kind kind, const std::wstring& from, const std::wstring& to, Notifications& out, std::wstring& error);
  bool SetProperty(Kind kind, const std::wstring& name, const std::wstring& property, const std::wstring& value,
                   Notifications& out, std::wstring& error);
  // The cluster registry outside the resources' keys. A key is created with its first
  // value; deleting a key takes its subkeys along.
  bool AddRegistryKey(const std::wstring& key, Notifications& out, std::wstring& error);
  bool DeleteRegistryKey(const std::wstring& key, Notifications& out, std::wstring& error);
  bool SetRegistryValue(const std::wstring& key, const std::wstring& value, const std::wstring& data, Notifications& out,
                        std::wstring& error);
  bool DeleteRegistryValue(const std::wstring& key, const std::wstring& value, Notifications& out, std::wstring& error);
  // The key's security changes; the model keeps no attributes, only the notification.
  bool ChangeRegistryAttributes(const std::wstring& key, Notifications& out, std::wstring& error);
  // Sets one fault (an error of 0 clears it) or clears them all. A fault is no change of
  // the cluster: it raises no notification.
  bool SetFault(Kind kind, const std::wstring& name, FaultKind fault, DWORD code, std::wstring& error);
  bool ClearFaults(Kind kind, const std::wstring& name, std::wstring& error);

  // Group state from its resources (an empty group keeps its own state).
  void UpdateGroupState(Object& group, Notifications& out);

  // Brings the model to `next`, a later snapshot of the same cluster, raising what a
  // cluster service raises on its way there: additions; node states, each followed by its
  // interfaces; networks after their interfaces; per group the resources going offline
  // (dependents first), a changed owner, the resources coming online (providers first),
  // the group's state; property changes; deletions. Objects keep their ids and list
  // positions; new ones come last. A group that `next` places on no node stays where it is.
  // Registry keys that come, go or change raise REGISTRY_NAME or REGISTRY_VALUE last.
  void Reconcile(const ClusterModel& next, Notifications& out);

 private:
  static std::size_t Index(Kind kind) { return static_cast<std::size_t>(kind); }
  void Remove(ObjectId id);
  // The up node that takes a group from a failing owner: next in the preferred list, then any.
  ObjectId NextOwner(const Object& group, ObjectId leaving) const;
  // Resources that depend on `resource` (dependencies stay within a group).
  std::vector<ObjectId> Dependents(ObjectId resource) const;
  // The resources and, transitively, their providers (providersFirst) or dependents,
  // each after what it needs: the order of bringing online or of taking offline.
  std::vector<ObjectId> InOrder(const std::vector<ObjectId>& resources, bool providersFirst) const;
  // Sets the state of each resource in order that differs; their groups follow after.
  void ChangeResources(const std::vector<ObjectId>& order, int state, Notifications& out);
  void SetOwnGroupState(Object& group, int state, Notifications& out);  // an empty group
  void Relocate(Object& group, ObjectId node, Notifications& out);
  void ApplyNodeState(Object& node, int state, Notifications& out);
  int InterfaceStateFor(const Object& netInterface) const;
  // Parts of Reconcile.
  ObjectId Counterpart(const ClusterModel& other, ObjectId id) const;
  void AddFrom(const ClusterModel& next, Notifications& out);
  void CopyRelations(Object& object, const ClusterModel& next, const Object& from);
  void ReconcileNodesAndNetworks(const ClusterModel& next, Notifications& out);
  void ReconcileGroup(Object& group, const ClusterModel& next, const Object& target, Notifications& out);
  void ReconcileProperties(const ClusterModel& next, Notifications& out);
  void RemoveMissing(const ClusterModel& next, Kind kind, Notifications& out);
  void ReconcileRegistry(const ClusterModel& next, Notifications& out);
  std::map<std::wstring, RegistryValues>::iterator FindKey(const std::wstring& key);
  bool RegistryKeyExists(const std::wstring& key);
  // False with the reason for the cluster key itself, a resource's key, or a key that
  // does not exist (mustExist) or exists already.
  bool CheckRegistryKey(const std::wstring& key, bool mustExist, std::wstring& error);

  // Resources by group, rebuilt after objects come or go (a resource's group is set
  // right after it is added and never changes), so that group contents cost O(contents).
  const std::vector<ObjectId>& Members(ObjectId group) const;
  mutable std::unordered_map<ObjectId, std::vector<ObjectId>> members_;
  mutable std::uint64_t membersVersion_ = ~0ull;
  std::uint64_t version_ = 0;

  ObjectId nextId_ = 1;
  std::unordered_map<ObjectId, std::unique_ptr<Object>> objects_;
  std::vector<ObjectId> lists_[6];
  std::unordered_map<std::wstring, ObjectId> byName_[6];  // upper-cased names
};

// Change codes of each kind, table-driven.
DWORD StateChange(Kind kind);
DWORD AddedChange(Kind kind);
DWORD DeletedChange(Kind kind);
DWORD PropertyChange(Kind kind);
const wchar_t* KindWord(Kind kind);
// "node", "group", ... and the usual synonyms; false for an unknown word.
bool KindFromWord(const std::wstring& word, Kind& kind);
// State words of a kind ("up", "online", ...) or a number; false when unknown.
bool ParseState(Kind kind, const std::wstring& word, int& state);
std::wstring StateWord(Kind kind, int state);

}  // namespace clustersim

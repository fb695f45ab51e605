#include "service_requests.h"

#include <algorithm>
#include <array>
#include <cwchar>
#include <utility>

#include "wide_text.h"

namespace clustersim {

namespace {

namespace wire = winapi::cluster;

struct Context {
  const ClusterModel& model;
  ServiceSession& session;
};

DWORD NotFound(Kind kind) {
  switch (kind) {
    case Kind::Node: return ERROR_CLUSTER_NODE_NOT_FOUND;
    case Kind::Group: return ERROR_GROUP_NOT_FOUND;
    case Kind::Resource: return ERROR_RESOURCE_NOT_FOUND;
    case Kind::ResourceType: return ERROR_CLUSTER_RESOURCE_TYPE_NOT_FOUND;
    case Kind::Network: return ERROR_CLUSTER_NETWORK_NOT_FOUND;
    case Kind::NetInterface: return ERROR_CLUSTER_NETINTERFACE_NOT_FOUND;
  }
  return ERROR_NOT_FOUND;
}

// The object behind an open handle's id, if it is of the kind the request names.
const Object* ObjectOf(const ClusterModel& model, Kind kind, ObjectId id, DWORD& status) {
  const Object* object = model.Get(id);
  status = object && object->kind == kind ? ERROR_SUCCESS : NotFound(kind);
  return status == ERROR_SUCCESS ? object : nullptr;
}

std::wstring TrimSlashes(std::wstring path) {
  while (!path.empty() && path.front() == L'\\') path.erase(0, 1);
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

std::wstring JoinPath(const std::wstring& base, const std::wstring& sub) {
  const std::wstring a = TrimSlashes(base), b = TrimSlashes(sub);
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + L"\\" + b;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && winapi::EqualsNoCase(std::wstring_view(text).substr(0, prefix.size()), prefix);
}

// The resource whose key a path lies in, with the rest of the path below its key. Resource
// keys are views of the resources; the rest of the registry comes from the scenario.
const Object* ResourceOfKey(const ClusterModel& model, const std::wstring& path, std::wstring& rest) {
  if (!StartsWithNoCase(path, L"Resources\\")) return nullptr;
  const std::wstring tail = path.substr(10);
  const auto slash = tail.find(L'\\');
  const std::wstring keyName = tail.substr(0, slash);
  rest = slash == std::wstring::npos ? std::wstring() : tail.substr(slash + 1);
  // The key name carries the resource's id in its first field.
  const unsigned long long id = keyName.size() > 9 ? std::wcstoull(keyName.c_str() + 1, nullptr, 16) : 0;
  const Object* r = model.Get(id);
  return r && r->kind == Kind::Resource && winapi::EqualsNoCase(model.ResourceKeyName(r->id), keyName) ? r : nullptr;
}

wire::RegValueResponse RegistryValue(const PropertyValue& value) {
  using Type = PropertyValue::Type;
  wire::RegValueResponse out;
  switch (value.type) {
    case Type::Sz: out.type = REG_SZ; out.text = value.text; break;
    case Type::ExpandSz: out.type = REG_EXPAND_SZ; out.text = value.text; break;
    case Type::Dword:
    case Type::Long: out.type = REG_DWORD; out.number = value.number & 0xFFFFFFFF; break;
    case Type::Qword: out.type = REG_QWORD; out.number = value.number; break;
    case Type::MultiSz: out.type = REG_MULTI_SZ; out.list = value.list; break;
    case Type::Binary: out.type = REG_BINARY; out.data = value.bytes; break;
  }
  return out;
}

void AddItems(wire::NameItems& items, DWORD type, const std::vector<const Object*>& objects) {
  for (const Object* object : objects) items.push_back({type, object->name});
}

// ---- One handler per operation ----------------------------------------------------------

DWORD Hello(Context& c, const wire::HelloRequest&, wire::HelloResponse& out) {
  out.cluster = c.model.facts.name;
  return ERROR_SUCCESS;
}

DWORD Info(Context& c, const wire::InfoRequest&, wire::InfoResponse& out) {
  const ClusterFacts& f = c.model.facts;
  out.name = f.name; out.vendor = f.vendor; out.csd = f.csd;
  out.major = f.major; out.minor = f.minor; out.build = f.build;
  out.highest = f.highest; out.lowest = f.lowest; out.flags = f.flags;
  return ERROR_SUCCESS;
}

DWORD Quorum(Context& c, const wire::QuorumRequest&, wire::QuorumResponse& out) {
  const ClusterFacts& f = c.model.facts;
  if (f.quorumResource.empty()) return ERROR_RESOURCE_NOT_FOUND;
  out.resource = f.quorumResource; out.device = f.quorumDevice; out.maxLog = f.quorumMaxLog;
  return ERROR_SUCCESS;
}

DWORD Enumerate(Context& c, const wire::EnumRequest& request, wire::ItemsResponse& out) {
  for (const Kind kind : {Kind::Node, Kind::ResourceType, Kind::Resource, Kind::Group, Kind::Network, Kind::NetInterface}) {
    const DWORD bit = wire::EnumTypeOf(kind);
    if (request.types & bit) AddItems(out.items, bit, c.model.Objects(kind));
  }
  return ERROR_SUCCESS;
}

DWORD Open(Context& c, const wire::OpenRequest& request, wire::OpenResponse& out) {
  const Object* object = c.model.Find(request.kind, request.name);
  if (!object) return NotFound(request.kind);
  if (const DWORD fault = object->faults.Of(FaultKind::Open)) return fault;
  out.id = object->id;
  return ERROR_SUCCESS;
}

DWORD State(Context& c, const wire::StateRequest& request, wire::StateResponse& out) {
  DWORD status = ERROR_SUCCESS;
  const Object* object = ObjectOf(c.model, request.kind, request.id, status);
  if (!object) return status;
  if (const DWORD fault = object->faults.Of(FaultKind::State)) return fault;
  out.state = object->state;
  if (request.kind == Kind::Group) {
    if (const Object* owner = c.model.Get(object->node)) out.node = owner->name;
  }
  if (request.kind == Kind::Resource) {
    if (const Object* group = c.model.Get(object->group)) {
      out.group = group->name;
      if (const Object* owner = c.model.Get(group->node)) out.node = owner->name;
    }
  }
  return ERROR_SUCCESS;
}

void GroupItems(const ClusterModel& model, const Object& group, DWORD types, wire::NameItems& items) {
  if (types & CLUSTER_GROUP_ENUM_CONTAINS) AddItems(items, CLUSTER_GROUP_ENUM_CONTAINS, model.GroupResources(group.id));
  if (types & CLUSTER_GROUP_ENUM_NODES) {
    // Preferred owners as written, also those that name no node.
    for (const std::wstring& name : group.preferred) items.push_back({CLUSTER_GROUP_ENUM_NODES, name});
  }
}

void ResourceItems(const ClusterModel& model, const Object& resource, DWORD types, wire::NameItems& items) {
  if (types & CLUSTER_RESOURCE_ENUM_DEPENDS) {
    for (const ObjectId id : resource.dependencies) items.push_back({CLUSTER_RESOURCE_ENUM_DEPENDS, model.Get(id)->name});
  }
  if (types & CLUSTER_RESOURCE_ENUM_PROVIDES) {
    for (const Object* r : model.Objects(Kind::Resource)) {
      if (std::count(r->dependencies.begin(), r->dependencies.end(), resource.id)) {
        items.push_back({CLUSTER_RESOURCE_ENUM_PROVIDES, r->name});
      }
    }
  }
  if (types & CLUSTER_RESOURCE_ENUM_NODES) AddItems(items, CLUSTER_RESOURCE_ENUM_NODES, model.Objects(Kind::Node));
}

DWORD ObjectEnumerate(Context& c, const wire::ObjectEnumRequest& request, wire::ItemsResponse& out) {
  if (request.kind != Kind::Group && request.kind != Kind::Resource) return ERROR_INVALID_PARAMETER;
  DWORD status = ERROR_SUCCESS;
  const Object* object = ObjectOf(c.model, request.kind, request.id, status);
  if (!object) return status;
  if (request.kind == Kind::Group) GroupItems(c.model, *object, request.types, out.items);
  else ResourceItems(c.model, *object, request.types, out.items);
  return ERROR_SUCCESS;
}

DWORD Control(Context& c, const wire::ControlRequest& request, wire::ControlResponse& out) {
  const Object* object = nullptr;
  if (request.kind == Kind::ResourceType) {
    if (!request.name) return ERROR_INVALID_PARAMETER;
    object = c.model.Find(request.kind, *request.name);
    if (!object) return NotFound(request.kind);
  } else {
    if (!request.id) return ERROR_INVALID_PARAMETER;
    DWORD status = ERROR_SUCCESS;
    object = ObjectOf(c.model, request.kind, *request.id, status);
    if (!object) return status;
  }
  if (!wire::IsPropertyRead(request.code)) return ERROR_INVALID_FUNCTION;
  FaultKind fault = FaultKind::Common;
  if (FaultOfControl(request.code, fault) && object->faults.Of(fault)) return object->faults.Of(fault);
  out.data = c.model.PropertyList(*object, request.code);
  return ERROR_SUCCESS;
}

DWORD NetInterface(Context& c, const wire::NetInterfaceRequest& request, wire::NameResponse& out) {
  // Matched against the interfaces' node and network as written.
  if (const Object* itf = c.model.FindInterface(request.node, request.network)) {
    out.name = itf->name;
    return ERROR_SUCCESS;
  }
  if (!c.model.Find(Kind::Node, request.node)) return ERROR_CLUSTER_NODE_NOT_FOUND;
  if (!c.model.Find(Kind::Network, request.network)) return ERROR_CLUSTER_NETWORK_NOT_FOUND;
  return ERROR_CLUSTER_NETINTERFACE_NOT_FOUND;
}

DWORD RegKey(Context& c, const wire::RegKeyRequest& request, wire::PathResponse& out) {
  if (request.scope == wire::KeyScope::Cluster) return ERROR_SUCCESS;  // the root
  if (!request.id) return ERROR_INVALID_PARAMETER;
  DWORD status = ERROR_SUCCESS;
  const Object* resource = ObjectOf(c.model, Kind::Resource, *request.id, status);
  if (!resource) return status;
  out.path = L"Resources\\" + c.model.ResourceKeyName(resource->id);
  return ERROR_SUCCESS;
}

DWORD RegOpen(Context& c, const wire::RegOpenRequest& request, wire::PathResponse& out) {
  const std::wstring path = JoinPath(request.path, request.subkey);
  std::wstring rest;
  bool exists = path.empty() || winapi::EqualsNoCase(path, L"Resources");
  if (ResourceOfKey(c.model, path, rest)) exists = rest.empty() || winapi::EqualsNoCase(rest, L"Parameters");
  for (const auto& entry : c.model.registry) {
    if (winapi::EqualsNoCase(entry.first, path) || StartsWithNoCase(entry.first, path + L"\\")) exists = true;
  }
  if (!exists) return ERROR_FILE_NOT_FOUND;
  out.path = path;
  return ERROR_SUCCESS;
}

DWORD RegQuery(Context& c, const wire::RegQueryRequest& request, wire::RegValueResponse& out) {
  const std::wstring path = TrimSlashes(request.path);
  std::wstring rest;
  if (const Object* r = ResourceOfKey(c.model, path, rest)) {
    if (rest.empty()) {
      if (winapi::EqualsNoCase(request.value, L"Name")) out = RegistryValue(PropertyValue::Text(r->name));
      else if (winapi::EqualsNoCase(request.value, L"Type") && !r->typeName.empty()) out = RegistryValue(PropertyValue::Text(r->typeName));
      else return ERROR_FILE_NOT_FOUND;
      return ERROR_SUCCESS;
    }
    const PropertyValue* found = winapi::EqualsNoCase(rest, L"Parameters") ? r->priv.Find(request.value) : nullptr;
    if (!found) return ERROR_FILE_NOT_FOUND;
    out = RegistryValue(*found);
    return ERROR_SUCCESS;
  }
  for (const auto& entry : c.model.registry) {
    if (!winapi::EqualsNoCase(entry.first, path)) continue;
    for (const auto& item : entry.second) {
      if (!winapi::EqualsNoCase(item.first, request.value)) continue;
      out = RegistryValue(item.second);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

DWORD Notify(Context& c, const wire::NotifyRequest& request, wire::EmptyResponse&) {
  c.session.notify = true;
  c.session.filter = request.filter;
  return ERROR_SUCCESS;
}

// ---- The table --------------------------------------------------------------------------

using Serve = std::string (*)(Context&, const rapidjson::Value&);

template <class Request, DWORD (*Handler)(Context&, const Request&, typename Request::Response&)>
std::string Answer(Context& context, const rapidjson::Value& members) {
  Request request;
  if (!wire::DecodeMembers(members, request)) return wire::EncodeFailure(ERROR_INVALID_PARAMETER);
  typename Request::Response response;
  const DWORD status = Handler(context, request, response);
  return status == ERROR_SUCCESS ? wire::EncodeResponse(response) : wire::EncodeFailure(status);
}

struct Route {
  wire::Op op;
  Serve serve;
};

template <class Request, DWORD (*Handler)(Context&, const Request&, typename Request::Response&)>
constexpr Route RouteTo() {
  return {Request::kOp, &Answer<Request, Handler>};
}

constexpr std::array kRoutes = {
    RouteTo<wire::HelloRequest, Hello>(),
    RouteTo<wire::InfoRequest, Info>(),
    RouteTo<wire::QuorumRequest, Quorum>(),
    RouteTo<wire::EnumRequest, Enumerate>(),
    RouteTo<wire::OpenRequest, Open>(),
    RouteTo<wire::StateRequest, State>(),
    RouteTo<wire::ObjectEnumRequest, ObjectEnumerate>(),
    RouteTo<wire::ControlRequest, Control>(),
    RouteTo<wire::NetInterfaceRequest, NetInterface>(),
    RouteTo<wire::RegKeyRequest, RegKey>(),
    RouteTo<wire::RegOpenRequest, RegOpen>(),
    RouteTo<wire::RegQueryRequest, RegQuery>(),
    RouteTo<wire::NotifyRequest, Notify>(),
};

constexpr bool InOperationOrder() {
  for (std::size_t i = 0; i < kRoutes.size(); ++i) {
    if (kRoutes[i].op != static_cast<wire::Op>(i)) return false;
  }
  return true;
}
static_assert(InOperationOrder(), "one route per operation, in the order of winapi::cluster::Op");

}  // namespace

std::string AnswerServiceRequest(const ClusterModel& model, ServiceSession& session, std::string_view line) {
  rapidjson::Document request;
  wire::Op op = wire::Op::Hello;
  DWORD refusal = ERROR_SUCCESS;
  if (!wire::ParseRequest(line, request, op, refusal)) return wire::EncodeFailure(refusal);
  Context context{model, session};
  return kRoutes[static_cast<std::size_t>(op)].serve(context, request);
}

}  // namespace clustersim

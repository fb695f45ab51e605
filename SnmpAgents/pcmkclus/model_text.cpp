#include "model_text.h"

#include "wide_text.h"

namespace pcmkclus {

namespace {

using clustersim::Kind;
using clustersim::Object;
using clustersim::PropertySet;
using clustersim::PropertyValue;

std::string Narrow(const std::wstring& text) { return winapi::Utf8FromWide(text); }

std::string ValueText(const PropertyValue& value) {
  using Type = PropertyValue::Type;
  switch (value.type) {
    case Type::Dword:
    case Type::Long:
    case Type::Qword: return std::to_string(value.number);
    case Type::Sz:
    case Type::ExpandSz: return "\"" + Narrow(value.text) + "\"";
    case Type::MultiSz: {
      std::string text;
      for (const auto& item : value.list) text += (text.empty() ? "" : "|") + Narrow(item);
      return "[" + text + "]";
    }
    case Type::Binary: return "<binary>";
  }
  return std::string();
}

std::string SetText(const char* label, const PropertySet& set) {
  std::string text;
  for (const auto& [name, value] : set.Items()) text += " " + std::string(label) + Narrow(name) + "=" + ValueText(value);
  return text;
}

std::string NameOf(const clustersim::ClusterModel& model, clustersim::ObjectId id) {
  const Object* object = model.Get(id);
  return object ? Narrow(object->name) : "-";
}

struct CodeRow {
  DWORD code;
  const char* name;
};

constexpr CodeRow kCodes[] = {
    {CLUSTER_CHANGE_NODE_STATE, "NODE_STATE"},
    {CLUSTER_CHANGE_NODE_DELETED, "NODE_DELETED"},
    {CLUSTER_CHANGE_NODE_ADDED, "NODE_ADDED"},
    {CLUSTER_CHANGE_NODE_PROPERTY, "NODE_PROPERTY"},
    {CLUSTER_CHANGE_REGISTRY_NAME, "REGISTRY_NAME"},
    {CLUSTER_CHANGE_REGISTRY_ATTRIBUTES, "REGISTRY_ATTRIBUTES"},
    {CLUSTER_CHANGE_REGISTRY_VALUE, "REGISTRY_VALUE"},
    {CLUSTER_CHANGE_REGISTRY_SUBTREE, "REGISTRY_SUBTREE"},
    {CLUSTER_CHANGE_RESOURCE_STATE, "RESOURCE_STATE"},
    {CLUSTER_CHANGE_RESOURCE_DELETED, "RESOURCE_DELETED"},
    {CLUSTER_CHANGE_RESOURCE_ADDED, "RESOURCE_ADDED"},
    {CLUSTER_CHANGE_RESOURCE_PROPERTY, "RESOURCE_PROPERTY"},
    {CLUSTER_CHANGE_GROUP_STATE, "GROUP_STATE"},
    {CLUSTER_CHANGE_GROUP_DELETED, "GROUP_DELETED"},
    {CLUSTER_CHANGE_GROUP_ADDED, "GROUP_ADDED"},
    {CLUSTER_CHANGE_GROUP_PROPERTY, "GROUP_PROPERTY"},
    {CLUSTER_CHANGE_RESOURCE_TYPE_DELETED, "RESOURCE_TYPE_DELETED"},
    {CLUSTER_CHANGE_RESOURCE_TYPE_ADDED, "RESOURCE_TYPE_ADDED"},
    {CLUSTER_CHANGE_RESOURCE_TYPE_PROPERTY, "RESOURCE_TYPE_PROPERTY"},
    {CLUSTER_CHANGE_NETWORK_STATE, "NETWORK_STATE"},
    {CLUSTER_CHANGE_NETWORK_DELETED, "NETWORK_DELETED"},
    {CLUSTER_CHANGE_NETWORK_ADDED, "NETWORK_ADDED"},
    {CLUSTER_CHANGE_NETWORK_PROPERTY, "NETWORK_PROPERTY"},
    {CLUSTER_CHANGE_NETINTERFACE_STATE, "NETINTERFACE_STATE"},
    {CLUSTER_CHANGE_NETINTERFACE_DELETED, "NETINTERFACE_DELETED"},
    {CLUSTER_CHANGE_NETINTERFACE_ADDED, "NETINTERFACE_ADDED"},
    {CLUSTER_CHANGE_NETINTERFACE_PROPERTY, "NETINTERFACE_PROPERTY"},
};

std::string CodeName(DWORD code) {
  for (const auto& row : kCodes) {
    if (row.code == code) return row.name;
  }
  return std::to_string(code);
}

}  // namespace

std::string ModelText(const clustersim::ClusterModel& model) {
  const auto& f = model.facts;
  std::string text = "cluster \"" + Narrow(f.name) + "\" version " + std::to_string(f.major) + "." +
                     std::to_string(f.minor) + "." + std::to_string(f.build) + " \"" + Narrow(f.vendor) + "\" \"" +
                     Narrow(f.csd) + "\" quorum \"" + Narrow(f.quorumResource) + "\"\n";
  for (const Kind kind : {Kind::Node, Kind::Network, Kind::NetInterface, Kind::ResourceType, Kind::Group, Kind::Resource}) {
    for (const Object* o : model.Objects(kind)) {
      std::string line = Narrow(clustersim::KindWord(kind)) + " \"" + Narrow(o->name) + "\"";
      if (kind != Kind::ResourceType) line += " " + Narrow(clustersim::StateWord(kind, o->state));
      if (kind == Kind::Group) {
        line += " on " + NameOf(model, o->node) + " preferred [";
        for (std::size_t i = 0; i < o->preferred.size(); ++i) line += (i ? "|" : "") + Narrow(o->preferred[i]);
        line += "]";
      }
      if (kind == Kind::Resource) {
        line += " in " + NameOf(model, o->group) + " type \"" + Narrow(o->typeName) + "\" depends [";
        for (std::size_t i = 0; i < o->dependencies.size(); ++i) line += (i ? "|" : "") + NameOf(model, o->dependencies[i]);
        line += "]";
      }
      if (kind == Kind::NetInterface) line += " node \"" + Narrow(o->nodeName) + "\" network \"" + Narrow(o->networkName) + "\"";
      text += line + SetText("", o->common) + SetText("ro.", o->readOnly) + SetText("priv.", o->priv) + "\n";
    }
  }
  for (const auto& [key, values] : model.registry) {
    text += "registry \"" + Narrow(key) + "\"";
    for (const auto& [name, value] : values) text += " " + Narrow(name) + "=" + ValueText(value);
    text += "\n";
  }
  return text;
}

std::string NotificationsText(const clustersim::Notifications& notifications) {
  std::string text;
  for (const auto& n : notifications) text += CodeName(n.code) + " \"" + Narrow(n.name) + "\"\n";
  return text;
}

}  // namespace pcmkclus

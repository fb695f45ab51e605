#include "corosync_links.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "wide_text.h"

namespace pcmkclus {

namespace {

std::string Trim(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  const auto end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// "ring3_addr" -> 3; -1 for any other key.
int LinkOf(const std::string& key) {
  if (key.rfind("ring", 0) != 0 || key.size() < 10 || key.compare(key.size() - 5, 5, "_addr") != 0) return -1;
  const std::string digits = key.substr(4, key.size() - 9);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    return -1;
  }
  return std::stoi(digits);
}

}  // namespace

bool ParseCorosyncNodes(const std::string& text, std::vector<CorosyncNode>& nodes, std::string& error) {
  std::vector<std::string> sections;
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  while (std::getline(in, raw)) {
    ++number;
    const auto hash = raw.find('#');
    const std::string line = Trim(hash == std::string::npos ? raw : raw.substr(0, hash));
    if (line.empty()) continue;
    if (line.back() == '{') {
      sections.push_back(Trim(line.substr(0, line.size() - 1)));
      if (sections.size() == 2 && sections[0] == "nodelist" && sections[1] == "node") nodes.emplace_back();
      continue;
    }
    if (line == "}") {
      if (sections.empty()) {
        error = "line " + std::to_string(number) + ": \"}\" closes no section";
        return false;
      }
      sections.pop_back();
      continue;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos) {
      error = "line " + std::to_string(number) + ": neither \"key: value\" nor a section";
      return false;
    }
    if (sections.size() != 2 || sections[0] != "nodelist" || sections[1] != "node") continue;
    const std::string key = Trim(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
    if (key == "name") nodes.back().name = value;
    const int link = LinkOf(key);
    if (link >= 0) nodes.back().links.emplace_back(link, value);
  }
  if (!sections.empty()) {
    error = "section \"" + sections.back() + "\" is not closed";
    return false;
  }
  return true;
}

void AddCorosyncLinks(const std::vector<CorosyncNode>& nodes, clustersim::ClusterModel& model,
                      std::vector<std::string>& warnings) {
  using clustersim::Kind;
  std::map<int, bool> linkUp;
  for (const auto& node : nodes) {
    for (const auto& link : node.links) linkUp.emplace(link.first, false);
  }
  for (const auto& [link, up] : linkUp) {
    clustersim::Object* network = model.Add(Kind::Network, L"Link " + std::to_wstring(link));
    // Links carry the cluster's own traffic; the nodes' addresses on them are how
    // clients reach the nodes too, so both roles.
    network->common.Set(L"Role", clustersim::PropertyValue::Dword(ClusterNetworkRoleInternalAndClient));
    network->state = ClusterNetworkUnavailable;
  }
  for (const auto& node : nodes) {
    const clustersim::Object* member = model.Find(Kind::Node, winapi::WideFromUtf8(node.name));
    if (!member) {
      warnings.push_back("corosync node \"" + node.name + "\" is no node of the CIB: its links are skipped");
      continue;
    }
    const bool reachable = member->state == ClusterNodeUp || member->state == ClusterNodePaused;
    for (const auto& [link, address] : node.links) {
      const std::wstring network = L"Link " + std::to_wstring(link);
      clustersim::Object* itf = model.Add(Kind::NetInterface, member->name + L" - " + network);
      if (!itf) continue;
      itf->nodeName = member->name;
      itf->networkName = network;
      itf->state = reachable ? ClusterNetInterfaceUp : ClusterNetInterfaceUnavailable;
      itf->readOnly.Set(L"Address", clustersim::PropertyValue::Text(winapi::WideFromUtf8(address)));
      if (reachable) model.Find(Kind::Network, network)->state = ClusterNetworkUp;
    }
  }
}

}  // namespace pcmkclus

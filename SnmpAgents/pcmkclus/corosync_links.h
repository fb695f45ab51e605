// Networks and interfaces from corosync's configuration: each link (ringN_addr) becomes
// a network "Link N", and each node's address on it an interface "NODE - Link N".
#pragma once
#include <string>
#include <vector>

#include "model.h"

namespace pcmkclus {

struct CorosyncNode {
  std::string name;
  std::vector<std::pair<int, std::string>> links;  // link number, address
};

// The nodelist of a corosync.conf; false with the reason for text it cannot follow.
bool ParseCorosyncNodes(const std::string& text, std::vector<CorosyncNode>& nodes, std::string& error);

// Adds the links of `nodes` to a model that has its nodes: an interface is up while its
// node is a member (up or paused), unavailable otherwise; a network is up while one of its
// interfaces is. Nodes the model does not know are named in `warnings` and skipped.
void AddCorosyncLinks(const std::vector<CorosyncNode>& nodes, clustersim::ClusterModel& model,
                      std::vector<std::string>& warnings);

}  // namespace pcmkclus

// Where the extension agents are: as the Windows SNMP service finds them, the values under
// SYSTEM\CurrentControlSet\Services\SNMP\Parameters\ExtensionAgents name registry keys
// (below HKLM) whose "Pathname" value is the agent's file.
#pragma once
#include <string>
#include <vector>

namespace host {

struct LocatedAgent {
  std::string path;
  std::string problem;  // non-empty: the entry could not be used, and why
};

std::vector<LocatedAgent> RegisteredAgents();

}  // namespace host

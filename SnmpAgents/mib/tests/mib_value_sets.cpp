// Prints, for every catalogue object whose value goes through a mapping table, the MIB
// values the mapping can give: "name value...". The module's test compares them with the
// object's named numbers.
#include <cstdio>
#include <set>
#include <string>

#include "mib_catalogue.h"

int main() {
  for (const MibObjectDef& def : MibCatalogue()) {
    const MibValueMap& map = MibMapOf(def.Source);
    if (map.Pairs.empty()) continue;
    std::set<LONG> values{map.Other, map.Unreadable};
    for (const MibValuePair& pair : map.Pairs) values.insert(pair.To);
    const std::wstring name = def.Name;
    std::printf("%s", std::string(name.begin(), name.end()).c_str());
    for (LONG value : values) std::printf(" %d", static_cast<int>(value));
    std::printf("\n");
  }
  return 0;
}

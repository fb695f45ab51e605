#include "host_types.h"

#include <algorithm>

namespace host {

std::string OidText(const Oid& oid) {
  std::string text;
  for (uint32_t id : oid) text += "." + std::to_string(id);
  return text.empty() ? "." : text;
}

bool IsPrefix(const Oid& prefix, const Oid& oid) {
  return prefix.size() <= oid.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

}  // namespace host

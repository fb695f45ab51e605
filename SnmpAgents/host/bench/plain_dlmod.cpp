// The yardstick table inside snmpd (`dlmod plain_dlmod PATH`): snmpd's own in-process
// figure. PLAIN_ROWS, or PLAIN_DUMP and PLAIN_ROOT, in snmpd's environment say what it serves.
#include <cstdlib>
#include <string>

#include "plain_table.h"

namespace {
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}
}  // namespace

extern "C" void init_plain_dlmod() {
  plain::RegisterTable(std::strtol(Env("PLAIN_ROWS").c_str(), nullptr, 10), Env("PLAIN_DUMP"), Env("PLAIN_ROOT"));
}

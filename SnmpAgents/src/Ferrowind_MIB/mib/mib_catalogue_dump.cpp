// Prints the catalogue, one object a line: name, OID without instance or index arcs,
// syntax, number of index arcs. The MIB module's test compares it with the module.
#include <cstdio>
#include <string>

#include "mib_catalogue.h"

namespace {

const char* SyntaxName(MibSyntax syntax) {
  switch (syntax) {
    case MibSyntax::Integer: return "INTEGER";
    case MibSyntax::Text: return "TEXT";
    case MibSyntax::Bytes: return "BYTES";
    case MibSyntax::IpAddress: return "IPADDRESS";
  }
  return "?";
}

std::string ObjectOid(const MibObjectDef& def) {
  std::wstring oid = def.OidTemplate;
  if (!oid.empty() && oid.front() == L'.') oid.erase(0, 1);
  const UINT arcs = MibIndexArcs(def);
  for (UINT i = 0; i < (arcs ? arcs : 1); ++i) oid.erase(oid.rfind(L'.'));
  return std::string(oid.begin(), oid.end());
}

}  // namespace

int main() {
  for (const MibObjectDef& def : MibCatalogue()) {
    const std::wstring name = def.Name;
    std::printf("%s %s %s %u\n", std::string(name.begin(), name.end()).c_str(), ObjectOid(def).c_str(),
                SyntaxName(def.Syntax), MibIndexArcs(def));
  }
  return 0;
}

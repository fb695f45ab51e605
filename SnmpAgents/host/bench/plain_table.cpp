#include "plain_table.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace plain {
namespace {

using Key = std::vector<oid>;

// One served value: its ASN type and the bytes snmp_set_var_typed_value takes.
struct Value {
  u_char type = ASN_INTEGER;
  std::vector<u_char> bytes;
};
std::map<Key, Value> g_objects;

Value Number(u_char type, long number) {
  Value value{type, {}};
  const auto* raw = reinterpret_cast<const u_char*>(&number);
  value.bytes.assign(raw, raw + sizeof number);
  return value;
}

Key ParseOid(const std::string& text) {
  Key key;
  std::istringstream parts(text);
  std::string part;
  while (std::getline(parts, part, '.'))
    if (!part.empty()) key.push_back(std::strtoul(part.c_str(), nullptr, 10));
  return key;
}

// A dump line: "OID LETTER VALUE", the letter as snmpset's (i u c t: a number, x: hex bytes,
// a: a dotted IPv4 address or hex bytes, o: an OID).
bool ParseDumpLine(const std::string& line) {
  std::istringstream fields(line);
  std::string name, letter, text;
  if (!(fields >> name >> letter)) return false;
  fields >> text;
  Value value;
  switch (letter[0]) {
    case 'i': value = Number(ASN_INTEGER, std::strtol(text.c_str(), nullptr, 10)); break;
    case 'u': value = Number(ASN_GAUGE, static_cast<long>(std::strtoul(text.c_str(), nullptr, 10))); break;
    case 'c': value = Number(ASN_COUNTER, static_cast<long>(std::strtoul(text.c_str(), nullptr, 10))); break;
    case 't': value = Number(ASN_TIMETICKS, static_cast<long>(std::strtoul(text.c_str(), nullptr, 10))); break;
    case 'o': {
      const Key id = ParseOid(text);
      value.type = ASN_OBJECT_ID;
      const auto* raw = reinterpret_cast<const u_char*>(id.data());
      value.bytes.assign(raw, raw + id.size() * sizeof(oid));
      break;
    }
    case 'a':
      value.type = ASN_IPADDRESS;
      if (text.find('.') != std::string::npos) {
        for (const oid byte : ParseOid(text)) value.bytes.push_back(static_cast<u_char>(byte));
        break;
      }
      [[fallthrough]];
    case 'x':
      if (letter[0] == 'x') value.type = ASN_OCTET_STR;
      for (size_t i = 0; i + 1 < text.size(); i += 2)
        value.bytes.push_back(static_cast<u_char>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
      break;
    default: return false;
  }
  g_objects[ParseOid(name)] = std::move(value);
  return true;
}

void Answer(netsnmp_request_info* r, const Value& value) {
  snmp_set_var_typed_value(r->requestvb, value.type, value.bytes.data(), value.bytes.size());
}

int Handle(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* info,
           netsnmp_request_info* requests) {
  for (netsnmp_request_info* r = requests; r; r = r->next) {
    const Key asked(r->requestvb->name, r->requestvb->name + r->requestvb->name_length);
    if (info->mode == MODE_GET) {
      auto it = g_objects.find(asked);
      if (it == g_objects.end()) {
        netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
        continue;
      }
      Answer(r, it->second);
    } else if (info->mode == MODE_GETNEXT) {
      auto it = g_objects.upper_bound(asked);
      if (it == g_objects.end()) {
        // A master goes on with the next subtree for a request left unanswered.
        if (netsnmp_ds_get_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE))
          netsnmp_set_request_error(info, r, SNMP_ENDOFMIBVIEW);
        continue;
      }
      snmp_set_var_objid(r->requestvb, it->first.data(), it->first.size());
      Answer(r, it->second);
    }
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

bool RegisterTable(long rows, const std::string& dump, const std::string& rootText) {
  Key root = {1, 3, 6, 1, 4, 1, 99999, 2};
  for (long i = 1; i <= rows; ++i)
    g_objects[{1, 3, 6, 1, 4, 1, 99999, 2, 3, 1, static_cast<oid>(i)}] = Number(ASN_INTEGER, i);
  bool good = true;
  if (!dump.empty()) {
    std::ifstream in(dump);
    std::string line;
    while (std::getline(in, line)) {
      if (ParseDumpLine(line)) continue;
      std::fprintf(stderr, "plain table: bad dump line: %s\n", line.c_str());
      good = false;
    }
    root = ParseOid(rootText);
  }
  netsnmp_register_handler(
      netsnmp_create_handler_registration("plain", Handle, root.data(), root.size(), HANDLER_CAN_RONLY));
  return good;
}

}  // namespace plain

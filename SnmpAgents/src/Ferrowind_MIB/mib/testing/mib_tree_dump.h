// A MIB tree as a list of (OID, type, value) by walking it with GETNEXT, for comparing
// two trees object by object.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "mib_tree.h"
#include "snmp_value.h"

struct MibCell {
  std::wstring Oid;
  BYTE Type;
  std::string Value;  // the raw value: number or bytes
  bool operator==(const MibCell&) const = default;
};

// Readable in a failed comparison: OID, type and the value's bytes.
inline void PrintTo(const MibCell& cell, std::ostream* out) {
  *out << std::string(cell.Oid.begin(), cell.Oid.end()) << " type " << int(cell.Type) << " \"";
  for (const char c : cell.Value) {
    if (c >= 0x20 && c < 0x7f) *out << c;
    else *out << "\\x" << std::hex << (int(c) & 0xff) << std::dec;
  }
  *out << "\"";
}

inline std::string RawValue(const AsnAny& value) {
  switch (value.asnType) {
    case ASN_OCTETSTRING:
    case ASN_IPADDRESS:
      return value.asnValue.string.stream
                 ? std::string(reinterpret_cast<const char*>(value.asnValue.string.stream), value.asnValue.string.length)
                 : std::string();
    default: return std::to_string(value.asnValue.unsigned32);
  }
}

inline std::vector<MibCell> DumpTree(CSnmpMibTree& tree) {
  std::vector<MibCell> cells;
  SnmpVarBind varbind = EmptyVarBind();
  for (;;) {
    SNMPSTATUS status = 0;
    if (!tree.MibGetVarbind(&varbind, SNMP_PDU_GETNEXT, &status, nullptr) || status != 0) break;
    std::wstring oid;
    OidToText(oid, &varbind.name);
    cells.push_back({oid, varbind.value.asnType, RawValue(varbind.value)});
  }
  SnmpUtilVarBindFree(&varbind);
  return cells;
}

// The value of one cell, by OID text; empty type when absent.
inline const MibCell* FindCell(const std::vector<MibCell>& cells, const std::wstring& oid) {
  for (const auto& cell : cells) {
    if (cell.Oid == oid) return &cell;
  }
  return nullptr;
}

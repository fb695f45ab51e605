// Builds request varbind lists the way the SNMP service does (snmpapi allocator, NULL
// values) and frees them the same way, for the tests of request processing.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <string>
#include <vector>

#include "snmp_value.h"

namespace fw::testing {

// Pointer members of the 4-byte-packed snmp.h structures are misaligned: compare them by value.
template <class T>
const void* Addr(T* pointer) {
  return pointer;
}

class RequestList {
 public:
  RequestList() = default;
  explicit RequestList(std::initializer_list<std::wstring> oids) {
    for (const std::wstring& oid : oids) Add(oid);
  }
  ~RequestList() { SnmpUtilVarBindListFree(&list); }
  RequestList(const RequestList&) = delete;
  RequestList& operator=(const RequestList&) = delete;

  SnmpVarBind& Add(const std::wstring& oid) {
    ResizeVarBindList(&list, list.len + 1);
    SnmpVarBind& varbind = list.list[list.len - 1];
    TextToOid(oid.c_str(), &varbind.name);
    return varbind;
  }
  SnmpVarBind& Add(const std::vector<UINT>& ids) {
    ResizeVarBindList(&list, list.len + 1);
    SnmpVarBind& varbind = list.list[list.len - 1];
    AsnObjectIdentifier oid{static_cast<UINT>(ids.size()), const_cast<UINT*>(ids.data())};
    SnmpUtilOidCpy(&varbind.name, &oid);
    return varbind;
  }

  SnmpVarBind& operator[](UINT i) { return list.list[i]; }
  std::wstring Oid(UINT i) const {
    std::wstring text;
    return OidToText(text, &list.list[i].name);
  }
  std::wstring Value(UINT i) const {
    std::wstring text;
    return ValueToText(text, &list.list[i].value);
  }

  SnmpVarBindList list{};
};

}  // namespace fw::testing

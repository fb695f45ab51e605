// An extension-agent module as the SNMP service drives it: its five entry points found
// with GetProcAddress, and a query over a request list.
#pragma once

#include <windows.h>
#include <snmp.h>

#include "request_builder.h"

namespace fw::testing {

struct QueryAnswer {
  BOOL result;
  AsnInteger32 status, index;
};

struct ExtensionModule {
  PFNSNMPEXTENSIONINIT init = nullptr;
  PFNSNMPEXTENSIONINITEX initEx = nullptr;
  PFNSNMPEXTENSIONQUERY query = nullptr;
  PFNSNMPEXTENSIONTRAP trap = nullptr;
  PFNSNMPEXTENSIONCLOSE close = nullptr;

  // The entry points of a loaded module; false when one of the five is missing.
  bool Find(HMODULE module) {
    init = Export<PFNSNMPEXTENSIONINIT>(module, "SnmpExtensionInit");
    initEx = Export<PFNSNMPEXTENSIONINITEX>(module, "SnmpExtensionInitEx");
    query = Export<PFNSNMPEXTENSIONQUERY>(module, "SnmpExtensionQuery");
    trap = Export<PFNSNMPEXTENSIONTRAP>(module, "SnmpExtensionTrap");
    close = Export<PFNSNMPEXTENSIONCLOSE>(module, "SnmpExtensionClose");
    return Complete();
  }
  bool Complete() const { return init && initEx && query && trap && close; }

  QueryAnswer Query(BYTE type, RequestList& request) const {
    QueryAnswer answer{FALSE, -1, -1};
    answer.result = query(type, &request.list, &answer.status, &answer.index);
    return answer;
  }

 private:
  template <class Function>
  static Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
};

}  // namespace fw::testing

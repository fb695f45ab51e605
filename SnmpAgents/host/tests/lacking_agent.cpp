// A module that looks like an extension agent but lacks SnmpExtensionQuery: the host
// must refuse it with the reason and go on with the others.
#include <windows.h>
#include <snmp.h>

extern "C" WINBOOL SNMP_FUNC_TYPE SnmpExtensionInit(DWORD, HANDLE* phSubagentTrapEvent,
                                                   AsnObjectIdentifier* pFirstSupportedRegion) {
  static UINT ids[] = {1, 3, 6, 1, 4, 1, 99998};
  *phSubagentTrapEvent = nullptr;
  *pFirstSupportedRegion = {7, ids};
  return TRUE;
}

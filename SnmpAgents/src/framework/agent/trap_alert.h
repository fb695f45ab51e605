// Forwarding of delivered traps to the event log and as administrator alerts. The
// message table and both outputs are not connected yet: nothing is written or raised.
#pragma once

#include <windows.h>
#include <snmp.h>

class CTrapAlert {
 public:
  CTrapAlert() = default;
  ~CTrapAlert() { UnloadMessageDLL(); }
  CTrapAlert(const CTrapAlert&) = delete;
  CTrapAlert& operator=(const CTrapAlert&) = delete;

  bool LoadMessageDLL(const wchar_t* /*path*/) { return false; }
  void UnloadMessageDLL() {}
  void SetTrapParams(const SnmpVarBindList* /*varbinds*/, DWORD trapNumber) { m_trapNumber = trapNumber; }
  // Results: whether an entry was written / an alert raised.
  bool Write2EventLog(BYTE /*filter*/) { return false; }
  bool RaiseAdminAlert(BYTE /*filter*/) { return false; }

 private:
  DWORD m_trapNumber = 0;
};

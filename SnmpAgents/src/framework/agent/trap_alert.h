// Forwarding of delivered traps to the application event log and as administrator
// alerts. Trap2MsgTable names the message of each trap; the trap's varbinds become the
// message's insertion strings, and a trap goes out where the filter admits its
// message's severity. Used only by the thread that fetches traps, so it has no lock.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <string>

#include "trap_message_table.h"

class CTrapAlert {
 public:
  static constexpr WORD kMaxInsertionStrings = 10;
  static constexpr const wchar_t* kEventSource = L"Vornekt Agents";
  static constexpr const wchar_t* kAlertService = L"Ostrel";
  static constexpr const wchar_t* kAlertType = L"ADMIN";

  CTrapAlert() = default;
  ~CTrapAlert() { UnloadMessageDLL(); }
  CTrapAlert(const CTrapAlert&) = delete;
  CTrapAlert& operator=(const CTrapAlert&) = delete;

  // Maps the library for its message resources only; a null path does nothing.
  bool LoadMessageDLL(const wchar_t* path);
  void UnloadMessageDLL();
  bool IsMessageDLLLoaded() const { return m_hMessageDll != nullptr; }

  // Prepares the alert for one trap: its number, message id and insertion strings.
  void SetTrapParams(const SnmpVarBindList* varbinds, DWORD trapNumber);
  // Non-zero when an event was written; a null or empty server is the local machine.
  DWORD Write2EventLog(BYTE filter, const wchar_t* server = nullptr);
  // Non-zero when the alert was raised.
  DWORD RaiseAdminAlert(BYTE filter);

  // Whether an 8-bit filter selects a message's severity: bit 0 informational, bit 1
  // warning, bit 2 error; success messages never pass.
  static bool FilterPasses(BYTE filter, DWORD messageId);

  DWORD GetTrapNumber() const { return m_dwTrapNumber; }
  DWORD GetMessageId() const { return m_dwMessageId; }
  WORD GetInsertionStringCount() const { return m_wInsertionStringCount; }
  const wchar_t* GetInsertionString(WORD index) const {
    return index < m_wInsertionStringCount ? m_InsertionStrings[index].c_str() : nullptr;
  }

 private:
  DWORD LookupMessageId(DWORD trapNumber) const;
  void AddInsertionString(std::wstring text);
  void ClearInsertionStrings();

  std::wstring m_InsertionStrings[kMaxInsertionStrings];
  WORD m_wInsertionStringCount = 0;
  DWORD m_dwTrapNumber = 0;
  DWORD m_dwMessageId = kTrapMsgNotFound;
  HMODULE m_hMessageDll = nullptr;
};

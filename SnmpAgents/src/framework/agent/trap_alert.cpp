// Trap forwarding: the event-log entry carries the message id and the insertion
// strings (the event viewer formats them from the registered message file); the
// administrator alert carries the text formatted here from the messages library.
#include "trap_alert.h"

#include <lm.h>

#include <cstring>
#include <string>

#include "debug_trace.h"
#include "snmp_value.h"

namespace {

constexpr DWORD kAlertTextChars = 1000;
// FormatMessageW reads argument %n for every insert in the text, whatever the trap
// supplied: inserts beyond the trap's strings read an empty string, never past the array.
constexpr int kMaxMessageInserts = 99;
constexpr DWORD kAlertErrorCode = 0xFFFFFFFF;

WORD EventType(DWORD messageId) {
  switch (TrapMsgSeverity(messageId)) {
    case TRAP_MSG_ERROR: return EVENTLOG_ERROR_TYPE;
    case TRAP_MSG_WARNING: return EVENTLOG_WARNING_TYPE;
    case TRAP_MSG_INFORMATIONAL: return EVENTLOG_INFORMATION_TYPE;
    default: return EVENTLOG_SUCCESS;
  }
}

// One administrator alert, built per trap: service name and alert type are copies in
// global memory, freed with the alert.
class CAdminAlert {
 public:
  CAdminAlert(const wchar_t* serviceName, const wchar_t* alertType)
      : m_serviceName(GlobalCopy(serviceName ? serviceName : L"<unknown>")),
        m_alertType(GlobalCopy(alertType ? alertType : L"ADMIN")) {}
  ~CAdminAlert() {
    if (m_serviceName) GlobalFree(m_serviceName);
    if (m_alertType) GlobalFree(m_alertType);
  }
  CAdminAlert(const CAdminAlert&) = delete;
  CAdminAlert& operator=(const CAdminAlert&) = delete;

  // An ADMIN_OTHER_INFO header with one string, then the text and its terminator.
  NET_API_STATUS Raise(const wchar_t* text, DWORD length) const {
    if (!m_serviceName || !m_alertType) return ERROR_NOT_ENOUGH_MEMORY;
    const DWORD size = static_cast<DWORD>(sizeof(ADMIN_OTHER_INFO) + (length + 1) * sizeof(WCHAR));
    LPVOID buffer = nullptr;
    const NET_API_STATUS allocated = NetApiBufferAllocate(size, &buffer);
    if (allocated != NERR_Success) return allocated;
    std::memset(buffer, 0, size);
    ADMIN_OTHER_INFO header{};
    header.alrtad_errcode = kAlertErrorCode;
    header.alrtad_numstrings = 1;
    std::memcpy(buffer, &header, sizeof header);
    std::memcpy(static_cast<BYTE*>(buffer) + sizeof header, text, length * sizeof(WCHAR));
    const NET_API_STATUS result = NetAlertRaiseEx(m_alertType, buffer, size, m_serviceName);
    NetApiBufferFree(buffer);
    return result;
  }

 private:
  static wchar_t* GlobalCopy(const wchar_t* text) {
    const SIZE_T bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(GlobalAlloc(GPTR, bytes));
    if (copy) std::memcpy(copy, text, bytes);
    return copy;
  }

  wchar_t* m_serviceName;
  wchar_t* m_alertType;
};

}  // namespace

bool CTrapAlert::LoadMessageDLL(const wchar_t* path) {
  if (!path) return false;
  DBG_TRACE(3, L"\nCTrapAlert          : load message DLL \"%s\"", path);
  UnloadMessageDLL();
  m_hMessageDll = LoadLibraryExW(path, nullptr, DONT_RESOLVE_DLL_REFERENCES);
  if (!m_hMessageDll) {
    const DWORD error = GetLastError();
    DBG_TRACE(1, L"\n\nCTrapAlert          : ## ERROR! LoadMessageDLL(): could not load messages DLL %s (0x%08X)!\n",
              path, error);
  }
  return m_hMessageDll != nullptr;
}

void CTrapAlert::UnloadMessageDLL() {
  if (!m_hMessageDll) return;
  FreeLibrary(m_hMessageDll);
  m_hMessageDll = nullptr;
}

bool CTrapAlert::FilterPasses(BYTE filter, DWORD messageId) {
  const DWORD severity = TrapMsgSeverity(messageId);
  if (severity == TRAP_MSG_SUCCESS) return false;
  return (filter & (1u << (severity - 1))) != 0;
}

DWORD CTrapAlert::LookupMessageId(DWORD trapNumber) const {
  const DWORD messageId = LookupTrapMessageId(trapNumber);
  if (messageId != kTrapMsgNotFound) {
    DBG_TRACE(3, L"\nCTrapAlert          : Trap found in Trap2MsgTable, Msg Id = 0x%08X", messageId);
  }
  return messageId;
}

void CTrapAlert::ClearInsertionStrings() {
  for (std::wstring& text : m_InsertionStrings) std::wstring().swap(text);
  m_wInsertionStringCount = 0;
}

void CTrapAlert::AddInsertionString(std::wstring text) {
  if (m_wInsertionStringCount >= kMaxInsertionStrings) return;
  m_InsertionStrings[m_wInsertionStringCount++] = std::move(text);
}

void CTrapAlert::SetTrapParams(const SnmpVarBindList* varbinds, DWORD trapNumber) {
  DBG_TRACE(3, L"\nCTrapAlert          : SetTrapParams(): set trap parameters for trap number %d", trapNumber);
  ClearInsertionStrings();
  m_dwTrapNumber = trapNumber;
  m_dwMessageId = LookupMessageId(trapNumber);
  DBG_TRACE(3, L"\nCTrapAlert          :  get trap parameters from trap varbind...");
  if (!varbinds || !varbinds->list) return;
  const UINT count = varbinds->len;
  for (UINT i = 0; i < count; ++i) {
    const AsnAny& value = varbinds->list[i].value;
    switch (value.asnType) {
      case ASN_INTEGER:
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS: {
        if (m_wInsertionStringCount >= kMaxInsertionStrings) break;
        // "%u" of the 32 bits: a negative INTEGER reads as its unsigned form.
        const DWORD number = value.asnValue.unsigned32;
        DBG_TRACE(3, L"\nCTrapAlert          :  add numeric parameter[%d], value=%d...", i,
                  static_cast<AsnInteger32>(number));
        AddInsertionString(std::to_wstring(number));
        break;
      }
      case ASN_OCTETSTRING: {
        if (m_wInsertionStringCount >= kMaxInsertionStrings) break;
        std::wstring text;
        OctetsToWide(text, value.asnValue.string);
        DBG_TRACE(3, L"\nCTrapAlert          :  add string parameter[%d], value=\"%s\"", i, text);
        AddInsertionString(std::move(text));
        break;
      }
      default: break;
    }
  }
}

DWORD CTrapAlert::Write2EventLog(BYTE filter, const wchar_t* server) {
  DBG_TRACE(3, L"\nCTrapAlert          : Write2EventLog() trap# %d", m_dwTrapNumber);
  if (m_dwMessageId == kTrapMsgNotFound) {
    DBG_TRACE(1, L"\nCTrapAlert          : ERROR! TrapMsgId not found!!");
    return 0;
  }
  if (!FilterPasses(filter, m_dwMessageId)) return 0;
  DBG_TRACE(3, L"\nCTrapAlert          : Logging trap to event log ...!");
  if (server && !*server) server = nullptr;

  LPCWSTR strings[kMaxInsertionStrings] = {};
  for (WORD i = 0; i < m_wInsertionStringCount; ++i) strings[i] = m_InsertionStrings[i].c_str();
  BOOL written = FALSE;
  if (HANDLE source = RegisterEventSourceW(server, kEventSource)) {
    written = ReportEventW(source, EventType(m_dwMessageId), 0, m_dwMessageId, nullptr, m_wInsertionStringCount, 0,
                           m_wInsertionStringCount ? strings : nullptr, nullptr);
    const DWORD error = GetLastError();
    DeregisterEventSource(source);
    SetLastError(error);
  }
  if (!written) {
    DBG_TRACE(1, L"\nCTrapAlert:: ERROR: writing to event log failed, LastError=%d!!", GetLastError());
  }
  return written ? 1 : 0;
}

DWORD CTrapAlert::RaiseAdminAlert(BYTE filter) {
  if (m_dwMessageId == kTrapMsgNotFound || !m_hMessageDll || !FilterPasses(filter, m_dwMessageId)) return 0;
  DBG_TRACE(3, L"\nCTrapAlert          : Create net alert for trap ...");

  const wchar_t* const kEmpty = L"";
  DWORD_PTR arguments[kMaxMessageInserts];
  for (int i = 0; i < kMaxMessageInserts; ++i) {
    const wchar_t* text = i < m_wInsertionStringCount ? m_InsertionStrings[i].c_str() : kEmpty;
    arguments[i] = reinterpret_cast<DWORD_PTR>(text);
  }
  wchar_t text[kAlertTextChars] = {};
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m_hMessageDll,
                                      m_dwMessageId, 0, text, kAlertTextChars, reinterpret_cast<va_list*>(arguments));
  if (length == 0) return 0;

  const CAdminAlert alert(kAlertService, kAlertType);
  return alert.Raise(text, length) == NERR_Success ? 1 : 0;
}

// netapi32: the network API buffer allocator and alerts. An alert is recorded in the
// layer's event journal; the variable part of an administrator or user alert is read
// as Windows lays it out (a header, then that many terminated wide strings), never
// past the size the caller gave.
#include <windows.h>
#include <lm.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "errors.h"
#include "event_journal.h"
#include "wide_text.h"

namespace {

// Every buffer carries its size in front, for NetApiBufferSize.
struct alignas(16) BufferHeader {
  DWORD size;
};

BufferHeader* HeaderOf(LPVOID buffer) { return static_cast<BufferHeader*>(buffer) - 1; }

// The strings of an ADMIN_OTHER_INFO/USER_OTHER_INFO block; false when the block is
// shorter than its header or a string runs past its end.
bool ReadAlertStrings(const BYTE* block, DWORD size, DWORD& errorCode, std::vector<std::wstring>& strings) {
  ADMIN_OTHER_INFO header;
  if (size < sizeof header) return false;
  std::memcpy(&header, block, sizeof header);
  errorCode = header.alrtad_errcode;
  size_t offset = sizeof header;
  for (DWORD i = 0; i < header.alrtad_numstrings; ++i) {
    std::wstring text;
    for (;;) {
      if (offset + sizeof(WCHAR) > size) return false;
      WCHAR c;
      std::memcpy(&c, block + offset, sizeof c);
      offset += sizeof c;
      if (c == 0) break;
      text += c;
    }
    strings.push_back(std::move(text));
  }
  return true;
}

NET_API_STATUS RecordAlert(const std::wstring& type, const BYTE* info, DWORD size, const std::wstring& service) {
  winapi::JournalRecord record("alert");
  record.Text("alertType", type).Text("service", service);
  std::wstring summary = L"alert " + type + L" from " + service;
  const bool structured = winapi::EqualsNoCase(type, ALERT_ADMIN_EVENT) || winapi::EqualsNoCase(type, ALERT_USER_EVENT);
  if (structured) {
    DWORD errorCode = 0;
    std::vector<std::wstring> strings;
    if (!ReadAlertStrings(info, size, errorCode, strings)) return ERROR_INVALID_PARAMETER;
    for (const std::wstring& s : strings) summary += L": " + s;
    record.Number("errcode", errorCode).TextList("strings", std::move(strings));
  } else {
    record.Text("data", winapi::LowerHex(info, size));
  }
  return record.Append(LOG_ALERT, summary);
}

}  // namespace

// NetApiBufferAllocate
extern "C" NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetApiBufferAllocate(DWORD ByteCount, LPVOID* Buffer) {
  if (!Buffer) return ERROR_INVALID_PARAMETER;
  *Buffer = nullptr;
  auto* header = static_cast<BufferHeader*>(std::calloc(1, sizeof(BufferHeader) + ByteCount));
  if (!header) return ERROR_NOT_ENOUGH_MEMORY;
  header->size = ByteCount;
  *Buffer = header + 1;
  return NERR_Success;
}

// NetApiBufferFree
extern "C" NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID Buffer) {
  if (Buffer) std::free(HeaderOf(Buffer));
  return NERR_Success;
}

// NetApiBufferSize
extern "C" NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetApiBufferSize(LPVOID Buffer, LPDWORD ByteCount) {
  if (!Buffer || !ByteCount) return ERROR_INVALID_PARAMETER;
  *ByteCount = HeaderOf(Buffer)->size;
  return NERR_Success;
}

// NetAlertRaiseEx
extern "C" NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetAlertRaiseEx(LPCWSTR AlertType, LPVOID VariableInfo,
                                                                         DWORD VariableInfoSize, LPCWSTR ServiceName) {
  if (!AlertType || !*AlertType || (!VariableInfo && VariableInfoSize)) return ERROR_INVALID_PARAMETER;
  return winapi::GuardedStatus<NET_API_STATUS>([&] {
    return RecordAlert(AlertType, static_cast<const BYTE*>(VariableInfo), VariableInfoSize,
                       ServiceName ? ServiceName : L"");
  });
}

// NetAlertRaise
extern "C" NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetAlertRaise(LPCWSTR AlertType, LPVOID Buffer,
                                                                       DWORD BufferSize) {
  if (!AlertType || !*AlertType || !Buffer || BufferSize < sizeof(STD_ALERT)) return ERROR_INVALID_PARAMETER;
  STD_ALERT standard;
  std::memcpy(&standard, Buffer, sizeof standard);
  standard.alrt_servicename[SNLEN] = 0;
  return winapi::GuardedStatus<NET_API_STATUS>([&] {
    return RecordAlert(AlertType, ALERT_OTHER_INFO(Buffer), BufferSize - sizeof(STD_ALERT), standard.alrt_servicename);
  });
}

// Administrator and user alerts (netapi32). The layer records an alert in its event
// journal (winapi_ext.h) instead of sending it to an alerter service.
#pragma once
#include "lmcons.h"

typedef struct _STD_ALERT {
  DWORD alrt_timestamp;
  WCHAR alrt_eventname[EVLEN + 1];
  WCHAR alrt_servicename[SNLEN + 1];
} STD_ALERT, *PSTD_ALERT, *LPSTD_ALERT;

typedef struct _ADMIN_OTHER_INFO {
  DWORD alrtad_errcode;
  DWORD alrtad_numstrings;
} ADMIN_OTHER_INFO, *PADMIN_OTHER_INFO, *LPADMIN_OTHER_INFO;

typedef struct _USER_OTHER_INFO {
  DWORD alrtus_errcode;
  DWORD alrtus_numstrings;
} USER_OTHER_INFO, *PUSER_OTHER_INFO, *LPUSER_OTHER_INFO;

#define ALERT_OTHER_INFO(x) ((LPBYTE)(x) + sizeof(STD_ALERT))
#define ALERT_VAR_DATA(p) ((LPBYTE)(p) + sizeof(*p))

#define ALERT_PRINT_EVENT L"PRINTING"
#define ALERT_MESSAGE_EVENT L"MESSAGE"
#define ALERT_ERRORLOG_EVENT L"ERRORLOG"
#define ALERT_ADMIN_EVENT L"ADMIN"
#define ALERT_USER_EVENT L"USER"

WINAPI_BEGIN_DECLS
NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetAlertRaise(LPCWSTR AlertType, LPVOID Buffer, DWORD BufferSize);
NETAPI32_EXPORT NET_API_STATUS NET_API_FUNCTION NetAlertRaiseEx(LPCWSTR AlertType, LPVOID VariableInfo,
                                                                DWORD VariableInfoSize, LPCWSTR ServiceName);
WINAPI_END_DECLS

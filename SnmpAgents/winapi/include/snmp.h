// SNMP extension-agent interface and the snmpapi utility functions: the types, constants
// and structure packing of the Windows header, so that an agent and its host exchange
// OIDs, values and varbind lists in the Windows layout.
#pragma once
#include "windef.h"
#include "winnt.h"

typedef BOOL WINBOOL;

WINAPI_BEGIN_DECLS

#pragma pack(push, 4)
typedef struct {
  BYTE* stream;
  UINT length;
  WINBOOL dynamic;
} AsnOctetString;

typedef struct {
  UINT idLength;
  UINT* ids;
} AsnObjectIdentifier;

typedef LONG AsnInteger32;
typedef ULONG AsnUnsigned32;
typedef ULARGE_INTEGER AsnCounter64;
typedef AsnUnsigned32 AsnCounter32;
typedef AsnUnsigned32 AsnGauge32;
typedef AsnUnsigned32 AsnTimeticks;
typedef AsnOctetString AsnBits;
typedef AsnOctetString AsnSequence;
typedef AsnOctetString AsnImplicitSequence;
typedef AsnOctetString AsnIPAddress;
typedef AsnOctetString AsnNetworkAddress;
typedef AsnOctetString AsnDisplayString;
typedef AsnOctetString AsnOpaque;

typedef struct {
  BYTE asnType;
  union {
    AsnInteger32 number;
    AsnUnsigned32 unsigned32;
    AsnCounter64 counter64;
    AsnOctetString string;
    AsnBits bits;
    AsnObjectIdentifier object;
    AsnSequence sequence;
    AsnIPAddress address;
    AsnCounter32 counter;
    AsnGauge32 gauge;
    AsnTimeticks ticks;
    AsnOpaque arbitrary;
  } asnValue;
} AsnAny;

typedef AsnObjectIdentifier AsnObjectName;
typedef AsnAny AsnObjectSyntax;

typedef struct {
  AsnObjectName name;
  AsnObjectSyntax value;
} SnmpVarBind;

typedef struct {
  SnmpVarBind* list;
  UINT len;
} SnmpVarBindList;
#pragma pack(pop)

#ifdef __cplusplus
// The Windows x64 sizes under 4-byte packing; the host and the agents rely on them.
static_assert(sizeof(AsnOctetString) == 16, "layout of Windows x64");
static_assert(sizeof(AsnObjectIdentifier) == 12, "layout of Windows x64");
static_assert(sizeof(AsnAny) == 20, "layout of Windows x64");
static_assert(sizeof(SnmpVarBind) == 32, "layout of Windows x64");
static_assert(sizeof(SnmpVarBindList) == 12, "layout of Windows x64");
#endif

#define ASN_UNIVERSAL 0x00
#define ASN_APPLICATION 0x40
#define ASN_CONTEXT 0x80
#define ASN_PRIVATE 0xC0
#define ASN_PRIMITIVE 0x00
#define ASN_CONSTRUCTOR 0x20

#define SNMP_PDU_GET (ASN_CONTEXT | ASN_CONSTRUCTOR | 0x0)
#define SNMP_PDU_GETNEXT (ASN_CONTEXT | ASN_CONSTRUCTOR | 0x1)
#define SNMP_PDU_RESPONSE (ASN_CONTEXT | ASN_CONSTRUCTOR | 0x2)
#define SNMP_PDU_SET (ASN_CONTEXT | ASN_CONSTRUCTOR | 0x3)
#define SNMP_PDU_V1TRAP (ASN_CONTEXT | ASN_CONSTRUCTOR | 0x4)
#define SNMP_PDU_GETBULK (ASN_CONTEXT | ASN_CONSTRUCTOR | 0x5)
#define SNMP_PDU_INFORM (ASN_CONTEXT | ASN_CONSTRUCTOR | 0x6)
#define SNMP_PDU_TRAP (ASN_CONTEXT | ASN_CONSTRUCTOR | 0x7)

#define ASN_INTEGER (ASN_UNIVERSAL | ASN_PRIMITIVE | 0x02)
#define ASN_BITS (ASN_UNIVERSAL | ASN_PRIMITIVE | 0x03)
#define ASN_OCTETSTRING (ASN_UNIVERSAL | ASN_PRIMITIVE | 0x04)
#define ASN_NULL (ASN_UNIVERSAL | ASN_PRIMITIVE | 0x05)
#define ASN_OBJECTIDENTIFIER (ASN_UNIVERSAL | ASN_PRIMITIVE | 0x06)
#define ASN_INTEGER32 ASN_INTEGER
#define ASN_SEQUENCE (ASN_UNIVERSAL | ASN_CONSTRUCTOR | 0x10)
#define ASN_SEQUENCEOF ASN_SEQUENCE
#define ASN_IPADDRESS (ASN_APPLICATION | ASN_PRIMITIVE | 0x00)
#define ASN_COUNTER32 (ASN_APPLICATION | ASN_PRIMITIVE | 0x01)
#define ASN_GAUGE32 (ASN_APPLICATION | ASN_PRIMITIVE | 0x02)
#define ASN_TIMETICKS (ASN_APPLICATION | ASN_PRIMITIVE | 0x03)
#define ASN_OPAQUE (ASN_APPLICATION | ASN_PRIMITIVE | 0x04)
#define ASN_COUNTER64 (ASN_APPLICATION | ASN_PRIMITIVE | 0x06)
#define ASN_UINTEGER32 (ASN_APPLICATION | ASN_PRIMITIVE | 0x07)
#define ASN_UNSIGNED32 ASN_UINTEGER32
#define ASN_RFC2578_UNSIGNED32 ASN_GAUGE32

#define SNMP_EXCEPTION_NOSUCHOBJECT (ASN_CONTEXT | ASN_PRIMITIVE | 0x00)
#define SNMP_EXCEPTION_NOSUCHINSTANCE (ASN_CONTEXT | ASN_PRIMITIVE | 0x01)
#define SNMP_EXCEPTION_ENDOFMIBVIEW (ASN_CONTEXT | ASN_PRIMITIVE | 0x02)

#define SNMP_EXTENSION_GET SNMP_PDU_GET
#define SNMP_EXTENSION_GET_NEXT SNMP_PDU_GETNEXT
#define SNMP_EXTENSION_GET_BULK SNMP_PDU_GETBULK
#define SNMP_EXTENSION_SET_TEST (ASN_PRIVATE | ASN_CONSTRUCTOR | 0x0)
#define SNMP_EXTENSION_SET_COMMIT SNMP_PDU_SET
#define SNMP_EXTENSION_SET_UNDO (ASN_PRIVATE | ASN_CONSTRUCTOR | 0x1)
#define SNMP_EXTENSION_SET_CLEANUP (ASN_PRIVATE | ASN_CONSTRUCTOR | 0x2)

#define SNMP_ERRORSTATUS_NOERROR 0
#define SNMP_ERRORSTATUS_TOOBIG 1
#define SNMP_ERRORSTATUS_NOSUCHNAME 2
#define SNMP_ERRORSTATUS_BADVALUE 3
#define SNMP_ERRORSTATUS_READONLY 4
#define SNMP_ERRORSTATUS_GENERR 5
#define SNMP_ERRORSTATUS_NOACCESS 6
#define SNMP_ERRORSTATUS_WRONGTYPE 7
#define SNMP_ERRORSTATUS_WRONGLENGTH 8
#define SNMP_ERRORSTATUS_WRONGENCODING 9
#define SNMP_ERRORSTATUS_WRONGVALUE 10
#define SNMP_ERRORSTATUS_NOCREATION 11
#define SNMP_ERRORSTATUS_INCONSISTENTVALUE 12
#define SNMP_ERRORSTATUS_RESOURCEUNAVAILABLE 13
#define SNMP_ERRORSTATUS_COMMITFAILED 14
#define SNMP_ERRORSTATUS_UNDOFAILED 15
#define SNMP_ERRORSTATUS_AUTHORIZATIONERROR 16
#define SNMP_ERRORSTATUS_NOTWRITABLE 17
#define SNMP_ERRORSTATUS_INCONSISTENTNAME 18

#define SNMP_GENERICTRAP_COLDSTART 0
#define SNMP_GENERICTRAP_WARMSTART 1
#define SNMP_GENERICTRAP_LINKDOWN 2
#define SNMP_GENERICTRAP_LINKUP 3
#define SNMP_GENERICTRAP_AUTHFAILURE 4
#define SNMP_GENERICTRAP_EGPNEIGHLOSS 5
#define SNMP_GENERICTRAP_ENTERSPECIFIC 6

#define SNMP_ACCESS_NONE 0
#define SNMP_ACCESS_NOTIFY 1
#define SNMP_ACCESS_READ_ONLY 2
#define SNMP_ACCESS_READ_WRITE 3
#define SNMP_ACCESS_READ_CREATE 4

#define SNMPAPI INT
#define SNMP_FUNC_TYPE WINAPI
#define SNMPAPI_NOERROR TRUE
#define SNMPAPI_ERROR FALSE

#define SNMP_MAX_OID_LEN 128

#define SNMP_MEM_ALLOC_ERROR 1
#define SNMP_BERAPI_INVALID_LENGTH 10
#define SNMP_BERAPI_INVALID_TAG 11
#define SNMP_BERAPI_OVERFLOW 12
#define SNMP_BERAPI_SHORT_BUFFER 13
#define SNMP_BERAPI_INVALID_OBJELEM 14
#define SNMP_PDUAPI_UNRECOGNIZED_PDU 20
#define SNMP_PDUAPI_INVALID_ES 21
#define SNMP_PDUAPI_INVALID_GT 22
#define SNMP_AUTHAPI_INVALID_VERSION 30
#define SNMP_AUTHAPI_INVALID_MSG_TYPE 31
#define SNMP_AUTHAPI_TRIV_AUTH_FAILED 32

#define DEFINE_SIZEOF(Array) (sizeof(Array) / sizeof((Array)[0]))
#define DEFINE_OID(SubIdArray) {DEFINE_SIZEOF(SubIdArray), (SubIdArray)}
#define DEFINE_NULLOID() {0, NULL}
#define DEFINE_NULLOCTETS() {NULL, 0, FALSE}

// Implemented by the extension agent, not by the layer; exported from the agent's module.
#define SNMP_EXTENSION_EXPORT WINAPI_EXPORT
SNMP_EXTENSION_EXPORT WINBOOL SNMP_FUNC_TYPE SnmpExtensionInit(DWORD dwUptimeReference, HANDLE* phSubagentTrapEvent,
                                                               AsnObjectIdentifier* pFirstSupportedRegion);
SNMP_EXTENSION_EXPORT WINBOOL SNMP_FUNC_TYPE SnmpExtensionInitEx(AsnObjectIdentifier* pNextSupportedRegion);
SNMP_EXTENSION_EXPORT WINBOOL SNMP_FUNC_TYPE SnmpExtensionQuery(BYTE bPduType, SnmpVarBindList* pVarBindList,
                                                                AsnInteger32* pErrorStatus, AsnInteger32* pErrorIndex);
SNMP_EXTENSION_EXPORT WINBOOL SNMP_FUNC_TYPE SnmpExtensionTrap(AsnObjectIdentifier* pEnterpriseOid,
                                                               AsnInteger32* pGenericTrapId,
                                                               AsnInteger32* pSpecificTrapId, AsnTimeticks* pTimeStamp,
                                                               SnmpVarBindList* pVarBindList);
SNMP_EXTENSION_EXPORT VOID SNMP_FUNC_TYPE SnmpExtensionClose(void);

typedef WINBOOL(SNMP_FUNC_TYPE* PFNSNMPEXTENSIONINIT)(DWORD dwUpTimeReference, HANDLE* phSubagentTrapEvent,
                                                      AsnObjectIdentifier* pFirstSupportedRegion);
typedef WINBOOL(SNMP_FUNC_TYPE* PFNSNMPEXTENSIONINITEX)(AsnObjectIdentifier* pNextSupportedRegion);
typedef WINBOOL(SNMP_FUNC_TYPE* PFNSNMPEXTENSIONQUERY)(BYTE bPduType, SnmpVarBindList* pVarBindList,
                                                       AsnInteger32* pErrorStatus, AsnInteger32* pErrorIndex);
typedef WINBOOL(SNMP_FUNC_TYPE* PFNSNMPEXTENSIONTRAP)(AsnObjectIdentifier* pEnterpriseOid,
                                                      AsnInteger32* pGenericTrapId, AsnInteger32* pSpecificTrapId,
                                                      AsnTimeticks* pTimeStamp, SnmpVarBindList* pVarBindList);
typedef VOID(SNMP_FUNC_TYPE* PFNSNMPEXTENSIONCLOSE)(void);

// snmpapi: every block handed between agent and host comes from this allocator.
WINAPI_EXPORT LPVOID SNMP_FUNC_TYPE SnmpUtilMemAlloc(UINT nBytes);
WINAPI_EXPORT LPVOID SNMP_FUNC_TYPE SnmpUtilMemReAlloc(LPVOID pMem, UINT nBytes);
WINAPI_EXPORT VOID SNMP_FUNC_TYPE SnmpUtilMemFree(LPVOID pMem);

WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilOidCpy(AsnObjectIdentifier* pOidDst, AsnObjectIdentifier* pOidSrc);
WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilOidAppend(AsnObjectIdentifier* pOidDst, AsnObjectIdentifier* pOidSrc);
WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilOidNCmp(AsnObjectIdentifier* pOid1, AsnObjectIdentifier* pOid2,
                                                     UINT nSubIds);
WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilOidCmp(AsnObjectIdentifier* pOid1, AsnObjectIdentifier* pOid2);
WINAPI_EXPORT VOID SNMP_FUNC_TYPE SnmpUtilOidFree(AsnObjectIdentifier* pOid);

WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilOctetsCmp(AsnOctetString* pOctets1, AsnOctetString* pOctets2);
WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilOctetsNCmp(AsnOctetString* pOctets1, AsnOctetString* pOctets2,
                                                        UINT nChars);
WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilOctetsCpy(AsnOctetString* pOctetsDst, AsnOctetString* pOctetsSrc);
WINAPI_EXPORT VOID SNMP_FUNC_TYPE SnmpUtilOctetsFree(AsnOctetString* pOctets);

WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilAsnAnyCpy(AsnAny* pAnyDst, AsnAny* pAnySrc);
WINAPI_EXPORT VOID SNMP_FUNC_TYPE SnmpUtilAsnAnyFree(AsnAny* pAny);

WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilVarBindCpy(SnmpVarBind* pVbDst, SnmpVarBind* pVbSrc);
WINAPI_EXPORT VOID SNMP_FUNC_TYPE SnmpUtilVarBindFree(SnmpVarBind* pVb);
WINAPI_EXPORT SNMPAPI SNMP_FUNC_TYPE SnmpUtilVarBindListCpy(SnmpVarBindList* pVblDst, SnmpVarBindList* pVblSrc);
WINAPI_EXPORT VOID SNMP_FUNC_TYPE SnmpUtilVarBindListFree(SnmpVarBindList* pVbl);

WINAPI_EXPORT LPSTR SNMP_FUNC_TYPE SnmpUtilOidToA(AsnObjectIdentifier* Oid);
WINAPI_EXPORT LPSTR SNMP_FUNC_TYPE SnmpUtilIdsToA(UINT* Ids, UINT IdLength);

WINAPI_END_DECLS

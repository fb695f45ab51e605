// snmpapi: the allocator and the copy, compare and free functions for OIDs, values and
// varbind lists. Agent and host free each other's blocks, so every block of these
// structures comes from SnmpUtilMemAlloc; copies overwrite their target without freeing it.
#include <snmp.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "errors.h"

namespace winapi {
namespace {

// Blocks carry their size so that a grown block is zeroed beyond the old end, as the
// Windows allocator (zero-initialised global memory) does.
struct alignas(16) SnmpBlock {
  uint64_t size;
  uint64_t magic;
};
constexpr uint64_t kSnmpBlockMagic = 0x6b6c427069706d53ull;

void* BlockData(SnmpBlock* block) { return block + 1; }
SnmpBlock* BlockOf(void* data) { return static_cast<SnmpBlock*>(data) - 1; }

void* AllocateZeroed(UINT bytes) {
  auto* block = static_cast<SnmpBlock*>(std::calloc(1, sizeof(SnmpBlock) + bytes));
  if (!block) {
    FailWith(SNMP_MEM_ALLOC_ERROR);
    return nullptr;
  }
  block->size = bytes;
  block->magic = kSnmpBlockMagic;
  return BlockData(block);
}

void* Reallocate(void* data, UINT bytes) {
  SnmpBlock* old = BlockOf(data);
  if (old->magic != kSnmpBlockMagic) {
    FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const uint64_t oldSize = old->size;
  auto* block = static_cast<SnmpBlock*>(std::realloc(old, sizeof(SnmpBlock) + bytes));
  if (!block) {
    FailWith(SNMP_MEM_ALLOC_ERROR);
    return nullptr;
  }
  if (bytes > oldSize) std::memset(reinterpret_cast<BYTE*>(BlockData(block)) + oldSize, 0, bytes - oldSize);
  block->size = bytes;
  return BlockData(block);
}

// Byte count of n elements as the allocator takes it; false when it does not fit.
template <class T>
bool ArrayBytes(UINT count, UINT& bytes) {
  const uint64_t total = static_cast<uint64_t>(count) * sizeof(T);
  if (total > std::numeric_limits<UINT>::max()) return false;
  bytes = static_cast<UINT>(total);
  return true;
}

void MakeEmpty(AsnObjectIdentifier& oid) {
  oid.idLength = 0;
  oid.ids = nullptr;
}

void MakeEmpty(AsnOctetString& octets) {
  octets.stream = nullptr;
  octets.length = 0;
  octets.dynamic = FALSE;
}

void MakeNull(AsnAny& any) {
  std::memset(&any, 0, sizeof(any));
  any.asnType = ASN_NULL;
}

UINT Length(const AsnObjectIdentifier& oid) { return oid.ids ? oid.idLength : 0; }

bool IsOctetType(BYTE type) {
  switch (type) {
    case ASN_OCTETSTRING:
    case ASN_BITS:
    case ASN_SEQUENCE:
    case ASN_IPADDRESS:
    case ASN_OPAQUE: return true;
    default: return false;
  }
}

// Types whose value lives entirely in the union: copied as they stand.
bool IsPlainType(BYTE type) {
  switch (type) {
    case ASN_NULL:
    case ASN_INTEGER:
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
    case ASN_UINTEGER32:
    case ASN_COUNTER64:
    case SNMP_EXCEPTION_NOSUCHOBJECT:
    case SNMP_EXCEPTION_NOSUCHINSTANCE:
    case SNMP_EXCEPTION_ENDOFMIBVIEW: return true;
    default: return false;
  }
}

template <class Element>
int CompareSequences(const Element* a, UINT lengthA, const Element* b, UINT lengthB, UINT count) {
  UINT common = count < lengthA ? count : lengthA;
  if (lengthB < common) common = lengthB;
  for (UINT i = 0; i < common; ++i) {
    if (a[i] < b[i]) return -1;
    if (a[i] > b[i]) return 1;
  }
  if (common == count) return 0;
  if (lengthA < lengthB) return -1;
  if (lengthA > lengthB) return 1;
  return 0;
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// SnmpUtilMemAlloc
LPVOID SNMP_FUNC_TYPE SnmpUtilMemAlloc(UINT nBytes) { return AllocateZeroed(nBytes); }

// SnmpUtilMemReAlloc
LPVOID SNMP_FUNC_TYPE SnmpUtilMemReAlloc(LPVOID pMem, UINT nBytes) {
  if (!pMem) return AllocateZeroed(nBytes);
  return Reallocate(pMem, nBytes);
}

// SnmpUtilMemFree
VOID SNMP_FUNC_TYPE SnmpUtilMemFree(LPVOID pMem) {
  if (!pMem || reinterpret_cast<uintptr_t>(pMem) % alignof(SnmpBlock) != 0) return;
  SnmpBlock* block = BlockOf(pMem);
  if (block->magic != kSnmpBlockMagic) return;  // not ours, or freed twice: leave the heap intact
  block->magic = 0;
  std::free(block);
}

// SnmpUtilOidCpy
SNMPAPI SNMP_FUNC_TYPE SnmpUtilOidCpy(AsnObjectIdentifier* pOidDst, AsnObjectIdentifier* pOidSrc) {
  if (!pOidDst) return FailWith(ERROR_INVALID_PARAMETER);
  MakeEmpty(*pOidDst);
  if (!pOidSrc || pOidSrc->idLength == 0) return SNMPAPI_NOERROR;
  UINT bytes = 0;
  if (!pOidSrc->ids || !ArrayBytes<UINT>(pOidSrc->idLength, bytes)) return FailWith(ERROR_INVALID_PARAMETER);
  auto* ids = static_cast<UINT*>(AllocateZeroed(bytes));
  if (!ids) return SNMPAPI_ERROR;
  std::memcpy(ids, pOidSrc->ids, bytes);
  pOidDst->ids = ids;
  pOidDst->idLength = pOidSrc->idLength;
  return SNMPAPI_NOERROR;
}

// SnmpUtilOidAppend
SNMPAPI SNMP_FUNC_TYPE SnmpUtilOidAppend(AsnObjectIdentifier* pOidDst, AsnObjectIdentifier* pOidSrc) {
  if (!pOidDst) return FailWith(ERROR_INVALID_PARAMETER);
  const UINT added = pOidSrc ? Length(*pOidSrc) : 0;
  if (added == 0) return SNMPAPI_NOERROR;
  const UINT present = Length(*pOidDst);
  if (static_cast<uint64_t>(present) + added > SNMP_MAX_OID_LEN) return FailWith(SNMP_BERAPI_OVERFLOW);
  const UINT total = present + added;
  auto* ids = static_cast<UINT*>(pOidDst->ids ? Reallocate(pOidDst->ids, total * sizeof(UINT))
                                              : AllocateZeroed(total * sizeof(UINT)));
  if (!ids) return SNMPAPI_ERROR;
  std::memmove(ids + present, pOidSrc == pOidDst ? ids : pOidSrc->ids, added * sizeof(UINT));
  pOidDst->ids = ids;
  pOidDst->idLength = total;
  return SNMPAPI_NOERROR;
}

// SnmpUtilOidNCmp
SNMPAPI SNMP_FUNC_TYPE SnmpUtilOidNCmp(AsnObjectIdentifier* pOid1, AsnObjectIdentifier* pOid2, UINT nSubIds) {
  if (!pOid1 || !pOid2) return 0;
  return CompareSequences(pOid1->ids, Length(*pOid1), pOid2->ids, Length(*pOid2), nSubIds);
}

// SnmpUtilOidCmp
SNMPAPI SNMP_FUNC_TYPE SnmpUtilOidCmp(AsnObjectIdentifier* pOid1, AsnObjectIdentifier* pOid2) {
  if (!pOid1 || !pOid2) return 0;
  const UINT longer = Length(*pOid1) > Length(*pOid2) ? Length(*pOid1) : Length(*pOid2);
  return SnmpUtilOidNCmp(pOid1, pOid2, longer);
}

// SnmpUtilOidFree
VOID SNMP_FUNC_TYPE SnmpUtilOidFree(AsnObjectIdentifier* pOid) {
  if (!pOid) return;
  SnmpUtilMemFree(pOid->ids);
  MakeEmpty(*pOid);
}

// SnmpUtilOctetsNCmp
SNMPAPI SNMP_FUNC_TYPE SnmpUtilOctetsNCmp(AsnOctetString* pOctets1, AsnOctetString* pOctets2, UINT nChars) {
  if (!pOctets1 || !pOctets2) return 0;
  const UINT length1 = pOctets1->stream ? pOctets1->length : 0;
  const UINT length2 = pOctets2->stream ? pOctets2->length : 0;
  return CompareSequences(pOctets1->stream, length1, pOctets2->stream, length2, nChars);
}

// SnmpUtilOctetsCmp
SNMPAPI SNMP_FUNC_TYPE SnmpUtilOctetsCmp(AsnOctetString* pOctets1, AsnOctetString* pOctets2) {
  if (!pOctets1 || !pOctets2) return 0;
  const UINT longer = pOctets1->length > pOctets2->length ? pOctets1->length : pOctets2->length;
  return SnmpUtilOctetsNCmp(pOctets1, pOctets2, longer);
}

// SnmpUtilOctetsCpy
SNMPAPI SNMP_FUNC_TYPE SnmpUtilOctetsCpy(AsnOctetString* pOctetsDst, AsnOctetString* pOctetsSrc) {
  if (!pOctetsDst) return FailWith(ERROR_INVALID_PARAMETER);
  MakeEmpty(*pOctetsDst);
  if (!pOctetsSrc || pOctetsSrc->length == 0) return SNMPAPI_NOERROR;
  if (!pOctetsSrc->stream) return FailWith(ERROR_INVALID_PARAMETER);
  auto* stream = static_cast<BYTE*>(AllocateZeroed(pOctetsSrc->length));
  if (!stream) return SNMPAPI_ERROR;
  std::memcpy(stream, pOctetsSrc->stream, pOctetsSrc->length);
  pOctetsDst->stream = stream;
  pOctetsDst->length = pOctetsSrc->length;
  pOctetsDst->dynamic = TRUE;
  return SNMPAPI_NOERROR;
}

// SnmpUtilOctetsFree
VOID SNMP_FUNC_TYPE SnmpUtilOctetsFree(AsnOctetString* pOctets) {
  if (!pOctets) return;
  if (pOctets->dynamic) SnmpUtilMemFree(pOctets->stream);
  MakeEmpty(*pOctets);
}

// SnmpUtilAsnAnyCpy
SNMPAPI SNMP_FUNC_TYPE SnmpUtilAsnAnyCpy(AsnAny* pAnyDst, AsnAny* pAnySrc) {
  if (!pAnyDst || !pAnySrc) return FailWith(ERROR_INVALID_PARAMETER);
  const BYTE type = pAnySrc->asnType;
  if (IsPlainType(type)) {
    std::memcpy(pAnyDst, pAnySrc, sizeof(AsnAny));
    return SNMPAPI_NOERROR;
  }
  MakeNull(*pAnyDst);
  SNMPAPI copied = SNMPAPI_ERROR;
  if (IsOctetType(type)) copied = SnmpUtilOctetsCpy(&pAnyDst->asnValue.string, &pAnySrc->asnValue.string);
  else if (type == ASN_OBJECTIDENTIFIER) copied = SnmpUtilOidCpy(&pAnyDst->asnValue.object, &pAnySrc->asnValue.object);
  else return FailWith(ERROR_INVALID_PARAMETER);  // unknown type: whether it owns memory cannot be told
  if (copied) pAnyDst->asnType = type;
  return copied;
}

// SnmpUtilAsnAnyFree
VOID SNMP_FUNC_TYPE SnmpUtilAsnAnyFree(AsnAny* pAny) {
  if (!pAny) return;
  if (IsOctetType(pAny->asnType)) SnmpUtilOctetsFree(&pAny->asnValue.string);
  else if (pAny->asnType == ASN_OBJECTIDENTIFIER) SnmpUtilOidFree(&pAny->asnValue.object);
  MakeNull(*pAny);
}

// SnmpUtilVarBindCpy
SNMPAPI SNMP_FUNC_TYPE SnmpUtilVarBindCpy(SnmpVarBind* pVbDst, SnmpVarBind* pVbSrc) {
  if (!pVbDst) return FailWith(ERROR_INVALID_PARAMETER);
  MakeEmpty(pVbDst->name);
  MakeNull(pVbDst->value);
  if (!pVbSrc) return SNMPAPI_NOERROR;
  if (!SnmpUtilOidCpy(&pVbDst->name, &pVbSrc->name)) return SNMPAPI_ERROR;
  if (SnmpUtilAsnAnyCpy(&pVbDst->value, &pVbSrc->value)) return SNMPAPI_NOERROR;
  SnmpUtilOidFree(&pVbDst->name);
  MakeNull(pVbDst->value);
  return SNMPAPI_ERROR;
}

// SnmpUtilVarBindFree
VOID SNMP_FUNC_TYPE SnmpUtilVarBindFree(SnmpVarBind* pVb) {
  if (!pVb) return;
  SnmpUtilOidFree(&pVb->name);
  SnmpUtilAsnAnyFree(&pVb->value);
}

// SnmpUtilVarBindListCpy
SNMPAPI SNMP_FUNC_TYPE SnmpUtilVarBindListCpy(SnmpVarBindList* pVblDst, SnmpVarBindList* pVblSrc) {
  if (!pVblDst) return FailWith(ERROR_INVALID_PARAMETER);
  pVblDst->list = nullptr;
  pVblDst->len = 0;
  if (!pVblSrc || pVblSrc->len == 0) return SNMPAPI_NOERROR;
  UINT bytes = 0;
  if (!pVblSrc->list || !ArrayBytes<SnmpVarBind>(pVblSrc->len, bytes)) return FailWith(ERROR_INVALID_PARAMETER);
  auto* list = static_cast<SnmpVarBind*>(AllocateZeroed(bytes));
  if (!list) return SNMPAPI_ERROR;
  for (UINT i = 0; i < pVblSrc->len; ++i) {
    if (SnmpUtilVarBindCpy(&list[i], &pVblSrc->list[i])) continue;
    const DWORD error = GetLastError();
    while (i-- > 0) SnmpUtilVarBindFree(&list[i]);
    SnmpUtilMemFree(list);
    return FailWith(error);
  }
  pVblDst->list = list;
  pVblDst->len = pVblSrc->len;
  return SNMPAPI_NOERROR;
}

// SnmpUtilVarBindListFree
VOID SNMP_FUNC_TYPE SnmpUtilVarBindListFree(SnmpVarBindList* pVbl) {
  if (!pVbl) return;
  if (pVbl->list) {
    for (UINT i = 0; i < pVbl->len; ++i) SnmpUtilVarBindFree(&pVbl->list[i]);
  }
  SnmpUtilMemFree(pVbl->list);
  pVbl->list = nullptr;
  pVbl->len = 0;
}

// SnmpUtilIdsToA: one buffer per thread (Windows hands out a static buffer, which threads
// would share), with room for the longest valid OID; a longer one is cut at a whole
// sub-identifier. Nothing is allocated, so the call cannot fail.
LPSTR SNMP_FUNC_TYPE SnmpUtilIdsToA(UINT* Ids, UINT IdLength) {
  constexpr size_t kCapacity = SNMP_MAX_OID_LEN * sizeof("4294967295.");
  thread_local char text[kCapacity];
  if (!Ids || IdLength == 0) {
    std::snprintf(text, sizeof text, "%s", "<null oid>");
    return text;
  }
  size_t used = 0;
  text[0] = '\0';
  for (UINT i = 0; i < IdLength; ++i) {
    char part[sizeof(".4294967295")];
    const int length = std::snprintf(part, sizeof part, i ? ".%u" : "%u", Ids[i]);
    if (length < 0 || used + static_cast<size_t>(length) >= kCapacity) break;
    std::memcpy(text + used, part, static_cast<size_t>(length) + 1);
    used += static_cast<size_t>(length);
  }
  return text;
}

// SnmpUtilOidToA
LPSTR SNMP_FUNC_TYPE SnmpUtilOidToA(AsnObjectIdentifier* Oid) {
  return Oid ? SnmpUtilIdsToA(Oid->ids, Oid->idLength) : SnmpUtilIdsToA(nullptr, 0);
}

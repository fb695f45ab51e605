#include "snmp_value.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "utf8_text.h"

namespace {

struct AsnTypeRow {
  BYTE type;
  const wchar_t* name;
};
constexpr AsnTypeRow kAsnTypes[] = {
    {ASN_INTEGER, L"Integer"},         {ASN_BITS, L"Bits"},           {ASN_OCTETSTRING, L"OctetString"},
    {ASN_NULL, L"Null"},               {ASN_OBJECTIDENTIFIER, L"ObjectIdentifier"},
    {ASN_IPADDRESS, L"IpAddress"},     {ASN_COUNTER32, L"Counter32"}, {ASN_GAUGE32, L"Gauge32"},
    {ASN_TIMETICKS, L"Timeticks"},     {ASN_OPAQUE, L"Opaque"},       {ASN_COUNTER64, L"Counter64"},
    {ASN_UINTEGER32, L"UInteger32"},
};

constexpr const wchar_t* kErrorStatusNames[] = {
    L"no error",          L"too big",         L"no such name",       L"bad value",
    L"value is read-only", L"generic error",  L"no access",          L"wrong type",
    L"wrong length",      L"wrong encoding",  L"wrong value",        L"no creation",
    L"inconsistent value", L"resource unavailable", L"commit failed", L"undo failed",
    L"authorization error", L"not writeable", L"inconsistent name",
};

bool IsNumberType(BYTE type) {
  return type == ASN_INTEGER || type == ASN_COUNTER32 || type == ASN_GAUGE32 || type == ASN_TIMETICKS ||
         type == ASN_UINTEGER32;
}

bool IsOctetType(BYTE type) { return type == ASN_OCTETSTRING || type == ASN_IPADDRESS || type == ASN_OPAQUE; }

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// A run of decimal digits as a full 32-bit sub-identifier; false beyond 4294967295.
bool ParseSubId(const wchar_t*& cursor, UINT& value) {
  uint64_t number = 0;
  if (!IsDigit(*cursor)) return false;
  for (; IsDigit(*cursor); ++cursor) {
    number = number * 10 + static_cast<uint64_t>(*cursor - L'0');
    if (number > std::numeric_limits<UINT>::max()) return false;
  }
  value = static_cast<UINT>(number);
  return true;
}

// A whole text as a number of the given type: Integer signed, the others unsigned.
bool ParseNumberText(const wchar_t* text, BYTE type, DWORD& number) {
  const wchar_t* cursor = text;
  while (*cursor == L' ') ++cursor;
  const bool negative = *cursor == L'-';
  if (negative || *cursor == L'+') ++cursor;
  UINT magnitude = 0;
  if (!ParseSubId(cursor, magnitude) || *cursor != L'\0') return false;
  if (type == ASN_INTEGER) {
    const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return false;
    number = static_cast<DWORD>(static_cast<int32_t>(value));
    return true;
  }
  if (negative && magnitude != 0) return false;
  number = magnitude;
  return true;
}

size_t CountComponents(const wchar_t* text) {
  size_t count = 1;
  bool quoted = false;
  for (const wchar_t* c = text; *c; ++c) {
    if (*c == L'"') {
      quoted = !quoted;
      continue;
    }
    if (quoted) ++count;
    else if (*c == L'.') ++count;
  }
  return count;
}

// Fills ids from the text; false on any character out of place.
bool ParseComponents(const wchar_t* cursor, std::vector<UINT>& ids, size_t count) {
  while (ids.size() < count) {
    if (*cursor == L'"') {
      const wchar_t* start = ++cursor;
      while (*cursor && *cursor != L'"') ++cursor;
      ids.push_back(static_cast<UINT>(cursor - start));
      for (const wchar_t* c = start; c < cursor; ++c) ids.push_back(static_cast<UINT>(*c));
      if (*cursor == L'"') ++cursor;
    } else {
      UINT value = 0;
      if (!ParseSubId(cursor, value)) return false;
      ids.push_back(value);
    }
    if (*cursor == L'\0') return ids.size() == count;
    if (*cursor != L'.') return false;
    ++cursor;
    if (*cursor == L'\0') return false;  // trailing dot
  }
  return *cursor == L'\0';
}

void Append(std::wstring& text, const wchar_t* s) { text += s; }

std::wstring Hex(DWORD value, int width = 0) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value);
  while (static_cast<int>(digits.size()) < width) digits.insert(digits.begin(), L'0');
  return digits;
}

std::wstring Utf8ToWide(const BYTE* bytes, UINT length) {
  return WideFromUtf8(std::string_view(reinterpret_cast<const char*>(bytes), length));
}

void OctetsToText(std::wstring& text, const AsnAny& value) {
  const AsnOctetString& octets = value.asnValue.string;
  if (!octets.stream) {
    text = std::wstring(AsnTypeName(value.asnType)) + L": NULL";
    return;
  }
  bool printable = true;
  for (UINT i = 0; i + 1 < octets.length && printable; ++i) printable = octets.stream[i] >= 32 && octets.stream[i] <= 127;
  if (printable) {
    UINT end = 0;
    while (end < octets.length && octets.stream[end] != 0) ++end;
    text = std::wstring(AsnTypeName(value.asnType)) + L": \"" + Utf8ToWide(octets.stream, end) + L"\"";
    return;
  }
  text = L"OCTET STRING: ";
  for (UINT i = 0; i < octets.length; ++i) text += Hex(octets.stream[i], 2) + L" ";
}

}  // namespace

const wchar_t* OctetsToWide(std::wstring& text, const AsnOctetString& octets) {
  const BYTE* bytes = octets.stream;
  const UINT length = octets.length;
  UINT end = 0;
  if (bytes) {
    while (end < length && bytes[end] != 0) ++end;
  }
  text = bytes ? Utf8ToWide(bytes, end) : std::wstring();
  return text.c_str();
}

const wchar_t* OidToText(std::wstring& text, const AsnObjectIdentifier* oid) {
  if (!oid) return text.c_str();
  text.clear();
  if (!oid->ids) return text.c_str();
  text.reserve(static_cast<size_t>(oid->idLength) * 3);
  for (UINT i = 0; i < oid->idLength; ++i) {
    if (i) text += L'.';
    text += std::to_wstring(oid->ids[i]);
  }
  return text.c_str();
}

bool TextToOid(const wchar_t* text, AsnObjectIdentifier* oid) {
  if (!text || !*text || !oid) return false;
  SnmpUtilOidFree(oid);
  const wchar_t* cursor = text;
  while (*cursor == L' ') ++cursor;
  if (*cursor == L'.') ++cursor;
  const size_t count = CountComponents(cursor);
  std::vector<UINT> ids;
  if (count < 2 || count > std::numeric_limits<UINT>::max() / sizeof(UINT)) return false;
  ids.reserve(count);
  if (!ParseComponents(cursor, ids, count)) return false;
  auto* memory = static_cast<UINT*>(SnmpUtilMemAlloc(static_cast<UINT>(ids.size() * sizeof(UINT))));
  if (!memory) return false;
  std::memcpy(memory, ids.data(), ids.size() * sizeof(UINT));
  oid->ids = memory;
  oid->idLength = static_cast<UINT>(ids.size());
  return true;
}

void ReleaseValue(AsnAny* value) {
  if (!value) return;
  if (IsOctetType(value->asnType) && value->asnValue.string.dynamic) SnmpUtilMemFree(value->asnValue.string.stream);
  else if (value->asnType == ASN_OBJECTIDENTIFIER) SnmpUtilOidFree(&value->asnValue.object);
  std::memset(&value->asnValue, 0, sizeof(value->asnValue));
  value->asnType = ASN_NULL;
}

bool SetValueNumber(SnmpVarBind* varbind, DWORD number, BYTE asnType) {
  if (!varbind) return false;
  if (asnType == ASN_IPADDRESS) {
    BYTE address[4];
    std::memcpy(address, &number, sizeof(address));
    return SetValueBytes(varbind, address, sizeof(address), asnType);
  }
  ReleaseValue(&varbind->value);
  if (!IsNumberType(asnType)) return false;
  varbind->value.asnValue.unsigned32 = number;
  varbind->value.asnType = asnType;
  return true;
}

bool SetValueBytes(SnmpVarBind* varbind, const BYTE* bytes, UINT length, BYTE asnType) {
  if (!varbind) return false;
  ReleaseValue(&varbind->value);
  AsnOctetString& octets = varbind->value.asnValue.string;
  if (bytes && length) {
    auto* stream = static_cast<BYTE*>(SnmpUtilMemAlloc(length));
    if (!stream) return false;
    std::memcpy(stream, bytes, length);
    octets = {stream, length, TRUE};
  }
  varbind->value.asnType = asnType;
  return true;
}

bool SetValueOid(SnmpVarBind* varbind, const AsnObjectIdentifier* oid) {
  if (!varbind) return false;
  ReleaseValue(&varbind->value);
  if (!SnmpUtilOidCpy(&varbind->value.asnValue.object, const_cast<AsnObjectIdentifier*>(oid))) return false;
  varbind->value.asnType = ASN_OBJECTIDENTIFIER;
  return true;
}

bool SetValueText(SnmpVarBind* varbind, const wchar_t* text, BYTE asnType) {
  if (!varbind) return false;
  if (!text) text = L"";
  if (IsNumberType(asnType)) {
    DWORD number = 0;
    return ParseNumberText(text, asnType, number) && SetValueNumber(varbind, number, asnType);
  }
  if (asnType == ASN_OCTETSTRING) {
    const std::string utf8 = Utf8FromWide(text);
    if (utf8.empty()) return SetValueBytes(varbind, nullptr, 0, asnType);
    return SetValueBytes(varbind, reinterpret_cast<const BYTE*>(utf8.data()), static_cast<UINT>(utf8.size()), asnType);
  }
  AsnObjectIdentifier oid{};
  if (asnType == ASN_OBJECTIDENTIFIER) {
    TextToOid(text, &oid);  // a text that does not parse stores an empty OID
    const bool stored = SetValueOid(varbind, &oid);
    SnmpUtilOidFree(&oid);
    return stored;
  }
  if (asnType != ASN_IPADDRESS) return false;
  if (!TextToOid(text, &oid) || oid.idLength < 4) {
    SnmpUtilOidFree(&oid);
    return false;
  }
  const BYTE address[4] = {static_cast<BYTE>(oid.ids[0]), static_cast<BYTE>(oid.ids[1]), static_cast<BYTE>(oid.ids[2]),
                           static_cast<BYTE>(oid.ids[3])};
  SnmpUtilOidFree(&oid);
  return SetValueBytes(varbind, address, sizeof(address), asnType);
}

bool ResizeVarBindList(SnmpVarBindList* list, UINT count) {
  if (!list) return false;
  if (list->len >= count) return true;
  const uint64_t bytes = static_cast<uint64_t>(count) * sizeof(SnmpVarBind);
  void* grown = nullptr;
  if (bytes <= std::numeric_limits<UINT>::max()) {
    // Wine's SnmpUtilMemReAlloc refuses a null block, so the first block is allocated.
    grown = list->list ? SnmpUtilMemReAlloc(list->list, static_cast<UINT>(bytes))
                       : SnmpUtilMemAlloc(static_cast<UINT>(bytes));
  }
  if (!grown) {
    list->len = 0;
    return false;
  }
  list->list = static_cast<SnmpVarBind*>(grown);
  for (UINT i = list->len; i < count; ++i) list->list[i] = EmptyVarBind();
  list->len = count;
  return true;
}

void FreeVarBindIfAny(SnmpVarBind* varbind) {
  if (varbind) SnmpUtilVarBindFree(varbind);
}

void FreeVarBindList(SnmpVarBindList* list) {
  if (!list) return;
  if (list->list && list->len) SnmpUtilVarBindListFree(list);
  list->list = nullptr;
  list->len = 0;
}

const wchar_t* AsnTypeName(BYTE asnType) {
  for (const AsnTypeRow& row : kAsnTypes) {
    if (row.type == asnType) return row.name;
  }
  return L"??????";
}

const wchar_t* ValueToText(std::wstring& text, const AsnAny* value) {
  text.clear();
  if (!value) return text.c_str();
  const wchar_t* name = AsnTypeName(value->asnType);
  const DWORD number = value->asnValue.unsigned32;
  switch (value->asnType) {
    case ASN_INTEGER:
      text = std::wstring(name) + L": " + std::to_wstring(value->asnValue.number) + L" (0x" + Hex(number) + L")";
      break;
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
      text = std::wstring(name) + L": " + std::to_wstring(number) + L" (0x" + Hex(number) + L")";
      break;
    case ASN_IPADDRESS: {
      const AsnOctetString& address = value->asnValue.address;
      if (address.length != 4 || !address.stream) break;
      text = std::wstring(name) + L": ";
      for (int i = 0; i < 4; ++i) text += (i ? L"." : L"") + std::to_wstring(address.stream[i]);
      break;
    }
    case ASN_OCTETSTRING:
    case ASN_OPAQUE: OctetsToText(text, *value); break;
    default: Append(text, name);
  }
  return text.c_str();
}

const wchar_t* VarBindToText(std::wstring& text, const SnmpVarBind* varbind) {
  text.clear();
  if (!varbind) return text.c_str();
  std::wstring oid, value;
  text = L"Oid=" + std::wstring(OidToText(oid, &varbind->name)) + L", Value=" + ValueToText(value, &varbind->value);
  return text.c_str();
}

const wchar_t* ErrorStatusName(SNMPSTATUS status) {
  if (status < 0 || static_cast<size_t>(status) >= std::size(kErrorStatusNames)) return L"unknown";
  return kErrorStatusNames[status];
}

// OIDs, values and varbinds of the extension-agent interface: the dotted text form and
// its parser, value setters, clean-up helpers and the text forms the trace prints.
// Everything allocated here comes from the snmpapi allocator, so the SNMP service can
// free what it is handed. None of these functions throws.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <string>

using SNMPSTATUS = AsnInteger32;

// Dotted decimal without a leading dot; an empty OID gives an empty text. A null oid
// leaves text unchanged.
const wchar_t* OidToText(std::wstring& text, const AsnObjectIdentifier* oid);
// Parses "1.3.6", " .1.3.6" or "1.3.\"ab\"" (a quoted string index: its length, then
// one sub-identifier per character). On failure oid is released and left empty; a null
// or empty text or a null oid fails without touching oid.
bool TextToOid(const wchar_t* text, AsnObjectIdentifier* oid);

// Frees what the value owns and leaves it NULL.
void ReleaseValue(AsnAny* value);
bool SetValueNumber(SnmpVarBind* varbind, DWORD number, BYTE asnType);
bool SetValueBytes(SnmpVarBind* varbind, const BYTE* bytes, UINT length, BYTE asnType);
bool SetValueOid(SnmpVarBind* varbind, const AsnObjectIdentifier* oid);
bool SetValueText(SnmpVarBind* varbind, const wchar_t* text, BYTE asnType);

// Makes the list hold at least count varbinds (new ones empty and NULL); never shrinks.
bool ResizeVarBindList(SnmpVarBindList* list, UINT count);
void FreeVarBindIfAny(SnmpVarBind* varbind);
// Frees only a list with entries; always leaves it empty.
void FreeVarBindList(SnmpVarBindList* list);

// The text an octet string holds: its bytes up to the first zero read as UTF-8 (invalid
// sequences become U+FFFD); a missing stream gives an empty text.
const wchar_t* OctetsToWide(std::wstring& text, const AsnOctetString& octets);

const wchar_t* AsnTypeName(BYTE asnType);
const wchar_t* ValueToText(std::wstring& text, const AsnAny* value);
const wchar_t* VarBindToText(std::wstring& text, const SnmpVarBind* varbind);
const wchar_t* ErrorStatusName(SNMPSTATUS status);

// An empty varbind: empty name, NULL value.
inline SnmpVarBind EmptyVarBind() {
  SnmpVarBind varbind{};
  varbind.value.asnType = ASN_NULL;
  return varbind;
}

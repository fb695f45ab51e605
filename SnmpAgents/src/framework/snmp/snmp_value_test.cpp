// OID text forms and parsing, value setters and the value texts the trace prints.
#include "snmp_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Pointer members of the 4-byte-packed snmp.h structures are misaligned: compare them by value.
template <class T>
const void* Addr(T* pointer) {
  return pointer;
}

std::vector<UINT> IdsOf(const AsnObjectIdentifier& oid) {
  return oid.ids ? std::vector<UINT>(oid.ids, oid.ids + oid.idLength) : std::vector<UINT>();
}

// Owns one varbind for a test, freed with the snmpapi functions.
struct ScopedVarBind {
  SnmpVarBind vb = EmptyVarBind();
  ~ScopedVarBind() { SnmpUtilVarBindFree(&vb); }
  std::wstring Text() const {
    std::wstring text;
    return ValueToText(text, &vb.value);
  }
};

TEST(OidText, ParsesAndRejects) {
  struct Case {
    const wchar_t* text;
    bool ok;
    std::vector<UINT> ids;
  } const cases[] = {
      {L"1.3.6", true, {1, 3, 6}},
      {L".1.3.6", true, {1, 3, 6}},
      {L"  1.3.6", true, {1, 3, 6}},
      {L" .1.3.6.1.4.1.884", true, {1, 3, 6, 1, 4, 1, 884}},
      {L"1.3.\"ab\"", true, {1, 3, 2, 97, 98}},
      {L"1.3.\"ab", true, {1, 3, 2, 97, 98}},  // an open quote ends with the text
      {L"1.3.4294967295", true, {1, 3, 4294967295u}},
      {L"1.3.4294967296", false, {}},  // beyond 32 bits: refused rather than clamped
      {L"1.3.", false, {}},
      {L"1..3", false, {}},
      {L"..1.3", false, {}},
      {L"5", false, {}},
      {L"1.3.x", false, {}},
      {L"1.3.-4", false, {}},
      {L"1.3 .6", false, {}},
  };
  for (const Case& c : cases) {
    AsnObjectIdentifier oid{};
    UINT previous[] = {9, 9};
    AsnObjectIdentifier seeded{2, previous};
    SnmpUtilOidCpy(&oid, &seeded);
    EXPECT_EQ(TextToOid(c.text, &oid), c.ok) << "text " << testing::PrintToString(std::wstring(c.text));
    EXPECT_EQ(IdsOf(oid), c.ids) << "text " << testing::PrintToString(std::wstring(c.text));
    SnmpUtilOidFree(&oid);
  }
}

TEST(OidText, NullAndEmptyInputLeaveTheTargetAlone) {
  UINT ids[] = {1, 3};
  AsnObjectIdentifier oid{};
  AsnObjectIdentifier source{2, ids};
  SnmpUtilOidCpy(&oid, &source);
  EXPECT_FALSE(TextToOid(nullptr, &oid));
  EXPECT_FALSE(TextToOid(L"", &oid));
  EXPECT_FALSE(TextToOid(L"1.3", nullptr));
  EXPECT_EQ(IdsOf(oid), (std::vector<UINT>{1, 3}));
  SnmpUtilOidFree(&oid);
}

TEST(OidText, PrintsDottedUnsigned) {
  UINT ids[] = {1, 3, 6, 4294967295u};
  AsnObjectIdentifier oid{4, ids};
  std::wstring text = L"old";
  EXPECT_EQ(std::wstring(OidToText(text, &oid)), L"1.3.6.4294967295");
  AsnObjectIdentifier empty{};
  EXPECT_EQ(std::wstring(OidToText(text, &empty)), L"");
  text = L"kept";
  EXPECT_EQ(std::wstring(OidToText(text, nullptr)), L"kept");

  std::vector<UINT> many(200, 7);  // longer than SNMP_MAX_OID_LEN: still printed and parsed back
  AsnObjectIdentifier longOid{static_cast<UINT>(many.size()), many.data()};
  OidToText(text, &longOid);
  AsnObjectIdentifier parsed{};
  ASSERT_TRUE(TextToOid(text.c_str(), &parsed));
  EXPECT_EQ(IdsOf(parsed), many);
  SnmpUtilOidFree(&parsed);
}

TEST(ValueSetters, TypesAndTexts) {
  struct Case {
    const wchar_t* input;  // null: set from number
    DWORD number;
    BYTE type;
    bool ok;
    const wchar_t* text;
  } const cases[] = {
      {nullptr, 0xFFFFFFFF, ASN_INTEGER, true, L"Integer: -1 (0xFFFFFFFF)"},
      {nullptr, 4000000000u, ASN_COUNTER32, true, L"Counter32: 4000000000 (0xEE6B2800)"},
      {nullptr, 26, ASN_GAUGE32, true, L"Gauge32: 26 (0x1A)"},
      {nullptr, 100, ASN_TIMETICKS, true, L"Timeticks: 100 (0x64)"},
      {nullptr, 5, ASN_UINTEGER32, true, L"UInteger32"},
      {nullptr, 0x0302010A, ASN_IPADDRESS, true, L"IpAddress: 10.1.2.3"},
      {nullptr, 5, ASN_OCTETSTRING, false, L"Null"},
      {L"-42", 0, ASN_INTEGER, true, L"Integer: -42 (0xFFFFFFD6)"},
      {L"4294967295", 0, ASN_COUNTER32, true, L"Counter32: 4294967295 (0xFFFFFFFF)"},
      {L"12abc", 0, ASN_INTEGER, false, L"Null"},
      {L"abc", 0, ASN_OCTETSTRING, true, L"OctetString: \"abc\""},
      {L"", 0, ASN_OCTETSTRING, true, L"OctetString: NULL"},  // an empty string has no stream
      {L"10.1.2.3", 0, ASN_IPADDRESS, true, L"IpAddress: 10.1.2.3"},
      {L"1.3.6.1", 0, ASN_OBJECTIDENTIFIER, true, L"ObjectIdentifier"},
      {L"not an oid", 0, ASN_OBJECTIDENTIFIER, true, L"ObjectIdentifier"},
      {L"x", 0, ASN_COUNTER64, false, L"Null"},
  };
  for (const Case& c : cases) {
    ScopedVarBind value;
    const bool ok = c.input ? SetValueText(&value.vb, c.input, c.type) : SetValueNumber(&value.vb, c.number, c.type);
    EXPECT_EQ(ok, c.ok) << testing::PrintToString(std::wstring(c.text));
    EXPECT_EQ(value.Text(), c.text);
  }
}

TEST(ValueSetters, FailedAddressKeepsTheOldValueAndUtf8IsStored) {
  ScopedVarBind value;
  ASSERT_TRUE(SetValueText(&value.vb, L"10.1.2.3", ASN_IPADDRESS));
  EXPECT_FALSE(SetValueText(&value.vb, L"10.1.2", ASN_IPADDRESS));
  EXPECT_EQ(value.Text(), L"IpAddress: 10.1.2.3");

  ASSERT_TRUE(SetValueText(&value.vb, L"\u00e9t\u00e9", ASN_OCTETSTRING));
  EXPECT_EQ(value.vb.value.asnValue.string.length, 5u);
  EXPECT_TRUE(value.vb.value.asnValue.string.dynamic);

  ASSERT_TRUE(SetValueBytes(&value.vb, nullptr, 0, ASN_OPAQUE));
  EXPECT_EQ(Addr(value.vb.value.asnValue.string.stream), nullptr);
  EXPECT_FALSE(value.vb.value.asnValue.string.dynamic);
}

TEST(ValueText, OctetStrings) {
  struct Case {
    std::vector<BYTE> bytes;
    BYTE type;
    const wchar_t* text;
  } const cases[] = {
      {{'a', 'b', 'c'}, ASN_OCTETSTRING, L"OctetString: \"abc\""},
      {{'a', 'b', 0}, ASN_OCTETSTRING, L"OctetString: \"ab\""},
      {{0x01, 0x41}, ASN_OCTETSTRING, L"OCTET STRING: 01 41 "},
      {{'o', 'k'}, ASN_OPAQUE, L"Opaque: \"ok\""},
      {{10, 1, 2}, ASN_IPADDRESS, L""},
  };
  for (const Case& c : cases) {
    ScopedVarBind value;
    SetValueBytes(&value.vb, c.bytes.data(), static_cast<UINT>(c.bytes.size()), c.type);
    EXPECT_EQ(value.Text(), c.text);
  }
  AsnAny missing{};
  missing.asnType = ASN_OCTETSTRING;
  missing.asnValue.string.length = 4;  // a length without a stream: printed, never read
  std::wstring text;
  EXPECT_EQ(std::wstring(ValueToText(text, &missing)), L"OctetString: NULL");
  missing.asnType = 0x99;
  EXPECT_EQ(std::wstring(ValueToText(text, &missing)), L"??????");
}

TEST(ValueText, VarBindAndNames) {
  ScopedVarBind value;
  TextToOid(L"1.3.6", &value.vb.name);
  SetValueNumber(&value.vb, 7, ASN_GAUGE32);
  std::wstring text;
  EXPECT_EQ(std::wstring(VarBindToText(text, &value.vb)), L"Oid=1.3.6, Value=Gauge32: 7 (0x7)");
  EXPECT_EQ(std::wstring(ErrorStatusName(2)), L"no such name");
  EXPECT_EQ(std::wstring(ErrorStatusName(18)), L"inconsistent name");
  EXPECT_EQ(std::wstring(ErrorStatusName(19)), L"unknown");
  EXPECT_EQ(std::wstring(ErrorStatusName(-1)), L"unknown");
  EXPECT_EQ(std::wstring(AsnTypeName(ASN_COUNTER64)), L"Counter64");
}

TEST(VarBindLists, GrowNeverShrinksAndFreeEmpties) {
  SnmpVarBindList list{};
  ASSERT_TRUE(ResizeVarBindList(&list, 3));
  ASSERT_EQ(list.len, 3u);
  for (UINT i = 0; i < 3; ++i) {
    EXPECT_EQ(list.list[i].name.idLength, 0u);
    EXPECT_EQ(list.list[i].value.asnType, ASN_NULL);
  }
  SetValueText(&list.list[2], L"x", ASN_OCTETSTRING);
  ASSERT_TRUE(ResizeVarBindList(&list, 2));
  EXPECT_EQ(list.len, 3u);
  ASSERT_TRUE(ResizeVarBindList(&list, 10000));
  EXPECT_EQ(list.list[2].value.asnType, ASN_OCTETSTRING);
  EXPECT_EQ(list.list[9999].value.asnType, ASN_NULL);
  FreeVarBindList(&list);
  EXPECT_EQ(Addr(list.list), nullptr);
  EXPECT_EQ(list.len, 0u);
  SnmpVarBindList dangling{nullptr, 5};
  FreeVarBindList(&dangling);
  EXPECT_EQ(dangling.len, 0u);
  FreeVarBindIfAny(nullptr);
}

}  // namespace

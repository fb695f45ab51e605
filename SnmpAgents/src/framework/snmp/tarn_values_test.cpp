// Management-service object values against a scripted management client: the
// translation of answers into MIB values, the defaults for every kind of unusable
// answer, the SET conversions and what they send, and the command-status table.
#include "tarn_values.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kAgent[] = L"TarnValuesTest";

// Answers each request with the reply text (ST and DA of one command), or leaves the
// record as the service would leave an unanswered one (ST 6).
class ScriptedClient final : public CRelayClient {
 public:
  using CRelayClient::Request;
  LONG Request(Tarn& record, DWORD) override {
    sent.push_back(record);
    if (silent) return record.Status();  // never reached the service (not attached)
    if (reply.empty()) {
      record.Set(L"ST", kTarnStatusFailed);
      return kTarnStatusFailed;
    }
    Tarn answer;
    if (!answer.FromJson(reply)) {
      record.Set(L"ST", kTarnStatusFailed);  // what the client does with a malformed reply
      return kTarnStatusFailed;
    }
    record = answer;
    return record.Status();
  }
  std::wstring reply;  // JSON of the whole reply record
  std::vector<Tarn> sent;
  bool silent = false;
};

std::wstring Reply(const std::wstring& members) { return L"{\"SIP\":{\"CMD\":[{" + members + L"}]}}"; }

CTarnAttribute ConfigValue(LONG offset = 0, LONG defaultNumber = -1, const wchar_t* defaultText = L"none") {
  CTarnAttribute attribute;
  attribute.Set(L"OC", kTarnConfigRead);
  attribute.Set(L"OE", 0x4000);
  attribute.Set(L"OI", 1);
  attribute.Set(L"CA", 3);
  attribute.EnumOffset = offset;
  attribute.DefaultNumber = defaultNumber;
  attribute.DefaultText = defaultText;
  return attribute;
}

MibObject Object(const CTarnAttribute& attribute, BYTE asnType, const wchar_t* name = L"testValue") {
  MibObject object;
  TextToOid(L"1.3.6.1.4.1.884.2.10.2.9.1.25.1.0", &object.VarBind.name);
  object.Name = name;
  object.AsnType = asnType;
  object.TarnAttribute = attribute.Clone();
  return object;
}

class TarnValuesTest : public ::testing::Test {
 protected:
  CTarnValues Values() { return CTarnValues(client, mapping, kAgent); }
  ScriptedClient client;
  EnumMappingTable mapping;
};

TEST_F(TarnValuesTest, ReadsTranslateAnswersAndFallBackOnEveryUnusableOne) {
  struct Case {
    const char* what;
    BYTE type;
    LONG offset;
    std::wstring reply;  // members of the answered command; empty: no answer at all
    LONG number;         // expected number (INTEGER, Counter32, Gauge32)
    std::wstring text;   // expected text (OCTET STRING)
  } const cases[] = {
      {"offset 5 and answer 2", ASN_INTEGER, 5, L"\"ST\":0,\"DA\":2", 7, L""},
      {"negative answer", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":-5", -5, L""},
      {"unsigned 32-bit answer keeps its bits", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":4294967295", -1, L""},
      {"decimal text", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":\"12\"", 12, L""},
      {"status 12 with data is usable", ASN_INTEGER, 0, L"\"ST\":12,\"DA\":3", 3, L""},
      {"no answer", ASN_INTEGER, 5, L"", -1, L""},
      {"failed status", ASN_INTEGER, 5, L"\"ST\":1,\"DA\":2", -1, L""},
      {"missing data", ASN_INTEGER, 0, L"\"ST\":0", -1, L""},
      {"null data", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":null", -1, L""},
      {"text for a number", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":\"abc\"", -1, L""},
      {"fraction", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":2.5", -1, L""},
      {"above 32 bits", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":5000000000", -1, L""},
      {"below 32 bits", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":-2147483649", -1, L""},
      {"above 64 bits", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":18446744073709551615", -1, L""},
      {"object data", ASN_INTEGER, 0, L"\"ST\":0,\"DA\":{\"X\":1}", -1, L""},
      {"offset leaves 32 bits", ASN_INTEGER, INT_MAX, L"\"ST\":0,\"DA\":2", -1, L""},
      {"gauge", ASN_GAUGE32, 5, L"\"ST\":0,\"DA\":4000000000", static_cast<LONG>(4000000000u), L""},
      {"counter without answer", ASN_COUNTER32, 0, L"", -1, L""},
      {"RAW bytes of a number", ASN_COUNTER32, 0, L"\"ST\":0,\"DA\":{\"RAW\":[1,1]}", 257, L""},
      {"text", ASN_OCTETSTRING, 0, L"\"ST\":0,\"DA\":\"hello\"", 0, L"hello"},
      {"RAW text up to its zero", ASN_OCTETSTRING, 0, L"\"ST\":0,\"DA\":{\"RAW\":[104,105,0,120]}", 0, L"hi"},
      {"number as text", ASN_OCTETSTRING, 0, L"\"ST\":0,\"DA\":42", 0, L"42"},
      {"text without answer", ASN_OCTETSTRING, 0, L"", 0, L"none"},
      {"empty text", ASN_OCTETSTRING, 0, L"\"ST\":0,\"DA\":\"\"", 0, L"none"},
      {"array for a text", ASN_OCTETSTRING, 0, L"\"ST\":0,\"DA\":[\"a\"]", 0, L"none"},
  };
  for (const Case& c : cases) {
    client.reply = c.reply.empty() ? L"" : Reply(c.reply);
    MibObject object = Object(ConfigValue(c.offset), c.type);
    EXPECT_EQ(Values().Get(object), SNMP_ERRORSTATUS_NOERROR) << c.what;
    ASSERT_EQ(object.VarBind.value.asnType, c.type) << c.what;
    if (c.type == ASN_OCTETSTRING) {
      std::wstring text;
      EXPECT_EQ(OctetsToWide(text, object.VarBind.value.asnValue.string), c.text) << c.what;
    } else {
      EXPECT_EQ(object.VarBind.value.asnValue.number, c.number) << c.what;
    }
  }
}

TEST_F(TarnValuesTest, MappingListTranslatesReadsAndWritesAndRefusesUnknownValues) {
  mapping[L"testValue"] = {{1, 10}, {2, 20}, {3, 20}};
  struct Read {
    LONG service;
    LONG mib;
  } const reads[] = {{2, 20}, {1, 10}, {7, -1}};
  for (const Read& r : reads) {
    client.reply = Reply(L"\"ST\":0,\"DA\":" + std::to_wstring(r.service));
    MibObject object = Object(ConfigValue(), ASN_INTEGER);
    ASSERT_EQ(Values().Get(object), SNMP_ERRORSTATUS_NOERROR);
    EXPECT_EQ(object.VarBind.value.asnValue.number, r.mib) << "service value " << r.service;
  }

  client.reply = Reply(L"\"ST\":0,\"DA\":0");
  struct Write {
    LONG mib;
    SNMPSTATUS status;
    LONG sent;  // -1: nothing sent
  } const writes[] = {{20, 0, 2}, {10, 0, 1}, {30, SNMP_ERRORSTATUS_BADVALUE, -1}};
  for (const Write& w : writes) {
    client.sent.clear();
    MibObject object = Object(ConfigValue(), ASN_INTEGER);
    SnmpVarBind varbind = EmptyVarBind();
    SetValueNumber(&varbind, static_cast<DWORD>(w.mib), ASN_INTEGER);
    EXPECT_EQ(Values().Set(object, &varbind), w.status) << "MIB value " << w.mib;
    if (w.sent < 0) {
      EXPECT_TRUE(client.sent.empty()) << "a value without mapping entry is not sent";
    } else {
      ASSERT_EQ(client.sent.size(), 1u);
      EXPECT_EQ(client.sent[0].DataValue(), w.sent) << "the lowest service value of a match";
    }
    SnmpUtilVarBindFree(&varbind);
  }
}

TEST_F(TarnValuesTest, WritesConvertTheValueAndSendAConfigSpaceWrite) {
  struct Case {
    const char* what;
    LONG offset;
    BYTE type;
    DWORD number;
    const char* text;
    std::wstring sentData;  // the data as text; empty: nothing sent
    SNMPSTATUS status;
  } const cases[] = {
      {"offset", 5, ASN_INTEGER, 7, nullptr, L"2", 0},
      {"no offset, no list", 0, ASN_INTEGER, static_cast<DWORD>(-3), nullptr, L"-3", 0},
      {"offset beyond 32 bits", -10, ASN_INTEGER, INT_MAX, nullptr, L"", SNMP_ERRORSTATUS_BADVALUE},
      {"gauge", 0, ASN_GAUGE32, 4000000000u, nullptr, L"4000000000", 0},
      {"text", 0, ASN_OCTETSTRING, 0, "h\xC3\xA9llo", L"h\u00E9llo", 0},
      {"unsupported type", 0, ASN_IPADDRESS, 0, "\x0A\x01\x02\x03", L"", SNMP_ERRORSTATUS_WRONGTYPE},
  };
  for (const Case& c : cases) {
    client.sent.clear();
    client.reply = Reply(L"\"OC\":57346,\"ST\":0,\"DA\":\"ok\"");
    MibObject object = Object(ConfigValue(c.offset), c.type);
    SnmpVarBind varbind = EmptyVarBind();
    if (c.text) {
      SetValueBytes(&varbind, reinterpret_cast<const BYTE*>(c.text), static_cast<UINT>(strlen(c.text)), c.type);
    } else {
      SetValueNumber(&varbind, c.number, c.type);
    }
    EXPECT_EQ(Values().Set(object, &varbind), c.status) << c.what;
    SnmpUtilVarBindFree(&varbind);
    if (c.sentData.empty()) {
      EXPECT_TRUE(client.sent.empty()) << c.what;
      continue;
    }
    ASSERT_EQ(client.sent.size(), 1u) << c.what;
    EXPECT_EQ(client.sent[0].Get(L"OC"), kTarnConfigWrite) << c.what;
    EXPECT_EQ(client.sent[0].Get(L"OE"), 0x4000u) << c.what;
    EXPECT_EQ(client.sent[0].DataText(), c.sentData) << c.what;
    EXPECT_EQ(object.TarnAttribute->Get(L"OC"), kTarnConfigRead) << "the stored record reads again: " << c.what;
  }
}

TEST_F(TarnValuesTest, RefusedOrUnansweredWritesLeaveTheStoredRecordAlone) {
  struct Case {
    std::wstring reply;
    SNMPSTATUS status;
  } const cases[] = {
      {Reply(L"\"ST\":8"), SNMP_ERRORSTATUS_READONLY},
      {Reply(L"\"ST\":7"), SNMP_ERRORSTATUS_READONLY},
      {Reply(L"\"ST\":4"), SNMP_ERRORSTATUS_BADVALUE},
      {Reply(L"\"ST\":1"), SNMP_ERRORSTATUS_NOSUCHNAME},
      {L"", SNMP_ERRORSTATUS_GENERR},
      {L"{\"SIP\":{\"CMD\":[{\"ST\":0,", SNMP_ERRORSTATUS_GENERR},  // malformed
  };
  for (const Case& c : cases) {
    client.reply = c.reply;
    MibObject object = Object(ConfigValue(), ASN_INTEGER);
    const Tarn before = *object.TarnAttribute;
    SnmpVarBind varbind = EmptyVarBind();
    SetValueNumber(&varbind, 9, ASN_INTEGER);
    EXPECT_EQ(Values().Set(object, &varbind), c.status) << c.reply;
    EXPECT_TRUE(static_cast<const Tarn&>(*object.TarnAttribute) == before) << c.reply;
    SnmpUtilVarBindFree(&varbind);
  }
}

TEST_F(TarnValuesTest, RequestsThatNeverReachTheServiceNeverLookAnswered) {
  MibObject object = Object(ConfigValue(), ASN_INTEGER);
  object.TarnAttribute->Set(L"ST", 0);  // as a successful write leaves it
  object.TarnAttribute->SetNumberData(5);
  client.silent = true;
  MibObject copy = object;
  EXPECT_EQ(Values().Get(copy), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(copy.VarBind.value.asnValue.number, -1) << "the default, not the old value";
  EXPECT_EQ(Values().CheckSet(object), SNMP_ERRORSTATUS_NOACCESS);
  SnmpVarBind varbind = EmptyVarBind();
  SetValueNumber(&varbind, 9, ASN_INTEGER);
  EXPECT_EQ(Values().Set(object, &varbind), SNMP_ERRORSTATUS_GENERR);
  SnmpUtilVarBindFree(&varbind);
  EXPECT_EQ(object.TarnAttribute->DataValue(), 5) << "nothing written, nothing kept";
}

TEST_F(TarnValuesTest, ChecksReadTheValueFirstAndOnlyForConfigSpaceValues) {
  struct Case {
    DWORD oc;
    std::wstring reply;
    SNMPSTATUS status;
    size_t requests;
  } const cases[] = {
      {kTarnConfigRead, Reply(L"\"ST\":0,\"DA\":1"), 0, 1},
      {kTarnConfigRead, Reply(L"\"ST\":1"), SNMP_ERRORSTATUS_NOACCESS, 1},
      {kTarnConfigRead, L"", SNMP_ERRORSTATUS_NOACCESS, 1},
      {0xE204, Reply(L"\"ST\":0,\"DA\":1"), SNMP_ERRORSTATUS_READONLY, 0},
      {kTarnIllegalCmd, Reply(L"\"ST\":0,\"DA\":1"), SNMP_ERRORSTATUS_READONLY, 0},
  };
  for (const Case& c : cases) {
    client.sent.clear();
    client.reply = c.reply;
    CTarnAttribute attribute = ConfigValue();
    attribute.Set(L"OC", c.oc);
    MibObject object = Object(attribute, ASN_INTEGER);
    EXPECT_EQ(Values().CheckSet(object), c.status) << std::hex << c.oc;
    EXPECT_EQ(client.sent.size(), c.requests) << std::hex << c.oc;
  }
}

// The tree reads a fresh copy of the stored object each time.
TEST_F(TarnValuesTest, KeepValueAsksOnceForAUsableAnswerAndSeesItsOwnWrites) {
  CTarnAttribute attribute = ConfigValue();
  attribute.KeepValue = 1;
  const MibObject stored = Object(attribute, ASN_INTEGER);
  const auto read = [&] {
    MibObject copy = stored;
    EXPECT_EQ(Values().Get(copy), SNMP_ERRORSTATUS_NOERROR);
    return copy.VarBind.value.asnValue.number;
  };
  client.reply = L"";
  EXPECT_EQ(read(), -1);
  client.reply = Reply(L"\"ST\":0,\"DA\":4");
  EXPECT_EQ(read(), 4) << "a failed answer is not kept";
  client.reply = Reply(L"\"ST\":0,\"DA\":5");
  EXPECT_EQ(read(), 4);
  EXPECT_EQ(client.sent.size(), 2u);

  MibObject writable = stored;
  client.reply = Reply(L"\"ST\":0,\"DA\":11");
  SnmpVarBind varbind = EmptyVarBind();
  SetValueNumber(&varbind, 11, ASN_INTEGER);
  ASSERT_EQ(Values().Set(writable, &varbind), SNMP_ERRORSTATUS_NOERROR);
  SnmpUtilVarBindFree(&varbind);
  client.reply = Reply(L"\"ST\":0,\"DA\":99");
  EXPECT_EQ(read(), 11) << "the written value is the kept answer";
  EXPECT_EQ(client.sent.size(), 3u);
}

TEST_F(TarnValuesTest, CallbackObjectsAndUnsupportedTypes) {
  client.reply = Reply(L"\"ST\":0,\"DA\":2");
  CTarnAttribute illegal = ConfigValue();
  illegal.Set(L"OC", kTarnIllegalCmd);
  MibObject callbackMade = Object(illegal, ASN_INTEGER);
  SetValueNumber(&callbackMade.VarBind, 77, ASN_INTEGER);
  EXPECT_EQ(Values().Get(callbackMade), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(callbackMade.VarBind.value.asnValue.number, 77);
  EXPECT_TRUE(client.sent.empty()) << "OC -1 sends nothing";
  MibObject empty = Object(CTarnAttribute(), ASN_INTEGER);
  EXPECT_EQ(Values().Get(empty), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_TRUE(client.sent.empty()) << "an empty record sends nothing";

  MibObject address = Object(ConfigValue(), ASN_IPADDRESS);
  SetValueNumber(&address.VarBind, 1, ASN_INTEGER);
  EXPECT_EQ(Values().Get(address), SNMP_ERRORSTATUS_GENERR);
  EXPECT_EQ(address.VarBind.value.asnType, ASN_NULL);
}

TEST(TarnStatus, EveryCommandStatusHasItsSnmpStatus) {
  struct Row {
    LONG command;
    SNMPSTATUS snmp;
  } const rows[] = {
      {0, 0}, {1, 2}, {2, 2}, {19, 2}, {20, 2}, {25, 2}, {4, 3}, {7, 4}, {8, 4},
      {10, 1}, {3, 5}, {6, 5}, {22, 5}, {255, 5}, {-1, 5}, {0x7FFFFFFF, 5},
  };
  for (const Row& row : rows) EXPECT_EQ(ConvertTarnStatus(row.command, kAgent), row.snmp) << row.command;
}

}  // namespace

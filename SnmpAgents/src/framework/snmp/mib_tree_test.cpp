// The object tree on its own: lookups in OID order, registration, the SET phases and
// the callback guard, on the test agent's objects without a running agent.
#include "mib_tree.h"

#include <gtest/gtest.h>

#include <string>

#include "request_builder.h"
#include "test_agent.h"

namespace {

using fw::testing::CTestAgent;
using fw::testing::kTestRegion;
using fw::testing::RequestList;

std::wstring R(const wchar_t* suffix) { return std::wstring(kTestRegion).substr(1) + suffix; }

class MibTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { CTestAgent::RegisterObjects(tree()); }
  CSnmpMibTree& tree() { return agent.GetMibTree(); }

  // One lookup; returns the OID found (empty when none) and fills status and name.
  std::wstring Lookup(const std::wstring& oid, BYTE type, SNMPSTATUS& status, std::wstring* name = nullptr,
                      bool* found = nullptr) {
    RequestList request({oid});
    const bool hit = tree().MibGetVarbind(&request[0], type, &status, name);
    if (found) *found = hit;
    return hit ? request.Oid(0) : std::wstring();
  }

  CTestAgent agent{false};
};

TEST_F(MibTreeTest, LookupsFollowOidOrder) {
  struct Case {
    std::wstring request;
    BYTE type;
    std::wstring expected;  // empty: nothing found
    SNMPSTATUS status;
  } const cases[] = {
      {R(L".1.0"), SNMP_PDU_GET, R(L".1.0"), 0},
      {R(L".1.0.0"), SNMP_PDU_GET, L"", 2},  // an extra trailing sub-identifier is another object
      {R(L".1"), SNMP_PDU_GET, L"", 2},
      {R(L""), SNMP_PDU_GETNEXT, R(L".1.0"), 0},  // a prefix yields the first object below it
      {R(L".1.0"), SNMP_PDU_GETNEXT, R(L".2.0"), 0},
      {R(L".8.0"), SNMP_PDU_GETNEXT, R(L".10.1.1.1"), 0},
      {R(L".10.1.1.3"), SNMP_PDU_GETNEXT, R(L".10.1.2.1"), 0},
      {R(L".11.1.1.1"), SNMP_PDU_GETNEXT, R(L".11.1.1.1.101"), 0},
      {R(L".31.0"), SNMP_PDU_GETNEXT, L"", 2},  // the last object has no successor
      {L"1.3", SNMP_PDU_GETNEXT, R(L".1.0"), 0},
      {R(L".1.0"), SNMP_PDU_GETBULK, L"", 2},  // not a tree request type
  };
  for (const Case& c : cases) {
    SNMPSTATUS status = -1;
    EXPECT_EQ(Lookup(c.request, c.type, status), c.expected) << c.request << " type " << int(c.type);
    EXPECT_EQ(status, c.status) << c.request;
  }
}

TEST_F(MibTreeTest, GetAnswersWithTheStoredValueAndName) {
  RequestList request({R(L".2.0"), R(L".6.0"), R(L".10.1.3.2")});
  std::wstring name;
  SNMPSTATUS status = -1;
  ASSERT_TRUE(tree().MibGetVarbind(&request[0], SNMP_PDU_GET, &status, &name));
  EXPECT_EQ(name, L"testText");
  EXPECT_EQ(request.Value(0), L"OctetString: \"hello\"");
  EXPECT_TRUE(request[0].value.asnValue.string.dynamic) << "the caller owns a copy";
  ASSERT_TRUE(tree().MibGetVarbind(&request[1], SNMP_PDU_GET, &status, nullptr));
  EXPECT_EQ(request.Value(1), L"IpAddress: 10.1.2.3");
  ASSERT_TRUE(tree().MibGetVarbind(&request[2], SNMP_PDU_GET, &status, nullptr));
  EXPECT_EQ(request.Value(2), L"OCTET STRING: 00 01 FE ");
  // A second read of the same varbind releases the first answer (ASan: no leak).
  ASSERT_TRUE(tree().MibGetVarbind(&request[0], SNMP_PDU_GET, &status, nullptr));
}

TEST_F(MibTreeTest, SecondRegistrationOverwrites) {
  const size_t before = tree().Size();
  tree().AddConstEntry(R(L".1.0").c_str(), L"renamed", L"now text", ASN_OCTETSTRING, MIB_ACCESS_READ_WRITE);
  EXPECT_EQ(tree().Size(), before);
  RequestList request({R(L".1.0")});
  std::wstring name;
  SNMPSTATUS status = -1;
  ASSERT_TRUE(tree().MibGetVarbind(&request[0], SNMP_PDU_GET, &status, &name));
  EXPECT_EQ(name, L"renamed");
  EXPECT_EQ(request.Value(0), L"OctetString: \"now text\"");
  ASSERT_TRUE(tree().MibCheckSetVarbind(&request[0], &status, nullptr));
  EXPECT_EQ(status, SNMP_ERRORSTATUS_NOERROR) << "the new access is read-write";
}

TEST_F(MibTreeTest, SetPhases) {
  struct Case {
    const wchar_t* oid;
    BYTE type;
    const wchar_t* value;
    SNMPSTATUS check, commit;
    const wchar_t* after;  // value text read back
  } const cases[] = {
      {L".1.0", ASN_INTEGER, L"7", 4, 4, L"Integer: -5 (0xFFFFFFFB)"},  // constant: read-only in both phases
      {L".20.0", ASN_INTEGER, L"42", 0, 0, L"Integer: 42 (0x2A)"},
      {L".21.0", ASN_INTEGER, L"1", 7, 0, L"OctetString: \"initial\""},
      {L".21.0", ASN_OCTETSTRING, L"seventeen chars!!", 8, 0, L"OctetString: \"initial\""},
      {L".21.0", ASN_OCTETSTRING, L"sixteen chars!!!", 0, 0, L"OctetString: \"sixteen chars!!!\""},
  };
  for (const Case& c : cases) {
    RequestList request({R(c.oid)});
    SetValueText(&request[0], c.value, c.type);
    SNMPSTATUS status = -1;
    ASSERT_TRUE(tree().MibCheckSetVarbind(&request[0], &status, nullptr)) << c.oid;
    EXPECT_EQ(status, c.check) << c.oid << " " << c.value;
    if (status == 0 || c.check == 4) {
      ASSERT_TRUE(tree().MibSetVarbind(&request[0], &status)) << c.oid;
      EXPECT_EQ(status, c.commit) << c.oid << " " << c.value;
    }
    RequestList readBack({R(c.oid)});
    tree().MibGetVarbind(&readBack[0], SNMP_PDU_GET, &status, nullptr);
    EXPECT_EQ(readBack.Value(0), c.after) << c.oid << " " << c.value;
  }
  RequestList missing({R(L".99.0")});
  SNMPSTATUS status = -1;
  EXPECT_FALSE(tree().MibCheckSetVarbind(&missing[0], &status, nullptr));
  EXPECT_EQ(status, 2);
  EXPECT_FALSE(tree().MibSetVarbind(&missing[0], &status));
  EXPECT_EQ(status, 2);
}

TEST_F(MibTreeTest, ThrowingCallbackYieldsGenericErrorWithTheObjectsOid) {
  RequestList request({R(L".30.0")});
  SNMPSTATUS status = -1;
  std::wstring name;
  EXPECT_TRUE(tree().MibGetVarbind(&request[0], SNMP_PDU_GET, &status, &name));
  EXPECT_EQ(status, SNMP_ERRORSTATUS_GENERR);
  EXPECT_EQ(request.Oid(0), R(L".30.0"));
  EXPECT_EQ(name, L"testFailingRead");
}

TEST_F(MibTreeTest, UnknownValueTypeInASetIsRefusedWithoutCorruption) {
  RequestList request({R(L".20.0")});
  request[0].value.asnType = 0x99;  // no ASN type the agent knows
  SNMPSTATUS status = -1;
  ASSERT_TRUE(tree().MibCheckSetVarbind(&request[0], &status, nullptr));
  ASSERT_TRUE(tree().MibSetVarbind(&request[0], &status));
  EXPECT_EQ(status, SNMP_ERRORSTATUS_GENERR) << "the value cannot be copied into the tree";
  RequestList readBack({R(L".20.0")});
  tree().MibGetVarbind(&readBack[0], SNMP_PDU_GET, &status, nullptr);
  EXPECT_EQ(readBack.Value(0), L"Integer: 1 (0x1)");
  request[0].value.asnType = ASN_NULL;
}

TEST_F(MibTreeTest, EmptyOidIsNeverFound) {
  tree().AddConstEntry(L"not an oid", L"broken", 1, ASN_INTEGER);  // lands under the empty OID
  RequestList request;
  request.Add(std::vector<UINT>{});
  SNMPSTATUS status = -1;
  EXPECT_FALSE(tree().MibGetVarbind(&request[0], SNMP_PDU_GET, &status, nullptr));
  EXPECT_EQ(status, 2);
  EXPECT_TRUE(tree().MibGetVarbind(&request[0], SNMP_PDU_GETNEXT, &status, nullptr));
  EXPECT_EQ(request.Oid(0), R(L".1.0"));
}

TEST_F(MibTreeTest, WalkSeesObjectsAddedBehindTheLastRead) {
  SNMPSTATUS status = -1;
  ASSERT_EQ(Lookup(R(L".1.0"), SNMP_PDU_GETNEXT, status), R(L".2.0"));
  tree().AddConstEntry(R(L".2.0.5").c_str(), L"inserted", 1, ASN_INTEGER);
  EXPECT_EQ(Lookup(R(L".2.0"), SNMP_PDU_GETNEXT, status), R(L".2.0.5"));
  EXPECT_EQ(Lookup(R(L".2.0.5"), SNMP_PDU_GETNEXT, status), R(L".3.0"));
  tree().Clear();
  EXPECT_EQ(Lookup(R(L".3.0"), SNMP_PDU_GETNEXT, status), L"") << "nothing left after Clear";
  CTestAgent::RegisterObjects(tree());
  EXPECT_EQ(Lookup(R(L".3.0"), SNMP_PDU_GETNEXT, status), R(L".4.0"));
}

TEST_F(MibTreeTest, ClearRemovesEverything) {
  EXPECT_GT(tree().Size(), 10u);
  tree().Clear();
  EXPECT_EQ(tree().Size(), 0u);
  SNMPSTATUS status = -1;
  EXPECT_EQ(Lookup(L"1.3", SNMP_PDU_GETNEXT, status), L"");
}

TEST(MibTreeIndexes, PlacedFromTheEnd) {
  struct Case {
    std::vector<UINT> oid;
    DWORD indexes[5];
    std::vector<UINT> expected;
  } const cases[] = {
      {{1, 1, 0}, {7, MIB_NO_INDEX, MIB_NO_INDEX, MIB_NO_INDEX, MIB_NO_INDEX}, {1, 1, 7}},
      {{1, 1, 0, 0}, {2, 5, MIB_NO_INDEX, MIB_NO_INDEX, MIB_NO_INDEX}, {1, 1, 2, 5}},
      {{1, 1, 0, 0}, {MIB_NO_INDEX, 2, MIB_NO_INDEX, 5, MIB_NO_INDEX}, {1, 1, 2, 5}},
      {{0, 0}, {1, 2, 3, MIB_NO_INDEX, MIB_NO_INDEX}, {2, 3}},  // positions before the start are skipped
      {{1, 2}, {MIB_NO_INDEX, MIB_NO_INDEX, MIB_NO_INDEX, MIB_NO_INDEX, MIB_NO_INDEX}, {1, 2}},
  };
  for (const Case& c : cases) {
    std::vector<UINT> ids = c.oid;
    AsnObjectIdentifier oid{static_cast<UINT>(ids.size()), ids.data()};
    CSnmpMibTree::PlaceIndexes(oid, c.indexes);
    EXPECT_EQ(ids, c.expected);
  }
}

}  // namespace

#include "test_agent.h"

#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>

#include "detached_tarn_client.h"
#include "request_builder.h"

namespace fw::testing {

namespace {

std::wstring Oid(const wchar_t* suffix) { return std::wstring(kTestRegion) + suffix; }

}  // namespace

CTestAgent::CTestAgent(bool withRegion, Service service) {
  if (service == Service::Detached) ReplaceTarnClient(std::make_unique<CDetachedTarnClient>(m_TarnEvents));
  m_tarnObjects = service == Service::MgtCore;
  m_ProductKeyName = L"Vornekt SNMP Agents";
  if (withRegion) AddMibRegion(kTestRegion, nullptr);
}

void CTestAgent::RegisterObjects(CSnmpMibTree& tree) {
  tree.AddConstEntry(Oid(L".1.0").c_str(), L"testInteger", -5, ASN_INTEGER);
  tree.AddConstEntry(Oid(L".2.0").c_str(), L"testText", L"hello", ASN_OCTETSTRING);
  tree.AddConstEntry(Oid(L".3.0").c_str(), L"testCounter", 4000000000u, ASN_COUNTER32);
  tree.AddConstEntry(Oid(L".4.0").c_str(), L"testGauge", 7, ASN_GAUGE32);
  tree.AddConstEntry(Oid(L".5.0").c_str(), L"testTicks", 12345, ASN_TIMETICKS);
  tree.AddConstEntry(Oid(L".6.0").c_str(), L"testAddress", L"10.1.2.3", ASN_IPADDRESS);
  tree.AddConstEntry(Oid(L".7.0").c_str(), L"testObjectId", L"1.3.6.1.4.1.884", ASN_OBJECTIDENTIFIER);
  tree.AddConstEntry(Oid(L".8.0").c_str(), L"testUnsigned", 99, ASN_UINTEGER32);
  static const BYTE kOpaque[] = {0x00, 0x01, 0xFE};
  for (DWORD row = 1; row <= 3; ++row) {
    const std::wstring text = L"row" + std::to_wstring(row);
    tree.AddConstTableEntry(Oid(L".10.1.1.0").c_str(), L"testRowName", text.c_str(), ASN_OCTETSTRING, row);
    tree.AddConstTableEntry(Oid(L".10.1.2.0").c_str(), L"testRowValue", row * 10, ASN_GAUGE32, row);
    tree.AddConstTableEntry(Oid(L".10.1.3.0").c_str(), L"testRowBytes", kOpaque, sizeof(kOpaque), ASN_OPAQUE, row);
    tree.AddConstTableEntry(Oid(L".11.1.1.0.0").c_str(), L"testPairValue", row, ASN_INTEGER, row, row + 100);
  }
  tree.AddConstEntry(Oid(L".20.0").c_str(), L"testWritable", 1, ASN_INTEGER, MIB_ACCESS_READ_WRITE);

  SnmpVarBind varbind = EmptyVarBind();
  TextToOid(Oid(L".21.0").c_str(), &varbind.name);
  SetValueText(&varbind, L"initial", ASN_OCTETSTRING);
  tree.AddObject(&varbind, L"testCheckedText", MIB_ACCESS_READ_WRITE, nullptr, nullptr,
                 static_cast<MibCallback>(&CTestAgent::CheckTextValue));
  SnmpUtilVarBindFree(&varbind);

  TextToOid(Oid(L".30.0").c_str(), &varbind.name);
  SetValueNumber(&varbind, 30, ASN_INTEGER);
  tree.AddObject(&varbind, L"testFailingRead", 0, static_cast<MibCallback>(&CTestAgent::ThrowingRead));
  SnmpUtilVarBindFree(&varbind);

  tree.AddConstEntry(Oid(L".31.0").c_str(), L"testLast", L"last", ASN_OCTETSTRING);

  TextToOid(Oid(L".22.0").c_str(), &varbind.name);
  SetValueNumber(&varbind, 0, ASN_INTEGER);
  tree.AddObject(&varbind, L"testTrapTrigger", MIB_ACCESS_READ_WRITE, nullptr,
                 static_cast<MibCallback>(&CTestAgent::RaiseTrap));
  SnmpUtilVarBindFree(&varbind);
}

namespace {

struct TarnObjectRow {
  TarnTestObject oi;
  const wchar_t* name;
  BYTE type;
  DWORD access;
  LONG offset;
  BYTE setEnabled;
  DWORD keepValue;
};

const TarnObjectRow kTarnObjects[] = {
    {kTarnOffset, L"testTarnOffset", ASN_INTEGER, MIB_ACCESS_READ_WRITE, 5, 0, 0},
    {kTarnMapped, L"testTarnMapped", ASN_INTEGER, MIB_ACCESS_READ_WRITE, 0, 0, 0},
    {kTarnGauge, L"testTarnGauge", ASN_GAUGE32, MIB_ACCESS_READ_WRITE, 0, 0, 0},
    {kTarnText, L"testTarnText", ASN_OCTETSTRING, MIB_ACCESS_READ_WRITE, 0, 0, 0},
    {kTarnSetEnabled, L"testTarnSetEnabled", ASN_INTEGER, 0, 0, 1, 0},
    {kTarnKept, L"testTarnKept", ASN_INTEGER, MIB_ACCESS_READ_WRITE, 0, 0, 1},
    {kTarnCallback, L"testTarnCallback", ASN_INTEGER, 0, 0, 0, 0},
};

CTarnAttribute TarnAttributeOf(const TarnObjectRow& row) {
  CTarnAttribute attribute(Tarn::WithCommand());
  attribute.Set(L"OC", row.oi == kTarnCallback ? kTarnIllegalCmd : kTarnConfigRead);
  attribute.Set(L"OE", kTarnTestCode);
  attribute.Set(L"OI", row.oi);
  attribute.Set(L"CA", kTarnTestCabinet);
  attribute.DefaultNumber = kTarnDefaultNumber;
  attribute.DefaultText = kTarnDefaultText;
  attribute.EnumOffset = row.offset;
  attribute.SetEnabled = row.setEnabled;
  attribute.KeepValue = row.keepValue;
  return attribute;
}

}  // namespace

void CTestAgent::RegisterTarnObjects(CSnmpMibTree& tree, EnumMappingTable& mapping) {
  for (const TarnObjectRow& row : kTarnObjects) {
    SnmpVarBind varbind = EmptyVarBind();
    TextToOid(Oid((L".25." + std::to_wstring(row.oi) + L".0").c_str()).c_str(), &varbind.name);
    const MibCallback getFunc =
        row.oi == kTarnCallback ? static_cast<MibCallback>(&CTestAgent::MakeCallbackValue) : nullptr;
    tree.AddObject(&varbind, row.name, row.access, getFunc);
    tree.AttachTarnAttribute(varbind.name, TarnAttributeOf(row), row.type);
    SnmpUtilVarBindFree(&varbind);
  }
  mapping[L"testTarnMapped"] = {{0, 1}, {1, 2}, {5, 3}};
}

bool CTestAgent::InitializeMib() {
  ++initializeCalls;
  RegisterObjects(m_MibTree);
  if (m_tarnObjects) {
    CCriticalSectionLock requests(m_MibLock);
    RegisterTarnObjects(m_MibTree, m_EnumMappingTable);
  }
  return true;
}

void CTestAgent::CloseMib() {
  ++closeCalls;
  if (HANDLE gate = closeMibGate.load()) WaitForSingleObject(gate, INFINITE);
}

bool CTestAgent::OnPreSnmpQuery(BYTE, SnmpVarBindList*, AsnInteger32* errorStatus, AsnInteger32* errorIndex) {
  ++preCalls;
  if (!answerInPreHook) return true;
  *errorStatus = SNMP_ERRORSTATUS_GENERR;
  *errorIndex = 1;
  return false;
}

void CTestAgent::OnPostSnmpQuery(BYTE, SnmpVarBindList*, AsnInteger32*, AsnInteger32*) { ++postCalls; }

bool CTestAgent::WaitUntilServing(DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!AreRequestsEnabled()) {
    if (GetTickCount64() > deadline) return false;
    Sleep(1);
  }
  return true;
}

SNMPSTATUS CTestAgent::CheckTextValue(SnmpVarBind* varbind, BYTE) {
  if (varbind->value.asnType != ASN_OCTETSTRING) return SNMP_ERRORSTATUS_WRONGTYPE;
  if (varbind->value.asnValue.string.length > kCheckedTextLimit) return SNMP_ERRORSTATUS_WRONGLENGTH;
  return SNMP_ERRORSTATUS_NOERROR;
}

SNMPSTATUS CTestAgent::RaiseTrap(SnmpVarBind* varbind, BYTE mode) {
  if (mode != MIB_MODE_SET) return SNMP_ERRORSTATUS_NOERROR;
  if (varbind->value.asnType != ASN_INTEGER || varbind->value.asnValue.number <= 0) {
    return SNMP_ERRORSTATUS_BADVALUE;
  }
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  GetComputerNameW(computer, &size);
  RequestList trap({L"1.3.6.1.4.1.884.2.10.2.9.1.22.1", L"1.3.6.1.4.1.884.2.10.2.9.1.22.2",
                    L"1.3.6.1.4.1.884.2.10.2.9.1.22.3"});
  SetValueText(&trap[0], computer, ASN_OCTETSTRING);
  SetValueNumber(&trap[1], static_cast<DWORD>(time(nullptr)), ASN_INTEGER);
  SetValueText(&trap[2], L"test trap", ASN_OCTETSTRING);
  CreateTrap(L".1.3.6.1.4.1.884", static_cast<DWORD>(varbind->value.asnValue.number), &trap.list);
  return SNMP_ERRORSTATUS_NOERROR;
}

SNMPSTATUS CTestAgent::MakeCallbackValue(SnmpVarBind* varbind, BYTE) {
  return SetValueNumber(varbind, static_cast<DWORD>(kTarnCallbackValue), ASN_INTEGER) ? SNMP_ERRORSTATUS_NOERROR
                                                                                      : SNMP_ERRORSTATUS_GENERR;
}

SNMPSTATUS CTestAgent::ThrowingRead(SnmpVarBind*, BYTE) { throw std::runtime_error("read failed"); }

}  // namespace fw::testing

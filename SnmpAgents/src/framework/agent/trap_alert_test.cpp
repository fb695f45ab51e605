// Trap forwarding: the trap-to-message table against the messages library, the severity
// filters, the insertion strings taken from a trap's varbinds, and (where the layer's
// event journal can be read back) the event-log entries and administrator alerts that
// delivered traps produce.
#include "trap_alert.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "conformance.h"
#include "debug_trace.h"
#include "journal.h"
#include "management_settings.h"
#include "request_builder.h"
#include "test_agent.h"
#include "trace_test_support.h"

namespace {

using fw::testing::CTestAgent;
using fw::testing::RequestList;

constexpr const wchar_t* kEnterprise = L".1.3.6.1.4.1.884";
constexpr const wchar_t* kSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vornekt Agents";
constexpr const wchar_t* kSetupKey = L"SOFTWARE\\Morvasten\\#Setup";

std::wstring LibDir() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  dir = dir.substr(0, dir.find_last_of(L"\\/"));
  return dir.substr(0, dir.find_last_of(L"\\/")) + L"\\lib";
}
std::wstring MessagesDll() { return LibDir() + L"\\Messages.dll"; }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void PutString(const wchar_t* keyPath, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

std::vector<std::wstring> Insertions(const CTrapAlert& alert) {
  std::vector<std::wstring> strings;
  for (WORD i = 0; i < alert.GetInsertionStringCount(); ++i) strings.emplace_back(alert.GetInsertionString(i));
  return strings;
}

// ---------------------------------------------------------------------------------------
// The table

TEST(Trap2MsgTable, RowsMatchTheMessagesLibrary) {
  HMODULE library = LoadLibraryExW(MessagesDll().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(library, nullptr) << "error " << GetLastError();
  std::set<DWORD> traps;
  int severities[4] = {};
  for (size_t i = 0; i < kTrap2MsgRows; ++i) {
    const TrapMessage& row = Trap2MsgTable[i];
    traps.insert(row.TrapNumber);
    ++severities[TrapMsgSeverity(row.MessageId)];
    wchar_t text[1000];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, library,
                                        row.MessageId, 0, text, 1000, nullptr);
    EXPECT_GT(length, 0u) << "trap " << row.TrapNumber << " id 0x" << std::hex << row.MessageId << " has no message";
    EXPECT_EQ(LookupTrapMessageId(row.TrapNumber), row.MessageId) << "trap " << row.TrapNumber;
  }
  FreeLibrary(library);
  EXPECT_EQ(traps.size(), kTrap2MsgRows);
  EXPECT_EQ(severities[TRAP_MSG_SUCCESS], 0);
  EXPECT_EQ(severities[TRAP_MSG_INFORMATIONAL], 281);
  EXPECT_EQ(severities[TRAP_MSG_WARNING], 35);
  EXPECT_EQ(severities[TRAP_MSG_ERROR], 148);
  EXPECT_EQ(Trap2MsgTable[kTrap2MsgRows].TrapNumber, kTrapMsgEnd);
}

TEST(Trap2MsgTable, LookupOfKnownAndUnknownTraps) {
  const struct {
    DWORD trap;
    DWORD id;
  } cases[] = {
      {810, 0xC0002A3A}, {811, 0x40002A3B}, {812, 0xC0002A3C}, {925, 0x40002AAD}, {2001, 0x80002EE1},
      {750, 0xC00029FE}, {0, 0x40002710},  {5, kTrapMsgNotFound}, {809, kTrapMsgNotFound},
      {2604, kTrapMsgNotFound}, {0xFFFFFFFE, kTrapMsgNotFound}, {kTrapMsgEnd, kTrapMsgNotFound},
  };
  for (const auto& c : cases) EXPECT_EQ(LookupTrapMessageId(c.trap), c.id) << "trap " << c.trap;
}

// ---------------------------------------------------------------------------------------
// The severity filter

TEST(TrapAlertFilter, MaskBitsSelectSeverities) {
  const DWORD info = TrapMsgId(TRAP_MSG_INFORMATIONAL, 811);
  const DWORD warning = TrapMsgId(TRAP_MSG_WARNING, 2001);
  const DWORD error = TrapMsgId(TRAP_MSG_ERROR, 812);
  const DWORD success = TrapMsgId(TRAP_MSG_SUCCESS, 811);
  const struct {
    BYTE mask;
    bool info, warning, error;
  } cases[] = {
      {0x00, false, false, false}, {0x01, true, false, false}, {0x02, false, true, false},
      {0x03, true, true, false},   {0x04, false, false, true}, {0x05, true, false, true},
      {0x07, true, true, true},    {0x08, false, false, false}, {0xF8, false, false, false},
      {0xFC, false, false, true},  {0xFF, true, true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CTrapAlert::FilterPasses(c.mask, info), c.info) << "mask " << int(c.mask);
    EXPECT_EQ(CTrapAlert::FilterPasses(c.mask, warning), c.warning) << "mask " << int(c.mask);
    EXPECT_EQ(CTrapAlert::FilterPasses(c.mask, error), c.error) << "mask " << int(c.mask);
  }
  for (int mask = 0; mask <= 0xFF; ++mask) {
    EXPECT_FALSE(CTrapAlert::FilterPasses(static_cast<BYTE>(mask), success)) << "success passes mask " << mask;
    if (mask & 0x07) continue;
    for (DWORD id : {info, warning, error}) {
      EXPECT_FALSE(CTrapAlert::FilterPasses(static_cast<BYTE>(mask), id)) << "mask " << mask << " id " << std::hex << id;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Insertion strings

TEST(TrapAlertParams, VarbindsBecomeInsertionStrings) {
  struct Value {
    BYTE type;
    DWORD number;
    std::string bytes;
  };
  const struct {
    const char* what;
    std::vector<Value> values;
    std::vector<std::wstring> want;
  } cases[] = {
      {"numbers as unsigned decimal",
       {{ASN_INTEGER, static_cast<DWORD>(-5), {}}, {ASN_INTEGER, 42, {}}, {ASN_COUNTER32, 4000000000u, {}},
        {ASN_GAUGE32, 0, {}}, {ASN_TIMETICKS, 12345, {}}},
       {L"4294967291", L"42", L"4000000000", L"0", L"12345"}},
      {"other types add nothing",
       {{ASN_OCTETSTRING, 0, "a"}, {ASN_OBJECTIDENTIFIER, 0, {}}, {ASN_OCTETSTRING, 0, "b"},
        {ASN_IPADDRESS, 0, "\x0a\x01\x02\x03"}, {ASN_UINTEGER32, 7, {}}, {ASN_NULL, 0, {}}, {ASN_OCTETSTRING, 0, "c"}},
       {L"a", L"b", L"c"}},
      {"eleven strings give ten",
       {{ASN_OCTETSTRING, 0, "s1"}, {ASN_OCTETSTRING, 0, "s2"}, {ASN_OCTETSTRING, 0, "s3"},
        {ASN_OCTETSTRING, 0, "s4"}, {ASN_OCTETSTRING, 0, "s5"}, {ASN_OCTETSTRING, 0, "s6"},
        {ASN_OCTETSTRING, 0, "s7"}, {ASN_OCTETSTRING, 0, "s8"}, {ASN_OCTETSTRING, 0, "s9"},
        {ASN_OCTETSTRING, 0, "s10"}, {ASN_OCTETSTRING, 0, "s11"}},
       {L"s1", L"s2", L"s3", L"s4", L"s5", L"s6", L"s7", L"s8", L"s9", L"s10"}},
      {"a number past the tenth is dropped too",
       {{ASN_OCTETSTRING, 0, "1"}, {ASN_OCTETSTRING, 0, "2"}, {ASN_OCTETSTRING, 0, "3"}, {ASN_OCTETSTRING, 0, "4"},
        {ASN_OCTETSTRING, 0, "5"}, {ASN_OCTETSTRING, 0, "6"}, {ASN_OCTETSTRING, 0, "7"}, {ASN_OCTETSTRING, 0, "8"},
        {ASN_OCTETSTRING, 0, "9"}, {ASN_INTEGER, 10, {}}, {ASN_INTEGER, 11, {}}},
       {L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9", L"10"}},
      {"text forms of awkward strings",
       {{ASN_OCTETSTRING, 0, ""}, {ASN_OCTETSTRING, 0, "N\xC3\xBC"}, {ASN_OCTETSTRING, 0, std::string("ab\0cd", 5)},
        {ASN_OCTETSTRING, 0, "\xFF\xFE"}, {ASN_OCTETSTRING, 0, "x\xC3"}},
       {L"", L"N\u00FC", L"ab", L"\uFFFD\uFFFD", L"x\uFFFD"}},
  };
  CTrapAlert alert;
  for (const auto& c : cases) {
    RequestList varbinds;
    for (const Value& v : c.values) {
      SnmpVarBind& varbind = varbinds.Add(L"1.3.6.1.4.1.884.1");
      if (v.type == ASN_OCTETSTRING || v.type == ASN_IPADDRESS) {
        SetValueBytes(&varbind, reinterpret_cast<const BYTE*>(v.bytes.data()), static_cast<UINT>(v.bytes.size()),
                      v.type);
      } else if (v.type == ASN_OBJECTIDENTIFIER) {
        AsnObjectIdentifier oid{};
        TextToOid(L"1.3.6.1", &oid);
        SetValueOid(&varbind, &oid);
        SnmpUtilOidFree(&oid);
      } else if (v.type != ASN_NULL) {
        SetValueNumber(&varbind, v.number, v.type);
      }
    }
    alert.SetTrapParams(&varbinds.list, 812);
    EXPECT_EQ(Insertions(alert), c.want) << c.what;
    EXPECT_EQ(alert.GetTrapNumber(), 812u) << c.what;
    EXPECT_EQ(alert.GetMessageId(), 0xC0002A3Cu) << c.what;
  }

  // A string with no stream at all, then a trap without varbinds: nothing of the
  // previous trap survives.
  RequestList broken;
  SnmpVarBind& varbind = broken.Add(L"1.3.6.1.4.1.884.1");
  varbind.value.asnType = ASN_OCTETSTRING;
  alert.SetTrapParams(&broken.list, 5);
  EXPECT_EQ(Insertions(alert), std::vector<std::wstring>{L""});
  EXPECT_EQ(alert.GetMessageId(), kTrapMsgNotFound);
  alert.SetTrapParams(nullptr, 811);
  EXPECT_EQ(alert.GetInsertionStringCount(), 0);
  EXPECT_EQ(alert.GetMessageId(), 0x40002A3Bu);
}

// What the service is handed for one trap; freed as the service frees it.
struct Fetched {
  Fetched() = default;
  ~Fetched() {
    SnmpUtilOidFree(&enterprise);
    SnmpUtilVarBindListFree(&varbinds);
  }
  Fetched(const Fetched&) = delete;
  Fetched& operator=(const Fetched&) = delete;

  bool result = false;
  AsnObjectIdentifier enterprise{};
  AsnInteger32 generic = -1, specific = -1;
  AsnTimeticks stamp = 0;
  SnmpVarBindList varbinds{};
};

// ---------------------------------------------------------------------------------------
// Results of the forwardings (no journal needed)

TEST(TrapAlertResults, WrittenOnlyWhenSelectedAndKnown) {
  CTrapAlert alert;
  alert.SetTrapParams(nullptr, 812);
  EXPECT_NE(alert.Write2EventLog(4), 0u);
  EXPECT_NE(alert.Write2EventLog(4, L""), 0u) << "an empty server name is the local machine";
  EXPECT_EQ(alert.Write2EventLog(3), 0u) << "errors not selected";
  EXPECT_EQ(alert.RaiseAdminAlert(0xFF), 0u) << "no messages library loaded";
  if (conformance::OnOurLayer()) {
    EXPECT_EQ(alert.Write2EventLog(4, L"\\\\no-such-host-fw"), 0u) << "a remote log that cannot be reached";
  }
  alert.SetTrapParams(nullptr, 5);
  EXPECT_EQ(alert.Write2EventLog(0xFF), 0u) << "no row for trap 5";

  EXPECT_FALSE(alert.LoadMessageDLL(nullptr));
  EXPECT_FALSE(alert.LoadMessageDLL((LibDir() + L"\\no-such.dll").c_str()));
  ASSERT_TRUE(alert.LoadMessageDLL(MessagesDll().c_str()));
  ASSERT_TRUE(alert.LoadMessageDLL(MessagesDll().c_str())) << "a second load replaces the first";
  alert.SetTrapParams(nullptr, 5);
  EXPECT_EQ(alert.RaiseAdminAlert(0xFF), 0u) << "no row for trap 5";
}

// Forwarding with every filter bit set never holds a trap back or reorders the queue.
TEST(TrapAlertResults, DeliveryGoesOnWhateverForwardingDoes) {
  CTestAgent agent;
  g_ManagementSettings.Trap2EventLog = 0xFF;
  g_ManagementSettings.TrapToAdminAlert = 0xFF;
  const DWORD traps[] = {812, 5, 811, 2001, 0};
  RequestList varbinds({L"1.3.6.1.4.1.884.1", L"1.3.6.1.4.1.884.2"});
  SetValueText(&varbinds[0], L"NODE-A", ASN_OCTETSTRING);
  SetValueNumber(&varbinds[1], static_cast<DWORD>(-1), ASN_INTEGER);
  for (DWORD trap : traps) EXPECT_TRUE(agent.CreateTrap(kEnterprise, trap, &varbinds.list));
  for (DWORD trap : traps) {
    Fetched fetched;
    fetched.result = agent.SnmpTrap(&fetched.enterprise, &fetched.generic, &fetched.specific, &fetched.stamp,
                                    &fetched.varbinds);
    EXPECT_TRUE(fetched.result) << trap;
    EXPECT_EQ(static_cast<DWORD>(fetched.specific), trap);
    EXPECT_EQ(fetched.varbinds.len, 2u) << trap;
  }
  Fetched none;
  EXPECT_FALSE(agent.SnmpTrap(&none.enterprise, &none.generic, &none.specific, &none.stamp, &none.varbinds));
  g_ManagementSettings.Reset();
}

// ---------------------------------------------------------------------------------------
// Delivered traps, read back from the layer's event journal

class TrapForwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!conformance::OnOurLayer()) GTEST_SKIP() << "the event journal is read back on our layer only";
    g_ManagementSettings.Reset();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSourceKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, fw::agent::kDefaultCommonRoot);
  }
  void TearDown() override {
    g_ManagementSettings.Reset();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSourceKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, fw::agent::kDefaultCommonRoot);
  }
  static void RegisterEventSource() { PutString(kSourceKey, L"EventMessageFile", MessagesDll()); }

  // Queues a cluster trap (computer, time, object) and fetches it as the service does;
  // returns the journal records the fetch added.
  std::vector<rapidjson::Document> Deliver(DWORD trap, Fetched& fetched) {
    const size_t before = conformance::JournalLines().size();
    RequestList varbinds({L"1.3.6.1.4.1.884.2.10.1", L"1.3.6.1.4.1.884.2.10.2", L"1.3.6.1.4.1.884.2.10.3"});
    SetValueText(&varbinds[0], L"NODE-A", ASN_OCTETSTRING);
    SetValueNumber(&varbinds[1], 1700000000, ASN_INTEGER);
    SetValueText(&varbinds[2], L"Cluster Group", ASN_OCTETSTRING);
    EXPECT_TRUE(agent.CreateTrap(kEnterprise, trap, &varbinds.list));
    fetched.result = agent.SnmpTrap(&fetched.enterprise, &fetched.generic, &fetched.specific, &fetched.stamp,
                                    &fetched.varbinds);
    std::vector<rapidjson::Document> added;
    const auto lines = conformance::JournalLines();
    for (size_t i = before; i < lines.size(); ++i) added.push_back(conformance::ParseRecord(lines[i]));
    return added;
  }
  static std::vector<std::string> Strings(const rapidjson::Value& record) {
    std::vector<std::string> strings;
    if (!record.HasMember("strings") || !record["strings"].IsArray()) return strings;
    for (const auto& s : record["strings"].GetArray()) strings.emplace_back(s.IsString() ? s.GetString() : "?");
    return strings;
  }

  CTestAgent agent;
};

TEST_F(TrapForwarding, EventLogFilterWritesErrorsOnly) {
  RegisterEventSource();
  g_ManagementSettings.Trap2EventLog = 4;
  const std::vector<std::string> strings = {"NODE-A", "1700000000", "Cluster Group"};

  Fetched lost;
  auto records = Deliver(812, lost);
  EXPECT_TRUE(lost.result);
  EXPECT_EQ(lost.specific, 812);
  EXPECT_EQ(lost.varbinds.len, 3u) << "forwarding leaves the trap's varbinds to the service";
  ASSERT_EQ(records.size(), 1u);
  const auto& event = records[0];
  EXPECT_EQ(conformance::Field(event, "kind"), "event");
  EXPECT_EQ(conformance::Field(event, "source"), "Vornekt Agents");
  EXPECT_EQ(conformance::Field(event, "type"), "error");
  ASSERT_TRUE(event.HasMember("eventId"));
  EXPECT_EQ(event["eventId"].GetUint(), 0xC0002A3Cu);
  EXPECT_EQ(event["category"].GetUint(), 0u);
  EXPECT_EQ(Strings(event), strings);
  EXPECT_FALSE(event.HasMember("data"));
  EXPECT_EQ(conformance::Field(event, "text"),
            "The cluster agent on NODE-A has lost the connection to the cluster service (time 1700000000).");

  const struct {
    DWORD trap;
    const char* why;
  } unwritten[] = {{811, "informational, not selected"}, {5, "no row in the table"}, {0xFFFFFFFF, "the end marker"}};
  for (const auto& c : unwritten) {
    Fetched fetched;
    EXPECT_TRUE(Deliver(c.trap, fetched).empty()) << c.trap << ": " << c.why;
    EXPECT_TRUE(fetched.result) << "trap " << c.trap << " is still delivered";
    EXPECT_EQ(static_cast<DWORD>(fetched.specific), c.trap);
  }
}

TEST_F(TrapForwarding, UnregisteredSourceStillGetsTheEntry) {
  g_ManagementSettings.Trap2EventLog = 0xFF;
  Fetched fetched;
  const auto records = Deliver(925, fetched);
  EXPECT_TRUE(fetched.result);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(conformance::Field(records[0], "type"), "information");
  EXPECT_EQ(records[0]["eventId"].GetUint(), 0x40002AADu);
  EXPECT_FALSE(records[0].HasMember("text")) << "no message file is registered";
}

TEST_F(TrapForwarding, AdminAlertCarriesTheFormattedMessage) {
  PutString(kSetupKey, L"FileRoot", LibDir());
  agent.OnModuleAttach(GetModuleHandleW(nullptr));
  ASSERT_TRUE(agent.GetTrapAlert().IsMessageDLLLoaded()) << "Messages.dll from the file root";
  g_ManagementSettings.TrapToAdminAlert = 1;

  Fetched up;
  auto records = Deliver(811, up);
  EXPECT_TRUE(up.result);
  ASSERT_EQ(records.size(), 1u) << "an alert and no event-log entry";
  const auto& alert = records[0];
  EXPECT_EQ(conformance::Field(alert, "kind"), "alert");
  EXPECT_EQ(conformance::Field(alert, "alertType"), "ADMIN");
  EXPECT_EQ(conformance::Field(alert, "service"), "Ostrel");
  EXPECT_EQ(alert["errcode"].GetUint(), 0xFFFFFFFFu);
  EXPECT_EQ(Strings(alert), std::vector<std::string>{
                                "The cluster agent on NODE-A reaches the cluster service again (time 1700000000).\r\n"});

  // Errors are not selected, unknown traps are silent; both traps still go out.
  for (DWORD trap : {812u, 5u}) {
    Fetched fetched;
    EXPECT_TRUE(Deliver(trap, fetched).empty()) << trap;
    EXPECT_TRUE(fetched.result) << trap;
  }

  // Both forwardings for one trap use that trap's strings.
  g_ManagementSettings.Trap2EventLog = 1;
  Fetched both;
  records = Deliver(925, both);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(conformance::Field(records[0], "kind"), "event");
  EXPECT_EQ(conformance::Field(records[1], "kind"), "alert");
  EXPECT_EQ(Strings(records[1]), std::vector<std::string>{
                                     "Cluster node Cluster Group is down (reported by NODE-A, time 1700000000).\r\n"});
}

TEST_F(TrapForwarding, MessageInsertsWithoutVarbindsReadEmptyStrings) {
  PutString(kSetupKey, L"FileRoot", LibDir());
  agent.OnModuleAttach(GetModuleHandleW(nullptr));
  g_ManagementSettings.TrapToAdminAlert = 1;
  const size_t before = conformance::JournalLines().size();
  ASSERT_TRUE(agent.CreateTrap(kEnterprise, 925, nullptr));
  Fetched fetched;
  EXPECT_TRUE(agent.SnmpTrap(&fetched.enterprise, &fetched.generic, &fetched.specific, &fetched.stamp,
                             &fetched.varbinds));
  const auto lines = conformance::JournalLines();
  ASSERT_EQ(lines.size(), before + 1);
  EXPECT_EQ(Strings(conformance::ParseRecord(lines.back())),
            std::vector<std::string>{"Cluster node  is down (reported by , time ).\r\n"});
}

// The process trace at level 1 into a file (line breaks there are "\r\n").
class TracedTrapAlert : public TrapForwarding {
 protected:
  void SetUp() override {
    TrapForwarding::SetUp();
    if (IsSkipped()) return;
    m_trace = std::make_unique<fw::diag::testing::ProcessTraceFile>(L"FwTrapAlert", 1);
    ASSERT_TRUE(m_trace->Active());
  }
  void TearDown() override {
    m_trace.reset();
    TrapForwarding::TearDown();
  }
  std::wstring Trace() const { return m_trace->Text(); }

  std::unique_ptr<fw::diag::testing::ProcessTraceFile> m_trace;
};

TEST_F(TracedTrapAlert, MissingMessagesLibraryStopsAlertsOnly) {
  const std::wstring root = LibDir() + L"\\no-such-dir";
  PutString(kSetupKey, L"FileRoot", root);
  agent.OnModuleAttach(GetModuleHandleW(nullptr));
  EXPECT_FALSE(agent.GetTrapAlert().IsMessageDLLLoaded());
  const std::wstring loadError =
      L"CTrapAlert          : ## ERROR! LoadMessageDLL(): could not load messages DLL " + root + L"\\Messages.dll (0x";
  EXPECT_NE(Trace().find(loadError), std::wstring::npos) << Narrow(Trace());

  g_ManagementSettings.Trap2EventLog = 0xFF;
  g_ManagementSettings.TrapToAdminAlert = 0xFF;
  Fetched fetched;
  const auto records = Deliver(811, fetched);
  EXPECT_TRUE(fetched.result);
  ASSERT_EQ(records.size(), 1u) << "the event-log entry needs no library";
  EXPECT_EQ(conformance::Field(records[0], "kind"), "event");
  EXPECT_NE(Trace().find(L"## ERROR: sending administrator alert failed!!"), std::wstring::npos);

  Fetched unknown;
  EXPECT_TRUE(Deliver(5, unknown).empty());
  EXPECT_NE(Trace().find(L"CTrapAlert          : ERROR! TrapMsgId not found!!"), std::wstring::npos);
}

}  // namespace

// The test agent module as the SNMP service uses it: loaded with LoadLibraryW, its five
// entry points found with GetProcAddress, requests built and freed with snmpapi.
#include <windows.h>
#include <snmp.h>

#include <gtest/gtest.h>

#include <string>

#include "extension_module.h"
#include "request_builder.h"

namespace {

using fw::testing::Addr;
using fw::testing::ExtensionModule;
using fw::testing::RequestList;

const std::wstring kRegion = L"1.3.6.1.4.1.884.2.10.2.9.1";

std::wstring PluginPath(const wchar_t* file = FW_TEST_AGENT_DLL) {
  wchar_t own[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, own, MAX_PATH * 4);
  std::wstring dir(own);
  dir.erase(dir.find_last_of(L"\\/") + 1);
  return dir + L"../lib/" + file;
}

// The state word an agent module last wrote under "#Status" of the default common root.
std::wstring StateWord(const wchar_t* agent) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Morvasten\\#Status", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return L"<no key>";
  }
  wchar_t word[64] = {};
  DWORD size = sizeof(word) - sizeof(wchar_t);
  const LONG read = RegQueryValueExW(key, agent, nullptr, nullptr, reinterpret_cast<BYTE*>(word), &size);
  RegCloseKey(key);
  return read == ERROR_SUCCESS ? word : L"<none>";
}

bool VolatileParametersExist(const wchar_t* agent) {
  const std::wstring path = std::wstring(L"SOFTWARE\\Morvasten\\") + agent + L"\\Parameters\\VolatileParameters";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// One load for the whole suite, as the service loads an agent once per process.
class LoadedPlugin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module = LoadLibraryW(PluginPath().c_str());
    loadError = GetLastError();
    if (module) plugin.Find(module);
  }
  static void TearDownTestSuite() {
    if (plugin.close) plugin.close();
    if (module) FreeLibrary(module);
    module = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(module, nullptr) << "LoadLibraryW failed with " << loadError;
    ASSERT_TRUE(plugin.Complete());
  }

  using Answer = fw::testing::QueryAnswer;
  static Answer Query(BYTE type, RequestList& request) { return plugin.Query(type, request); }
  // The main thread enables requests shortly after SnmpExtensionInit returns.
  static bool WaitUntilServing() {
    for (int i = 0; i < 1000; ++i) {
      RequestList probe({kRegion + L".1.0"});
      if (Query(SNMP_PDU_GET, probe).status == 0) return true;
      Sleep(10);
    }
    return false;
  }

  static inline HMODULE module = nullptr;
  static inline DWORD loadError = 0;
  static inline ExtensionModule plugin;
};

TEST_F(LoadedPlugin, ServesItsRegionThroughTheFiveEntryPoints) {
  HANDLE trapEvent = nullptr;
  AsnObjectIdentifier region{};
  ASSERT_TRUE(plugin.init(GetTickCount(), &trapEvent, &region));
  EXPECT_NE(trapEvent, nullptr);
  std::wstring text;
  EXPECT_EQ(std::wstring(OidToText(text, &region)), kRegion);
  SnmpUtilOidFree(&region);
  AsnObjectIdentifier next{};
  EXPECT_FALSE(plugin.initEx(&next));
  EXPECT_EQ(next.idLength, 0u);
  ASSERT_TRUE(WaitUntilServing());

  // GET: the service frees what the agent put into its list (RequestList frees with snmpapi).
  RequestList get({kRegion + L".2.0", kRegion + L".3.0", kRegion + L".10.1.3.2"});
  Answer answer = Query(SNMP_PDU_GET, get);
  EXPECT_TRUE(answer.result);
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(get.Value(0), L"OctetString: \"hello\"");
  EXPECT_EQ(get.Value(1), L"Counter32: 4000000000 (0xEE6B2800)");
  EXPECT_EQ(get.Value(2), L"OCTET STRING: 00 01 FE ");
  // The answer's blocks belong to the snmpapi allocator: the service may resize and free them.
  AsnOctetString& answer0 = get[0].value.asnValue.string;
  EXPECT_TRUE(answer0.dynamic);
  void* grown = SnmpUtilMemReAlloc(answer0.stream, answer0.length + 64);
  ASSERT_NE(grown, nullptr) << "the stream is not an snmpapi block";
  answer0.stream = static_cast<BYTE*>(grown);
  void* grownIds = SnmpUtilMemReAlloc(get[0].name.ids, (get[0].name.idLength + 4) * sizeof(UINT));
  ASSERT_NE(grownIds, nullptr) << "the name is not an snmpapi block";
  get[0].name.ids = static_cast<UINT*>(grownIds);

  // GETNEXT past the last object leaves the region, keeping the request's value.
  RequestList past({kRegion + L".31.0"});
  SetValueNumber(&past[0], 5, ASN_INTEGER);
  answer = Query(SNMP_PDU_GETNEXT, past);
  EXPECT_TRUE(answer.result);
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(past.Oid(0), L"1.3.6.1.4.1.884.2.10.2.9.2");
  EXPECT_EQ(past.Value(0), L"Integer: 5 (0x5)");

  // SET on a read-only object.
  RequestList set({kRegion + L".1.0"});
  SetValueNumber(&set[0], 1, ASN_INTEGER);
  answer = Query(SNMP_PDU_SET, set);
  EXPECT_TRUE(answer.result);
  EXPECT_EQ(answer.status, SNMP_ERRORSTATUS_READONLY);
  EXPECT_EQ(answer.index, 1);

  // No trap pending: FALSE with empty outputs.
  UINT junk[] = {1, 2};
  AsnObjectIdentifier enterprise{2, junk};
  AsnInteger32 generic = -1, specific = -1;
  AsnTimeticks stamp = 0;
  SnmpVarBindList varbinds{reinterpret_cast<SnmpVarBind*>(junk), 3};
  EXPECT_FALSE(plugin.trap(&enterprise, &generic, &specific, &stamp, &varbinds));
  EXPECT_EQ(enterprise.idLength, 0u);
  EXPECT_EQ(Addr(enterprise.ids), nullptr);
  EXPECT_EQ(Addr(varbinds.list), nullptr);
  EXPECT_EQ(varbinds.len, 0u);
}

// A second agent module in the same process has its own agent object: closing it leaves
// the first one serving.
TEST_F(LoadedPlugin, SecondAgentModuleKeepsItsOwnState) {
  ASSERT_TRUE(WaitUntilServing());
  constexpr wchar_t kSecond[] = L"TestSnmpAgentCopy";
  HMODULE second = LoadLibraryW(PluginPath(FW_SECOND_AGENT_DLL).c_str());
  ASSERT_NE(second, nullptr) << GetLastError();
  ASSERT_NE(second, module);
  EXPECT_EQ(StateWord(kSecond), L"loaded");
  ExtensionModule secondModule;
  ASSERT_TRUE(secondModule.Find(second));
  HANDLE secondEvent = nullptr;
  ASSERT_TRUE(secondModule.init(0, &secondEvent, nullptr));
  EXPECT_NE(secondEvent, nullptr);
  bool secondServing = false;
  for (int i = 0; i < 1000 && !secondServing; ++i) {
    RequestList probe({kRegion + L".1.0"});
    secondServing = secondModule.Query(SNMP_PDU_GET, probe).status == 0;
    if (!secondServing) Sleep(10);
  }
  EXPECT_TRUE(secondServing);
  // Requests are enabled a moment before the state word follows.
  for (int i = 0; i < 500 && StateWord(kSecond) != L"started"; ++i) Sleep(10);
  EXPECT_EQ(StateWord(kSecond), L"started");
  EXPECT_TRUE(VolatileParametersExist(kSecond));
  secondModule.close();
  EXPECT_EQ(StateWord(kSecond), L"stopped");
  RequestList stillServed({kRegion + L".2.0"});
  EXPECT_EQ(Query(SNMP_PDU_GET, stillServed).status, 0) << "closing the second agent stopped the first";
  RequestList refused({kRegion + L".2.0"});
  EXPECT_EQ(secondModule.Query(SNMP_PDU_GET, refused).status, SNMP_ERRORSTATUS_NOSUCHNAME);
  FreeLibrary(second);
  EXPECT_EQ(StateWord(kSecond), L"unloaded");
  EXPECT_FALSE(VolatileParametersExist(kSecond)) << "status values go with the module";
}

// Runs after the module was freed above: a new load starts it afresh, as the service
// does when it loads an agent again.
TEST_F(LoadedPlugin, AFreedAgentModuleLoadsAndServesAgain) {
  constexpr wchar_t kSecond[] = L"TestSnmpAgentCopy";
  HMODULE again = LoadLibraryW(PluginPath(FW_SECOND_AGENT_DLL).c_str());
  ASSERT_NE(again, nullptr) << GetLastError();
  EXPECT_EQ(StateWord(kSecond), L"loaded") << "the module was attached again";
  ExtensionModule againModule;
  ASSERT_TRUE(againModule.Find(again));
  HANDLE trapEvent = nullptr;
  ASSERT_TRUE(againModule.init(0, &trapEvent, nullptr));
  AsnInteger32 status = -1;
  for (int i = 0; i < 1000 && status != 0; ++i) {
    RequestList probe({kRegion + L".2.0"});
    status = againModule.Query(SNMP_PDU_GET, probe).status;
    if (status != 0) Sleep(10);
  }
  EXPECT_EQ(status, 0);
  againModule.close();
  FreeLibrary(again);
  EXPECT_EQ(StateWord(kSecond), L"unloaded");
}

// Runs after the tests above (definition order): the agent is serving.
TEST_F(LoadedPlugin, CloseStopsTheAgentAndLaterRequestsAreRefused) {
  ASSERT_TRUE(WaitUntilServing());
  plugin.close();
  plugin.close();  // a second close does nothing
  RequestList get({kRegion + L".2.0"});
  const Answer answer = Query(SNMP_PDU_GET, get);
  EXPECT_TRUE(answer.result);
  EXPECT_EQ(answer.status, SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(answer.index, 1);
}

}  // namespace

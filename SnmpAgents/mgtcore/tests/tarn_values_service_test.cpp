// The test agent's management-service objects against a running mgtcore: reads with
// offsets, mappings and defaults, writes that reach the service's configuration file,
// every command status a write can be refused with, bad replies and a stalled service.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "mgtcore_process.h"
#include "request_builder.h"
#include "test_agent.h"

namespace {

using namespace mgtcore_test;
using namespace fw::testing;

std::string Oi(TarnTestObject oi) { return std::to_string(oi); }

std::string Config() {
  std::ostringstream config;
  config << "{\"Values\":[";
  const std::pair<TarnTestObject, const char*> values[] = {
      {kTarnOffset, "2"}, {kTarnMapped, "1"}, {kTarnGauge, "4000000000"}, {kTarnText, "\"hello\""},
      {kTarnSetEnabled, "3"}, {kTarnKept, "9"}};
  for (const auto& [oi, data] : values) {
    config << (oi == kTarnOffset ? "" : ",") << "{\"OE\":" << kTarnTestCode << ",\"OI\":" << oi
           << ",\"CA\":" << kTarnTestCabinet << ",\"DA\":" << data << "}";
  }
  config << "]}";
  return config.str();
}

std::wstring ObjectOid(TarnTestObject oi) {
  return std::wstring(kTestRegion).substr(1) + L".25." + std::to_wstring(oi) + L".0";
}

// The value's data as mgtctl shows it (JSON text), empty when there is none.
std::string ServiceData(TarnTestObject oi) {
  const std::string command = std::string(MGTCTL_PROGRAM) + " value show " + std::to_string(kTarnTestCode) + " " +
                              Oi(oi) + " " + std::to_string(kTarnTestCabinet);
  FILE* out = popen(command.c_str(), "r");
  std::string text;
  char buffer[512];
  while (out && std::fgets(buffer, sizeof buffer, out)) text += buffer;
  if (out) pclose(out);
  rapidjson::Document reply;
  reply.Parse(text.c_str());
  if (reply.HasParseError() || !reply.HasMember("values") || reply["values"].Empty()) return std::string();
  const std::string data = text.substr(text.find("\"DA\":") + 5);
  return data.substr(0, data.find(",\"ST\""));
}

int SetService(TarnTestObject oi, const std::string& value, const std::string& status = "0",
               const std::string& writeStatus = "0") {
  return Mgtctl({"value", "set", std::to_string(kTarnTestCode), Oi(oi), std::to_string(kTarnTestCabinet), value, status,
                 writeStatus});
}

class TarnValuesService : public ::testing::Test {
 protected:
  void SetUp() override {
    std::remove(PidFile().c_str());
    g_AgentName = L"TarnValuesAgent";
    ASSERT_TRUE(m_service.Start(Config())) << "see " << StateDir() << "/mgtcore.log";
    if (const wchar_t* method = RequestMethod()) m_agent.GetTarnClient().SetRequestMethod(method);
    HANDLE trapEvent = nullptr;
    ASSERT_TRUE(m_agent.SnmpInit(0, &trapEvent, nullptr));
    ASSERT_TRUE(m_agent.WaitUntilServing(10000));
    SettledRequestCount();  // a fault armed by a test must meet the test's own request
  }
  void TearDown() override { m_agent.StopAgent(); }
  // The client's request method; null: its own choice ("JsonRequest").
  virtual const wchar_t* RequestMethod() const { return nullptr; }

  // One GET; the value as text and the error status.
  std::wstring Get(TarnTestObject oi, AsnInteger32* status = nullptr) {
    RequestList request({ObjectOid(oi)});
    AsnInteger32 error = -1, index = -1;
    m_agent.SnmpQuery(SNMP_PDU_GET, &request.list, &error, &index);
    if (status) *status = error;
    return request.Value(0);
  }
  AsnInteger32 SetNumber(TarnTestObject oi, DWORD value, BYTE type = ASN_INTEGER) {
    RequestList request({ObjectOid(oi)});
    SetValueNumber(&request[0], value, type);
    return Set(request);
  }
  AsnInteger32 SetText(TarnTestObject oi, const wchar_t* text) {
    RequestList request({ObjectOid(oi)});
    SetValueText(&request[0], text, ASN_OCTETSTRING);
    return Set(request);
  }
  AsnInteger32 Set(RequestList& request) {
    AsnInteger32 error = -1, index = -1;
    m_agent.SnmpQuery(SNMP_PDU_SET, &request.list, &error, &index);
    return error;
  }

  // The requests served once the agent's own attach traffic has settled, so that a count
  // taken from here sees only the test's requests.
  static uint64_t SettledRequestCount() {
    uint64_t count = RequestsServed();
    for (int quiet = 0; quiet < 3;) {
      std::this_thread::sleep_for(100ms);
      const uint64_t now = RequestsServed();
      quiet = now == count ? quiet + 1 : 0;
      count = now;
    }
    return count;
  }

  MgtCore m_service;
  CTestAgent m_agent{true, CTestAgent::Service::MgtCore};
};

TEST_F(TarnValuesService, ReadsTranslateTheServiceValues) {
  struct Case {
    TarnTestObject oi;
    std::wstring value;
  } const cases[] = {
      {kTarnOffset, L"Integer: 7 ("},         {kTarnMapped, L"Integer: 2 ("},
      {kTarnGauge, L"Gauge32: 4000000000 ("}, {kTarnText, L"hello"},
      {kTarnSetEnabled, L"Integer: 3 ("},     {kTarnKept, L"Integer: 9 ("},
      {kTarnCallback, L"Integer: 4711 ("},
  };
  for (const Case& c : cases) {
    AsnInteger32 status = -1;
    const std::wstring value = Get(c.oi, &status);
    EXPECT_EQ(status, SNMP_ERRORSTATUS_NOERROR) << c.oi;
    EXPECT_NE(value.find(c.value), std::wstring::npos) << c.oi << ": " << value;
  }
}

TEST_F(TarnValuesService, UnusableAnswersGiveTheDefaults) {
  struct Case {
    TarnTestObject oi;
    std::string data;
    std::string status;
    std::wstring expected;
  } const cases[] = {
      {kTarnOffset, "\"abc\"", "0", L"Integer: -1 ("},        {kTarnOffset, "5000000000", "0", L"Integer: -1 ("},
      {kTarnOffset, "{\"X\":1}", "0", L"Integer: -1 ("},      {kTarnOffset, "2.5", "0", L"Integer: -1 ("},
      {kTarnOffset, "2", "1", L"Integer: -1 ("},              {kTarnOffset, "null", "0", L"Integer: -1 ("},
      {kTarnMapped, "4", "0", L"Integer: -1 ("},
      {kTarnGauge, "-3000000000", "0", L"Gauge32: 4294967295 ("},
      {kTarnText, "\"\"", "0", L"unknown"},        {kTarnText, "\"x\"", "25", L"unknown"},
      {kTarnText, "[\"a\"]", "0", L"unknown"},     {kTarnOffset, "-7", "12", L"Integer: -2 ("},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(SetService(c.oi, c.data, c.status), 0) << c.data;
    AsnInteger32 status = -1;
    const std::wstring value = Get(c.oi, &status);
    EXPECT_EQ(status, SNMP_ERRORSTATUS_NOERROR) << c.data;
    EXPECT_NE(value.find(c.expected), std::wstring::npos) << c.oi << " " << c.data << ": " << value;
  }
}

TEST_F(TarnValuesService, WritesReachTheServiceAndItsConfigurationFile) {
  EXPECT_EQ(SetNumber(kTarnOffset, 10), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(ServiceData(kTarnOffset), "5") << "MIB value 10 - offset 5";
  EXPECT_NE(Get(kTarnOffset).find(L"Integer: 10 ("), std::wstring::npos);
  EXPECT_EQ(SetNumber(kTarnMapped, 3), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(ServiceData(kTarnMapped), "5") << "through the mapping list";
  EXPECT_EQ(SetNumber(kTarnGauge, 123, ASN_GAUGE32), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(ServiceData(kTarnGauge), "123");
  EXPECT_EQ(SetText(kTarnText, L"gr\u00FC\u00DF"), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(ServiceData(kTarnText), "\"gr\xC3\xBC\xC3\x9F\"");
  EXPECT_EQ(SetNumber(kTarnSetEnabled, 8), SNMP_ERRORSTATUS_NOERROR) << "read-only, but set-enabled";
  EXPECT_EQ(ServiceData(kTarnSetEnabled), "8");

  const uint64_t before = SettledRequestCount();
  EXPECT_EQ(SetNumber(kTarnMapped, 7), SNMP_ERRORSTATUS_BADVALUE);
  EXPECT_EQ(RequestsServed(), before + 1) << "the check reads, the write is never sent";
  EXPECT_EQ(ServiceData(kTarnMapped), "5");
  EXPECT_EQ(SetNumber(kTarnCallback, 1), SNMP_ERRORSTATUS_READONLY);

  // The written values survive a restart of the service.
  EXPECT_EQ(m_agent.MappingTable().count(L"testTarnMapped"), 1u);
  m_agent.StopAgent();
  EXPECT_TRUE(m_agent.MappingTable().empty()) << "emptied after the attached pass";
  ASSERT_TRUE(m_service.Stop());
  std::ifstream saved(StateDir() + "/mgtcore.json");
  std::stringstream text;
  text << saved.rdbuf();
  ASSERT_TRUE(m_service.Start(text.str()));
  EXPECT_EQ(ServiceData(kTarnOffset), "5");
  EXPECT_EQ(ServiceData(kTarnText), "\"gr\xC3\xBC\xC3\x9F\"");
}

TEST_F(TarnValuesService, RefusedWritesReportTheirStatusAndChangeNothing) {
  struct Case {
    const char* readStatus;
    const char* writeStatus;
    AsnInteger32 snmp;
  } const cases[] = {
      {"0", "1", SNMP_ERRORSTATUS_NOSUCHNAME}, {"0", "2", SNMP_ERRORSTATUS_NOSUCHNAME},
      {"0", "19", SNMP_ERRORSTATUS_NOSUCHNAME}, {"0", "20", SNMP_ERRORSTATUS_NOSUCHNAME},
      {"0", "25", SNMP_ERRORSTATUS_NOSUCHNAME}, {"0", "4", SNMP_ERRORSTATUS_BADVALUE},
      {"0", "7", SNMP_ERRORSTATUS_READONLY},    {"0", "8", SNMP_ERRORSTATUS_READONLY},
      {"0", "10", SNMP_ERRORSTATUS_TOOBIG},     {"0", "3", SNMP_ERRORSTATUS_GENERR},
      {"1", "0", SNMP_ERRORSTATUS_NOACCESS},    {"8", "0", SNMP_ERRORSTATUS_NOACCESS},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(SetService(kTarnOffset, "2", c.readStatus, c.writeStatus), 0);
    EXPECT_EQ(SetNumber(kTarnOffset, 40), c.snmp) << c.readStatus << "/" << c.writeStatus;
    EXPECT_EQ(ServiceData(kTarnOffset), "2") << c.readStatus << "/" << c.writeStatus;
  }
  ASSERT_EQ(SetService(kTarnOffset, "2"), 0);
  EXPECT_EQ(SetText(kTarnOffset, L"text"), SNMP_ERRORSTATUS_BADVALUE) << "the service refuses a text for a number";
  EXPECT_EQ(ServiceData(kTarnOffset), "2");
}

TEST_F(TarnValuesService, KeepValueAsksTheServiceOnce) {
  ASSERT_NE(Get(kTarnKept).find(L"Integer: 9 ("), std::wstring::npos);
  const uint64_t before = SettledRequestCount();
  ASSERT_EQ(SetService(kTarnKept, "10"), 0);
  EXPECT_NE(Get(kTarnKept).find(L"Integer: 9 ("), std::wstring::npos) << "the kept answer";
  EXPECT_EQ(RequestsServed(), before);
  EXPECT_EQ(SetNumber(kTarnKept, 11), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_NE(Get(kTarnKept).find(L"Integer: 11 ("), std::wstring::npos) << "the written value is kept";
  EXPECT_EQ(RequestsServed(), before + 2) << "check and write only";
}

TEST_F(TarnValuesService, MalformedRepliesAndAStalledServiceFailCleanly) {
  ASSERT_EQ(Mgtctl({"fault", "json", "1"}), 0);
  EXPECT_NE(Get(kTarnOffset).find(L"Integer: -1 ("), std::wstring::npos) << "a malformed reply gives the default";
  EXPECT_NE(Get(kTarnOffset).find(L"Integer: 7 ("), std::wstring::npos);
  ASSERT_EQ(Mgtctl({"fault", "json", "2"}), 0);
  EXPECT_EQ(SetNumber(kTarnOffset, 30), SNMP_ERRORSTATUS_NOACCESS) << "the check's reply is malformed";
  ASSERT_EQ(Mgtctl({"fault", "json", "0"}), 0);
  EXPECT_EQ(ServiceData(kTarnOffset), "2");

  setenv("WINAPI_COM_CALL_TIMEOUT_MS", "1000", 1);
  ASSERT_EQ(Mgtctl({"unresponsive", "on"}), 0);
  const auto began = Clock::now();
  AsnInteger32 status = -1;
  EXPECT_NE(Get(kTarnOffset, &status).find(L"Integer: -1 ("), std::wstring::npos);
  EXPECT_EQ(status, SNMP_ERRORSTATUS_NOERROR);
  EXPECT_LT(Clock::now() - began, 5000ms) << "the call deadline ends a stalled request";
  unsetenv("WINAPI_COM_CALL_TIMEOUT_MS");
  ASSERT_EQ(Mgtctl({"unresponsive", "off"}), 0);
  EXPECT_TRUE(WaitUntil([&] { return Get(kTarnOffset).find(L"Integer: 7 (") != std::wstring::npos; }));
}

// The same values through "CmdRequest": numbers and texts travel as bytes.
class TarnValuesServiceCmd : public TarnValuesService {
 protected:
  const wchar_t* RequestMethod() const override { return L"CmdRequest"; }
};

TEST_F(TarnValuesServiceCmd, ValuesTravelAsBytes) {
  EXPECT_NE(Get(kTarnOffset).find(L"Integer: 7 "), std::wstring::npos) << Get(kTarnOffset);
  EXPECT_NE(Get(kTarnText).find(L"\"hello\""), std::wstring::npos);
  EXPECT_NE(Get(kTarnGauge).find(L"Gauge32: 4000000000 ("), std::wstring::npos);
  EXPECT_EQ(SetNumber(kTarnOffset, 1), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_NE(Get(kTarnOffset).find(L"Integer: 1 "), std::wstring::npos) << "-4 as four bytes reads back as -4";
  EXPECT_EQ(SetText(kTarnText, L"bytes"), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(ServiceData(kTarnText), "\"bytes\"");
  ASSERT_EQ(SetService(kTarnOffset, "2", "0", "8"), 0);
  EXPECT_EQ(SetNumber(kTarnOffset, 40), SNMP_ERRORSTATUS_READONLY);
}

}  // namespace

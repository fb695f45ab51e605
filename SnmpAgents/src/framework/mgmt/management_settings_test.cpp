// RunConfigChecks: what it asks the service and what it makes of the answers.
#include "management_settings.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "relay_client.h"

namespace {

// Answers settings requests from a table; a code without an entry fails.
class ScriptedClient final : public CRelayClient {
 public:
  using CRelayClient::Request;
  LONG Request(Tarn& record, DWORD timeout) override {
    requests.push_back(record.ToJson());
    timeouts.push_back(timeout);
    const auto it = answers.find(record.Get(L"OE"));
    if (it == answers.end()) {
      record.Set(L"ST", 6);
      return 6;
    }
    record.Set(L"ST", it->second.first);
    record.SetNumberData(it->second.second);
    return it->second.first;
  }
  std::map<DWORD, std::pair<LONG, int64_t>> answers;
  std::vector<std::wstring> requests;
  std::vector<DWORD> timeouts;
};

TEST(RunConfigChecks, AsksForEachSettingInOrderWithAConfigSpaceRequest) {
  ScriptedClient client;
  ManagementSettings settings;
  EXPECT_TRUE(RunConfigChecks(client, L"TestAgent", settings));
  ASSERT_EQ(5u, client.requests.size());
  const DWORD order[] = {0x3811, 0x3810, 0x3812, 0x3800, 0x3801};
  for (size_t i = 0; i < 5; ++i) {
    Tarn request;
    ASSERT_TRUE(request.FromJson(client.requests[i]));
    EXPECT_EQ(kConfigSpaceCode, request.Get(L"OC"));
    EXPECT_EQ(order[i], request.Get(L"OE"));
    EXPECT_EQ(0u, request.Get(L"OI", 9));
    EXPECT_EQ(0xFFFFFFFFu, request.Get(L"CA"));
    EXPECT_FALSE(request.Has(L"ST"));
    EXPECT_FALSE(request.HasData());
    EXPECT_EQ(0u, client.timeouts[i]);
  }
}

TEST(RunConfigChecks, TakesGoodAnswersAndFailureValuesOtherwise) {
  const struct Case {
    std::map<DWORD, std::pair<LONG, int64_t>> answers;
    bool setAllowed, shutdownIsAllowed, doAccountCheck;
    BYTE trap2EventLog, trapToAdminAlert;
  } cases[] = {
      {{}, false, false, true, 0, 0},
      {{{0x3810, {0, 1}}, {0x3811, {12, 1}}, {0x3812, {21, 0}}, {0x3800, {255, 0x107}}, {0x3801, {0, 3}}},
       true, true, false, 7, 3},
      // Refused statuses: the failure values, whatever the data says.
      {{{0x3810, {1, 1}}, {0x3811, {22, 1}}, {0x3812, {6, 0}}, {0x3800, {25, 4}}, {0x3801, {2, 3}}},
       false, false, true, 0, 0},
  };
  for (const auto& c : cases) {
    ScriptedClient client;
    client.answers = c.answers;
    ManagementSettings settings;
    settings.SetAllowed = true;  // not the start value: every setting is written
    settings.Trap2EventLog = 9;
    RunConfigChecks(client, L"TestAgent", settings);
    EXPECT_EQ(c.setAllowed, settings.SetAllowed.load());
    EXPECT_EQ(c.shutdownIsAllowed, settings.ShutdownIsAllowed.load());
    EXPECT_EQ(c.doAccountCheck, settings.DoAccountCheck.load());
    EXPECT_EQ(c.trap2EventLog, settings.Trap2EventLog.load());
    EXPECT_EQ(c.trapToAdminAlert, settings.TrapToAdminAlert.load());
  }
}

TEST(RunConfigChecks, AnUnattachedClientLeavesTheFailureValues) {
  CRelayClient client;
  ManagementSettings settings;
  settings.DoAccountCheck = false;
  EXPECT_TRUE(RunConfigChecks(client, L"TestAgent", settings));
  EXPECT_TRUE(settings.DoAccountCheck.load());
  EXPECT_EQ(0, settings.Trap2EventLog.load());
}

}  // namespace

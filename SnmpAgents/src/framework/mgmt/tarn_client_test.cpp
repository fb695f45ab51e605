// Management-service events: settings changes, power states, and the hand-over to the agent.
#include "tarn_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class RecordingAgent final : public ITarnEventTarget {
 public:
  const wchar_t* GetAgentName() override { return L"TestAgent"; }
  void RestartAgent(DWORD delayMs) override { restarts.push_back(delayMs); }
  void OnTarnEvent(Tarn& event) override { events.push_back(event.ToJson()); }
  std::vector<DWORD> restarts;
  std::vector<std::wstring> events;
};

struct Expected {
  bool setAllowed = false;
  bool shutdownIsAllowed = false;
  bool doAccountCheck = true;
  BYTE trap2EventLog = 0;
  BYTE trapToAdminAlert = 0;
  size_t restarts = 0;
};

TEST(TarnClientReply, AppliesGoodSettingsAndPowerStatesAndPassesEveryEventOn) {
  const struct Case {
    const wchar_t* command;
    Expected expected;
  } cases[] = {
      {L"{\"OC\":57346,\"OE\":14336,\"ST\":0,\"DA\":4}", {false, false, true, 4, 0, 0}},
      {L"{\"OC\":57346,\"OE\":14337,\"ST\":0,\"DA\":263}", {false, false, true, 0, 7, 0}},
      {L"{\"OC\":57346,\"OE\":14352,\"ST\":12,\"DA\":1}", {true, false, true, 0, 0, 0}},
      {L"{\"OC\":57346,\"OE\":14353,\"ST\":21,\"DA\":{\"RAW\":[1]}}", {false, true, true, 0, 0, 0}},
      {L"{\"OC\":57346,\"OE\":14354,\"ST\":0,\"DA\":0}", {false, false, false, 0, 0, 0}},
      // A refused status or missing data changes nothing.
      {L"{\"OC\":57346,\"OE\":14352,\"ST\":1,\"DA\":1}", {}},
      {L"{\"OC\":57346,\"OE\":14352,\"ST\":0}", {}},
      {L"{\"OC\":57346,\"OE\":14355,\"ST\":0,\"DA\":1}", {}},
      {L"{\"OC\":4944,\"DA\":1}", {false, false, true, 0, 0, 1}},
      {L"{\"OC\":4944,\"DA\":4}", {}},
      {L"{\"OC\":4944,\"DA\":5}", {}},
      {L"{\"OC\":4944,\"DA\":2}", {}},
      {L"{\"OC\":4944}", {}},
      {L"{\"OC\":1,\"OE\":14336,\"ST\":0,\"DA\":4}", {}},
  };
  for (const auto& c : cases) {
    ManagementSettings settings;
    RecordingAgent agent;
    CTarnClient client(agent, settings);
    Tarn event;
    ASSERT_TRUE(event.FromJson(std::wstring(L"{\"SIP\":{\"CMD\":[") + c.command + L"]}}"));
    client.Reply(event);
    const auto label = testing::PrintToString(std::wstring(c.command));
    EXPECT_EQ(c.expected.setAllowed, settings.SetAllowed.load()) << label;
    EXPECT_EQ(c.expected.shutdownIsAllowed, settings.ShutdownIsAllowed.load()) << label;
    EXPECT_EQ(c.expected.doAccountCheck, settings.DoAccountCheck.load()) << label;
    EXPECT_EQ(c.expected.trap2EventLog, settings.Trap2EventLog.load()) << label;
    EXPECT_EQ(c.expected.trapToAdminAlert, settings.TrapToAdminAlert.load()) << label;
    ASSERT_EQ(c.expected.restarts, agent.restarts.size()) << label;
    if (!agent.restarts.empty()) {
      EXPECT_EQ(CTarnClient::kRestartDelayMs, agent.restarts[0]);
    }
    ASSERT_EQ(1u, agent.events.size()) << label << ": every event reaches the agent";
    EXPECT_EQ(event.ToJson(), agent.events[0]);
  }
}

TEST(TarnClientReply, SinkDeliversCmdEventsThroughCallbacksThenReply) {
  ManagementSettings settings;
  RecordingAgent agent;
  CTarnClient client(agent, settings);
  static std::vector<std::wstring> seen;
  seen.clear();
  client.RegisterEventCallback([](Tarn& event, ULONG_PTR) { seen.push_back(event.ToJson()); }, 0);

  uint8_t header[48] = {'$', 'S', 'I', 'P', 2, 0, 48, 0, 1, 0, 0, 0, 0x02, 0xE0, 0, 0, 0x00, 0x38};
  const uint8_t data[] = {5, 0x99};
  VARIANT args[2];
  args[1].vt = VT_BSTR;
  args[1].bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(header), sizeof header);
  args[0].vt = VT_BSTR;
  args[0].bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(data), sizeof data);
  DISPPARAMS params{args, nullptr, 2, 0};
  EXPECT_EQ(S_OK, client.Invoke(kEventFireCmdEvent, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
  EXPECT_EQ(5, settings.Trap2EventLog.load()) << "the header's data length takes one byte of the data";
  ASSERT_EQ(1u, seen.size());
  ASSERT_EQ(1u, agent.events.size());
  EXPECT_EQ(seen[0], agent.events[0]);

  // Truncated or lying headers and wrong argument types are refused without delivery.
  const struct Refusal {
    UINT headerBytes;
    uint8_t dataLength;
    VARTYPE dataType;
    UINT count;
    HRESULT expected;
  } refusals[] = {
      {47, 1, VT_BSTR, 2, DISP_E_TYPEMISMATCH},
      {0, 1, VT_BSTR, 2, DISP_E_TYPEMISMATCH},
      {48, 3, VT_BSTR, 2, DISP_E_TYPEMISMATCH},
      {48, 1, VT_I4, 2, DISP_E_TYPEMISMATCH},
      {48, 1, VT_BSTR, 1, DISP_E_BADPARAMCOUNT},
  };
  for (const auto& r : refusals) {
    header[8] = r.dataLength;
    BSTR headerText = SysAllocStringByteLen(reinterpret_cast<const char*>(header), r.headerBytes);
    BSTR dataText = SysAllocStringByteLen(reinterpret_cast<const char*>(data), sizeof data);
    VARIANT refused[2];
    refused[1].vt = VT_BSTR;
    refused[1].bstrVal = headerText;
    refused[0].vt = r.dataType;
    if (r.dataType == VT_BSTR) refused[0].bstrVal = dataText;
    else refused[0].lVal = 1;
    DISPPARAMS bad{r.count == 2 ? refused : &refused[1], nullptr, r.count, 0};
    EXPECT_EQ(r.expected, client.Invoke(kEventFireCmdEvent, IID_NULL, 0, DISPATCH_METHOD, &bad, nullptr, nullptr, nullptr))
        << r.headerBytes << " " << int(r.dataLength);
    SysFreeString(headerText);
    SysFreeString(dataText);
  }
  EXPECT_EQ(1u, agent.events.size());
  VariantClear(&args[0]);
  VariantClear(&args[1]);
}

TEST(TarnClientReply, SinkRefusesMalformedJsonEventsAndUnknownMembers) {
  RecordingAgent agent;
  ManagementSettings settings;
  CTarnClient client(agent, settings);
  const struct Case {
    DISPID member;
    const wchar_t* text;
    HRESULT expected;
  } cases[] = {
      {kEventJsonEvent, L"{\"SIP\":{\"CMD\":[{\"OC\":1}]}}", S_OK},
      {kEventJsonEvent, L"{\"SIP\":{\"CMD\":[{\"OC\":1}]}", DISP_E_TYPEMISMATCH},
      {kEventJsonEvent, L"not json", DISP_E_TYPEMISMATCH},
      {kEventJsonEvent, L"{\"SIP\":{\"CMD\":[]}}", DISP_E_TYPEMISMATCH},
      {kEventFireTarnEvent, L"{}", DISP_E_MEMBERNOTFOUND},
      {kEventFireReply, L"{}", E_NOTIMPL},
      {kEventFireVBReply, L"{}", E_NOTIMPL},
      {kEventFireVCReply, L"{}", E_NOTIMPL},
      {77, L"{}", DISP_E_MEMBERNOTFOUND},
  };
  for (const auto& c : cases) {
    VARIANT arg;
    arg.vt = VT_BSTR;
    arg.bstrVal = SysAllocString(c.text);
    DISPPARAMS params{&arg, nullptr, 1, 0};
    EXPECT_EQ(c.expected, client.Invoke(c.member, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr))
        << c.member << " " << testing::PrintToString(std::wstring(c.text));
    VariantClear(&arg);
  }
  EXPECT_EQ(1u, agent.events.size());
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(DISP_E_PARAMNOTFOUND, client.Invoke(kEventJsonEvent, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
}

}  // namespace

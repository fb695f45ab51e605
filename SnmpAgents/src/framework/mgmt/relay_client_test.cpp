// The client's behaviour that needs no server: refusals, the unattached state, the
// sink's identity, error texts.
#include "relay_client.h"

#include <gtest/gtest.h>

namespace {

TEST(RelayClient, RefusesEmptyRecordsAndStreamsThatAreNeitherXmlNorJson) {
  CRelayClient client;
  Tarn empty;
  EXPECT_EQ(kTarnStatusFailed, client.Request(empty, 0));
  std::wstring reply = L"untouched";
  for (const wchar_t* text : {static_cast<const wchar_t*>(nullptr), L"", L" {}", L"JSON", L"\t<x/>"}) {
    SetLastError(0);
    EXPECT_FALSE(client.Request(text, reply, 5)) << (text ? testing::PrintToString(std::wstring(text)) : "null");
    EXPECT_EQ(E_INVALIDARG, client.GetLastError());
  }
  EXPECT_EQ(L"untouched", reply);
}

TEST(RelayClient, UnattachedRequestsLeaveTheRecordUnanswered) {
  CRelayClient client;
  EXPECT_FALSE(client.IsAttached());
  Tarn record = Tarn::WithCommand();
  record.Set(L"OC", 0xE001);
  EXPECT_EQ(Tarn::kStatusNotAnswered, client.Request(record, 7));
  EXPECT_EQ(7u, record.Get(L"TO")) << "a timeout argument goes into the record";
  EXPECT_TRUE(FAILED(client.GetLastError()));
  std::wstring method;
  EXPECT_FALSE(client.GetRequestMethod(method));
  EXPECT_TRUE(client.Detach()) << "detaching an unattached client is ignored";
  EXPECT_TRUE(client.CancelRequest(1)) << "nothing to cancel";
  LONG number = 0;
  EXPECT_FALSE(client.GetServerCabinetNumber(number));
}

TEST(RelayClient, MemberTableStartsUnresolvedAndTakesAConfiguredMethod) {
  CRelayClient client;
  for (const wchar_t* name : {L"JsonRequest", L"TarnQuery", L"TarnRequest", L"CmdRequest", L"VCRequestEx", L"VCRequest",
                              L"SyncRequest", L"ServerCabinetNumber", L"DefaultTimeout", L"OstrelVersion", L"ClientName",
                              L"EnableEvents", L"DisableEvents", L"Unknown"}) {
    EXPECT_EQ(-1, client.MemberId(name)) << testing::PrintToString(std::wstring(name));
  }
}

TEST(RelayClient, SinkAnswersOnlyItsOwnInterfaces) {
  CRelayClient client;
  const IID* accepted[] = {&DIID_RelayEvents, &IID_IDispatch, &IID_IUnknown};
  for (const IID* iid : accepted) {
    void* sink = nullptr;
    ASSERT_EQ(S_OK, client.QueryInterface(*iid, &sink));
    EXPECT_EQ(static_cast<IDispatch*>(&client), sink);
    static_cast<IDispatch*>(sink)->Release();
  }
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, client.QueryInterface(IID_IConnectionPoint, &other));
  EXPECT_EQ(nullptr, other);
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"JsonEvent")};
  EXPECT_EQ(E_NOTIMPL, client.GetIDsOfNames(IID_NULL, names, 1, 0, &id));
  EXPECT_EQ(E_NOTIMPL, client.GetTypeInfo(0, 0, nullptr));
  UINT count = 0;
  EXPECT_EQ(E_NOTIMPL, client.GetTypeInfoCount(&count));
}

TEST(RelayClient, ErrorTextFallsBackToTheCode) {
  CRelayClient client;
  EXPECT_FALSE(client.GetErrorText(E_INVALIDARG).empty());
  EXPECT_EQ(L"Unknown error 0xA0041234", client.GetErrorText(static_cast<HRESULT>(0xA0041234)));
  EXPECT_EQ(L"IDispatch error #4660", client.GetErrorText(static_cast<HRESULT>(0xA0021234)));
}

}  // namespace

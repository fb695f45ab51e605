// COM creation, security, the global interface table and call cancellation, against
// our layer and Wine's ole32.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "conformance.h"

namespace {

// {9D3C77A1-5E21-4B8F-A0C4-2F7E19B6D001}: registered nowhere.
const CLSID kUnregisteredClass = {0x9D3C77A1, 0x5E21, 0x4B8F, {0xA0, 0xC4, 0x2F, 0x7E, 0x19, 0xB6, 0xD0, 0x01}};

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override { CoUninitialize(); }
};

class Counted final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return S_OK;
  }
  std::atomic<LONG> refs{1};
};

TEST_F(ComTest, GlobalInterfaceTableHandsTheInterfaceToOtherThreads) {
  IGlobalInterfaceTable* table = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&table)));
  Counted object;
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, table->RegisterInterfaceInGlobal(&object, IID_IDispatch, &cookie));
  EXPECT_NE(0u, cookie);
  EXPECT_LT(1, object.refs) << "the table holds a reference";

  HRESULT fetched = E_FAIL;
  IDispatch* seen = nullptr;
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    fetched = table->GetInterfaceFromGlobal(cookie, IID_IDispatch, reinterpret_cast<void**>(&seen));
    if (seen) seen->Release();
    CoUninitialize();
  });
  other.join();
  EXPECT_EQ(S_OK, fetched);
  EXPECT_EQ(static_cast<IDispatch*>(&object), seen) << "in one apartment the table gives the object itself";

  EXPECT_EQ(S_OK, table->RevokeInterfaceFromGlobal(cookie));
  EXPECT_EQ(1, object.refs) << "revoking drops the table's reference";
  IDispatch* stale = nullptr;
  EXPECT_NE(S_OK, table->GetInterfaceFromGlobal(cookie, IID_IDispatch, reinterpret_cast<void**>(&stale)));
  EXPECT_EQ(nullptr, stale);
  EXPECT_NE(S_OK, table->RevokeInterfaceFromGlobal(cookie)) << "a cookie is revoked once";
  table->Release();
}

TEST_F(ComTest, CreatingAnUnregisteredClassFails) {
  MULTI_QI result{&IID_IDispatch, nullptr, S_OK};
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstanceEx(kUnregisteredClass, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &result));
  EXPECT_EQ(nullptr, result.pItf);
  IUnknown* object = nullptr;
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(kUnregisteredClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)));
  EXPECT_EQ(nullptr, object);
}

TEST(ComCreation, NeedsAnInitialisedThread) {
  HRESULT hr = S_OK;
  std::thread fresh([&] {
    MULTI_QI result{&IID_IGlobalInterfaceTable, nullptr, S_OK};
    hr = CoCreateInstanceEx(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, &result);
    if (result.pItf) result.pItf->Release();
  });
  fresh.join();
  EXPECT_EQ(CO_E_NOTINITIALIZED, hr);
}

TEST_F(ComTest, SecurityIsInitialisedOncePerProcess) {
  const HRESULT first = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                                             RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
  EXPECT_EQ(S_OK, first);
  const HRESULT second = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                                              RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
  conformance::ExpectKnownGap(conformance::OnWine(), "Wine accepts repeated CoInitializeSecurity calls", [&] {
    EXPECT_EQ(RPC_E_TOO_LATE, second);
  });
}

TEST_F(ComTest, CancellationIsPerThreadAndBalanced) {
  conformance::ExpectKnownGap(conformance::OnWine(), "Wine's call cancellation functions are stubs", [&] {
    EXPECT_EQ(CO_E_CANCEL_DISABLED, CoDisableCallCancellation(nullptr)) << "nothing to disable yet";
    EXPECT_EQ(CO_E_CANCEL_DISABLED, CoCancelCall(GetCurrentThreadId(), 1));
    ASSERT_EQ(S_OK, CoEnableCallCancellation(nullptr));
    ASSERT_EQ(S_OK, CoEnableCallCancellation(nullptr));
    EXPECT_EQ(RPC_E_CALL_COMPLETE, CoCancelCall(GetCurrentThreadId(), 1)) << "no call outstanding";
    HRESULT other = S_OK;
    std::thread elsewhere([&] { other = CoDisableCallCancellation(nullptr); });
    elsewhere.join();
    EXPECT_EQ(CO_E_CANCEL_DISABLED, other) << "another thread's enabling does not count";
    EXPECT_EQ(S_OK, CoDisableCallCancellation(nullptr));
    EXPECT_EQ(S_OK, CoDisableCallCancellation(nullptr));
    EXPECT_EQ(CO_E_CANCEL_DISABLED, CoDisableCallCancellation(nullptr));
  });
}

TEST(ComGuids, TextFormRoundTrips) {
  const CLSID relay = {0x5B7E21C4, 0x93A0, 0x11D2, {0xA6, 0xF1, 0x00, 0xA0, 0xD4, 0xE3, 0xB2, 0xC7}};
  wchar_t text[39] = {};
  ASSERT_EQ(39, StringFromGUID2(relay, text, 39));
  EXPECT_STREQ(L"{5B7E21C4-93A0-11D2-A6F1-00A0D4E3B2C7}", text);
  EXPECT_EQ(0, StringFromGUID2(relay, text, 38)) << "too small a buffer";
  CLSID parsed{};
  ASSERT_EQ(S_OK, CLSIDFromString(L"{5b7e21c4-93a0-11d2-a6f1-00a0d4e3b2c7}", &parsed));
  EXPECT_TRUE(IsEqualGUID(relay, parsed));
  for (const wchar_t* bad : {L"", L"{5B7E21C4-93A0-11D2-A6F1-00A0D4E3B2C}", L"5B7E21C4-93A0-11D2-A6F1-00A0D4E3B2C7",
                             L"{5B7E21C4-93A0-11D2-A6F1-00A0D4E3B2CZ}"}) {
    EXPECT_TRUE(FAILED(CLSIDFromString(bad, &parsed))) << "accepted \"" << bad << "\"";
  }
}

}  // namespace

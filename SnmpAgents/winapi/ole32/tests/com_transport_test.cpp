// The local-server transport end to end in one process: a class registered with
// CoRegisterClassObject and reached through CoCreateInstanceEx over its socket, and
// hand-made peers that close, stall or answer with garbage.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "allocation_fault_pass.h"
#include "com_wire.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const CLSID kEchoClass = {0x6A1F0C11, 0x2B3C, 0x4D5E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x01}};
const CLSID kRogueClass = {0x6A1F0C11, 0x2B3C, 0x4D5E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x02}};
const IID kEchoEvents = {0x6A1F0C11, 0x2B3C, 0x4D5E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x03}};

enum : DISPID { kEcho = 1, kStall = 2, kFail = 3, kFire = 4, kEventId = 6 };

std::string SocketPath(const char* name) {
  const char* state = std::getenv("WINAPI_STATE_DIR");
  const std::string dir = std::string(state ? state : "/tmp") + "/run";
  std::string command = "mkdir -p '" + dir + "'";
  if (std::system(command.c_str()) != 0) return std::string();
  return dir + "/" + name + "-" + std::to_string(getpid()) + ".sock";
}

void RegisterSocket(REFCLSID clsid, const std::string& path) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, 40);
  const std::wstring key = std::wstring(L"SOFTWARE\\Classes\\CLSID\\") + text + L"\\LocalServer32";
  HKEY handle = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &handle, nullptr));
  const std::wstring wide(path.begin(), path.end());
  RegSetValueExW(handle, L"Socket", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                 static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
}

// The server's object: echoes, stalls until released, raises exceptions, fires events.
class EchoObject final : public IDispatch, public IConnectionPointContainer, public IConnectionPoint {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) *ppv = static_cast<IDispatch*>(this);
    if (riid == IID_IConnectionPointContainer) *ppv = static_cast<IConnectionPointContainer*>(this);
    if (riid == IID_IConnectionPoint) *ppv = static_cast<IConnectionPoint*>(this);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const std::pair<const wchar_t*, DISPID> table[] = {
        {L"Echo", kEcho}, {L"Stall", kStall}, {L"Fail", kFail}, {L"Fire", kFire}};
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (const auto& [name, id] : table) {
        if (std::wstring(names[i]) == name) ids[i] = id;
      }
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT*) override {
    switch (member) {
      case kEcho: {
        // (text in/out, count): the text gets the count as a suffix of '!'.
        if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
        if (params->rgvarg[1].vt != (VT_BSTR | VT_BYREF) || params->rgvarg[0].vt != VT_I2) return DISP_E_TYPEMISMATCH;
        BSTR* text = params->rgvarg[1].pbstrVal;
        std::wstring grown = std::wstring(*text ? *text : L"") + std::wstring(params->rgvarg[0].iVal, L'!');
        SysFreeString(*text);
        *text = SysAllocString(grown.c_str());
        if (result) {
          result->vt = VT_I4;
          result->lVal = static_cast<LONG>(grown.size());
        }
        return S_OK;
      }
      case kStall: {
        std::unique_lock wait(lock);
        ++stalled;
        changed.notify_all();
        changed.wait_for(wait, 20s, [&] { return released; });
        return S_OK;
      }
      case kFail:
        exception->scode = E_NOTIMPL;
        exception->bstrDescription = SysAllocString(L"not here");
        return DISP_E_EXCEPTION;
      case kFire: {
        std::vector<IDispatch*> targets;
        {
          std::lock_guard guard(lock);
          for (auto* sink : sinks) {
            if (!sink) continue;
            sink->AddRef();
            targets.push_back(sink);
          }
        }
        for (auto* sink : targets) {
          VARIANT arg;
          arg.vt = VT_BSTR;
          arg.bstrVal = SysAllocString(L"{\"SIP\":{}}");
          DISPPARAMS event{&arg, nullptr, 1, 0};
          sink->Invoke(kEventId, IID_NULL, 0, DISPATCH_METHOD, &event, nullptr, nullptr, nullptr);
          VariantClear(&arg);
          sink->Release();
        }
        return S_OK;
      }
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
    if (riid != kEchoEvents) return CONNECT_E_NOCONNECTION;
    *point = this;
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    *iid = kEchoEvents;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    IDispatch* dispatch = nullptr;
    if (FAILED(sink->QueryInterface(kEchoEvents, reinterpret_cast<void**>(&dispatch)))) return CONNECT_E_CANNOTCONNECT;
    std::lock_guard guard(lock);
    sinks.push_back(dispatch);
    *cookie = static_cast<DWORD>(sinks.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    std::lock_guard guard(lock);
    if (cookie == 0 || cookie > sinks.size() || !sinks[cookie - 1]) return CONNECT_E_NOCONNECTION;
    sinks[cookie - 1]->Release();
    sinks[cookie - 1] = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  void WaitStalled() {
    std::unique_lock wait(lock);
    changed.wait_for(wait, 5s, [&] { return stalled > 0; });
  }
  void Release_() {
    std::lock_guard guard(lock);
    released = true;
    changed.notify_all();
  }
  size_t LiveSinks() {
    std::lock_guard guard(lock);
    size_t live = 0;
    for (auto* sink : sinks) live += sink != nullptr;
    return live;
  }

  std::atomic<ULONG> refs{1};
  std::mutex lock;
  std::condition_variable changed;
  std::vector<IDispatch*> sinks;
  int stalled = 0;
  bool released = false;
};

class EchoFactory final : public IClassFactory {
 public:
  explicit EchoFactory(EchoObject& object) : object_(object) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    return object_.QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  EchoObject& object_;
};

// Records the events a client receives and on which thread.
class EventSink final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kEchoEvents) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    std::lock_guard guard(lock);
    if (member == kEventId && params->cArgs == 1 && params->rgvarg[0].vt == VT_BSTR) texts.push_back(params->rgvarg[0].bstrVal);
    thread = GetCurrentThreadId();
    changed.notify_all();
    return S_OK;
  }
  bool WaitFor(size_t count) {
    std::unique_lock wait(lock);
    return changed.wait_for(wait, 5s, [&] { return texts.size() >= count; });
  }
  std::atomic<ULONG> refs{1};
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::wstring> texts;
  DWORD thread = 0;
};

HRESULT Call(IDispatch* object, DISPID member, std::vector<VARIANT> args, VARIANT* result = nullptr,
             EXCEPINFO* exception = nullptr) {
  DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
  return object->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, exception, nullptr);
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    RegisterSocket(kEchoClass, SocketPath("echo"));
    ASSERT_EQ(S_OK, CoRegisterClassObject(kEchoClass, &factory_, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &registration_));
  }
  void TearDown() override {
    object_.Release_();
    if (registration_) CoRevokeClassObject(registration_);
    EXPECT_EQ(1u, object_.refs.load()) << "the server released every reference it took";
    CoUninitialize();
  }
  IDispatch* Create() {
    MULTI_QI result{&IID_IDispatch, nullptr, S_OK};
    EXPECT_EQ(S_OK, CoCreateInstanceEx(kEchoClass, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &result));
    return static_cast<IDispatch*>(result.pItf);
  }

  EchoObject object_;
  EchoFactory factory_{object_};
  DWORD registration_ = 0;
};

TEST_F(TransportTest, CallsCarryNamesArgumentsByReferenceAndExceptions) {
  IDispatch* remote = Create();
  ASSERT_NE(nullptr, remote);
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"Echo"), const_cast<LPOLESTR>(L"Nope")};
  DISPID ids[2] = {};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, remote->GetIDsOfNames(IID_NULL, names, 2, LOCALE_SYSTEM_DEFAULT, ids));
  EXPECT_EQ(kEcho, ids[0]);
  EXPECT_EQ(DISPID_UNKNOWN, ids[1]);

  BSTR text = SysAllocString(L"Gr\u00FC\u00DFe \U0001F600");
  std::vector<VARIANT> args(2);
  args[0].vt = VT_I2;
  args[0].iVal = 3;
  args[1].vt = VT_BSTR | VT_BYREF;
  args[1].pbstrVal = &text;
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, Call(remote, kEcho, args, &result));
  EXPECT_STREQ(L"Gr\u00FC\u00DFe \U0001F600!!!", text) << "the in/out string came back";
  EXPECT_EQ(VT_I4, result.vt);
  EXPECT_EQ(static_cast<LONG>(SysStringLen(text)), result.lVal);
  SysFreeString(text);

  EXCEPINFO exception{};
  EXPECT_EQ(DISP_E_EXCEPTION, Call(remote, kFail, {}, nullptr, &exception));
  EXPECT_EQ(E_NOTIMPL, exception.scode);
  EXPECT_STREQ(L"not here", exception.bstrDescription);
  SysFreeString(exception.bstrDescription);
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(remote, 99, {}));

  VARIANT unsupported;
  VariantInit(&unsupported);
  unsupported.vt = VT_DISPATCH;
  unsupported.pdispVal = remote;
  EXPECT_EQ(DISP_E_BADVARTYPE, Call(remote, kEcho, {unsupported})) << "interfaces are not marshalled";
  remote->Release();
}

TEST_F(TransportTest, EventsReachTheSinkOnAnotherThreadUntilUnadvised) {
  IDispatch* remote = Create();
  ASSERT_NE(nullptr, remote);
  IConnectionPointContainer* container = nullptr;
  ASSERT_EQ(S_OK, remote->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
  IConnectionPoint* point = nullptr;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(kEchoEvents, &point));
  EventSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
  EXPECT_EQ(1u, object_.LiveSinks());

  ASSERT_EQ(S_OK, Call(remote, kFire, {}));
  ASSERT_TRUE(sink.WaitFor(1));
  EXPECT_EQ(L"{\"SIP\":{}}", sink.texts[0]);
  EXPECT_NE(GetCurrentThreadId(), sink.thread) << "events arrive on a COM thread of the client";

  EXPECT_EQ(S_OK, point->Unadvise(cookie));
  EXPECT_EQ(0u, object_.LiveSinks());
  EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
  ASSERT_EQ(S_OK, Call(remote, kFire, {}));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(1u, sink.texts.size()) << "no events after Unadvise";
  EXPECT_EQ(1u, sink.refs.load()) << "the client released the sink";

  IConnectionPoint* wrong = nullptr;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IDispatch, &wrong));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, wrong->Advise(&sink, &cookie)) << "the server knows no such event interface";
  EXPECT_EQ(1u, sink.refs.load());
  wrong->Release();
  point->Release();
  container->Release();
  remote->Release();
}

TEST_F(TransportTest, ALostClientsSinksAreUnadvised) {
  IDispatch* remote = Create();
  ASSERT_NE(nullptr, remote);
  IConnectionPointContainer* container = nullptr;
  remote->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  IConnectionPoint* point = nullptr;
  container->FindConnectionPoint(kEchoEvents, &point);
  EventSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
  point->Release();
  container->Release();
  remote->Release();  // without Unadvise
  for (int i = 0; i < 100 && object_.LiveSinks() != 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(0u, object_.LiveSinks());
  EXPECT_EQ(1u, sink.refs.load());
}

TEST_F(TransportTest, CancelCallEndsABlockedCallAndTheConnectionStaysUsable) {
  IDispatch* remote = Create();
  ASSERT_NE(nullptr, remote);
  ASSERT_EQ(S_OK, CoEnableCallCancellation(nullptr));
  const DWORD caller = GetCurrentThreadId();
  std::thread canceller([&] {
    object_.WaitStalled();
    EXPECT_EQ(S_OK, CoCancelCall(caller, 1));
  });
  const auto start = Clock::now();
  EXPECT_EQ(RPC_E_CALL_CANCELED, Call(remote, kStall, {}));
  EXPECT_LT(Clock::now() - start, 2s);
  canceller.join();
  object_.Release_();
  BSTR text = SysAllocString(L"x");
  std::vector<VARIANT> args(2);
  args[0].vt = VT_I2;
  args[0].iVal = 1;
  args[1].vt = VT_BSTR | VT_BYREF;
  args[1].pbstrVal = &text;
  EXPECT_EQ(S_OK, Call(remote, kEcho, args)) << "the late reply of the cancelled call is discarded";
  EXPECT_STREQ(L"x!", text);
  SysFreeString(text);
  EXPECT_EQ(S_OK, CoDisableCallCancellation(nullptr));
  remote->Release();
}

TEST_F(TransportTest, AServerThatGoesAwayFailsTheCallAndEveryLaterOne) {
  IDispatch* remote = Create();
  ASSERT_NE(nullptr, remote);
  std::thread revoker([&] {
    object_.WaitStalled();
    CoRevokeClassObject(registration_);
  });
  const auto start = Clock::now();
  EXPECT_EQ(RPC_E_DISCONNECTED, Call(remote, kStall, {}));
  EXPECT_LT(Clock::now() - start, 2s);
  object_.Release_();
  revoker.join();
  registration_ = 0;
  EXPECT_EQ(RPC_E_DISCONNECTED, Call(remote, kFire, {}));
  remote->Release();
  MULTI_QI result{&IID_IDispatch, nullptr, S_OK};
  EXPECT_EQ(CO_E_SERVER_EXEC_FAILURE, CoCreateInstanceEx(kEchoClass, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &result));
}

// A peer on the class's socket that answers the first frame as told.
class RoguePeer {
 public:
  enum class Mode { CloseAtOnce, Garbage, OverLongFrame, BadPayload, Silent, GoodCreateThenGarbage };

  explicit RoguePeer(Mode mode) : mode_(mode), path_(SocketPath("rogue")) {
    RegisterSocket(kRogueClass, path_);
    listen_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    unlink(path_.c_str());
    bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listen_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RoguePeer() {
    shutdown(listen_, SHUT_RDWR);
    if (client_ >= 0) shutdown(client_, SHUT_RDWR);
    thread_.join();
    close(listen_);
    if (client_ >= 0) close(client_);
    unlink(path_.c_str());
  }

 private:
  bool ReadFrame(winapi::com::FrameHeader& header) {
    uint8_t raw[winapi::com::kFrameHeaderSize];
    if (recv(client_, raw, sizeof raw, MSG_WAITALL) != static_cast<ssize_t>(sizeof raw)) return false;
    if (!winapi::com::DecodeHeader(raw, header)) return false;
    std::vector<uint8_t> payload(header.length);
    return header.length == 0 || recv(client_, payload.data(), payload.size(), MSG_WAITALL) == static_cast<ssize_t>(payload.size());
  }
  void SendReply(uint32_t callId, const std::vector<uint8_t>& payload, uint32_t length) {
    uint8_t raw[winapi::com::kFrameHeaderSize];
    winapi::com::EncodeHeader({winapi::com::MessageType::Reply, callId, length}, raw);
    send(client_, raw, sizeof raw, MSG_NOSIGNAL);
    send(client_, payload.data(), payload.size(), MSG_NOSIGNAL);
  }
  void Serve() {
    client_ = accept(listen_, nullptr, nullptr);
    if (client_ < 0) return;
    winapi::com::FrameHeader header;
    if (!ReadFrame(header)) return;
    switch (mode_) {
      case Mode::CloseAtOnce:
        shutdown(client_, SHUT_RDWR);
        return;
      case Mode::Garbage: {
        const char junk[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
        send(client_, junk, sizeof junk, MSG_NOSIGNAL);
        break;
      }
      case Mode::OverLongFrame:
        SendReply(header.callId, {}, winapi::com::kMaxPayload + 1);
        break;
      case Mode::BadPayload:
        SendReply(header.callId, {1, 2, 3}, 3);
        break;
      case Mode::Silent:
        break;
      case Mode::GoodCreateThenGarbage: {
        const auto ok = winapi::com::Encode(winapi::com::StatusReply{S_OK});
        SendReply(header.callId, ok, static_cast<uint32_t>(ok.size()));
        if (!ReadFrame(header)) return;
        SendReply(header.callId, {0xff, 0xff}, 2);
        break;
      }
    }
    char sink[256];
    while (recv(client_, sink, sizeof sink, 0) > 0) {
    }
  }

  Mode mode_;
  std::string path_;
  int listen_ = -1;
  std::atomic<int> client_{-1};  // set by the peer's thread
  std::thread thread_;
};

TEST(RogueServer, BrokenAnswersFailCreationWithinTheCallTimeout) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  setenv("WINAPI_COM_CALL_TIMEOUT_MS", "300", 1);
  const struct {
    RoguePeer::Mode mode;
    HRESULT expected;
  } cases[] = {
      {RoguePeer::Mode::CloseAtOnce, CO_E_SERVER_EXEC_FAILURE},
      {RoguePeer::Mode::Garbage, CO_E_SERVER_EXEC_FAILURE},
      {RoguePeer::Mode::OverLongFrame, CO_E_SERVER_EXEC_FAILURE},
      {RoguePeer::Mode::BadPayload, CO_E_SERVER_EXEC_FAILURE},
      {RoguePeer::Mode::Silent, RPC_E_TIMEOUT},
  };
  for (const auto& c : cases) {
    RoguePeer peer(c.mode);
    MULTI_QI result{&IID_IDispatch, nullptr, S_OK};
    const auto start = Clock::now();
    EXPECT_EQ(c.expected, CoCreateInstanceEx(kRogueClass, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &result))
        << "mode " << static_cast<int>(c.mode);
    EXPECT_LT(Clock::now() - start, 2s) << "mode " << static_cast<int>(c.mode);
    EXPECT_EQ(nullptr, result.pItf);
  }
  {
    RoguePeer peer(RoguePeer::Mode::GoodCreateThenGarbage);
    MULTI_QI result{&IID_IDispatch, nullptr, S_OK};
    ASSERT_EQ(S_OK, CoCreateInstanceEx(kRogueClass, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &result));
    auto* remote = static_cast<IDispatch*>(result.pItf);
    EXPECT_EQ(RPC_E_DISCONNECTED, Call(remote, kFire, {}));
    EXPECT_EQ(RPC_E_DISCONNECTED, Call(remote, kFire, {})) << "a dropped connection stays dropped";
    remote->Release();
  }
  unsetenv("WINAPI_COM_CALL_TIMEOUT_MS");
  CoUninitialize();
}

// The COM calls of the management client, with the Nth allocation of the calling thread
// failing: the call that meets the fault returns E_OUTOFMEMORY, the calls before it are
// unaffected, every reference taken is given back and a pass without a fault answers as
// before. Everything the pass needs is there before a fault is armed.
using fault_injection::Fold;
using fault_injection::Outcome;

struct ComPass {
  IDispatch* remote = nullptr;
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  IGlobalInterfaceTable* table = nullptr;
  IDispatch* fromTable = nullptr;
  DWORD cookie = 0;
  DWORD tableCookie = 0;
  EventSink* sink = nullptr;

  void Close() {
    if (point && cookie) point->Unadvise(std::exchange(cookie, 0));
    if (table && tableCookie) table->RevokeInterfaceFromGlobal(std::exchange(tableCookie, 0));
    for (IUnknown* held : std::initializer_list<IUnknown*>{fromTable, point, container, remote, table}) {
      if (held) held->Release();
    }
    fromTable = nullptr;
    point = nullptr;
    container = nullptr;
    remote = nullptr;
    table = nullptr;
  }
};

Outcome Done(HRESULT hr, DWORD value = 0) { return {static_cast<DWORD>(hr), value}; }

// A step after one that failed otherwise than for memory finds nothing to call: its
// outcome then tells, rather than a crash.
constexpr Outcome kNothingToCall{static_cast<DWORD>(E_POINTER), 0};

Outcome Echo(ComPass& p) {
  if (!p.remote) return kNothingToCall;
  BSTR text = SysAllocString(L"memory");
  VARIANT args[2];
  args[0].vt = VT_I2;
  args[0].iVal = 2;
  args[1].vt = VT_BSTR | VT_BYREF;
  args[1].pbstrVal = &text;
  DISPPARAMS params{args, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  const HRESULT hr = p.remote->Invoke(kEcho, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
  const Outcome outcome = Done(hr, Fold(text) ^ static_cast<DWORD>(result.lVal));
  SysFreeString(text);
  VariantClear(&result);
  return outcome;
}

Outcome Raise(ComPass& p) {
  if (!p.remote) return kNothingToCall;
  EXCEPINFO exception{};
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  const HRESULT hr = p.remote->Invoke(kFail, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, &exception, nullptr);
  const Outcome outcome =
      Done(hr == DISP_E_EXCEPTION ? S_OK : hr, Fold(exception.bstrDescription) ^ static_cast<DWORD>(exception.scode));
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  return outcome;
}

using ComStep = fault_injection::Step<ComPass>;

constexpr ComStep kComSteps[] = {
    [](ComPass& p) {
      MULTI_QI result{&IID_IDispatch, nullptr, S_OK};
      const HRESULT hr = CoCreateInstanceEx(kEchoClass, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &result);
      p.remote = static_cast<IDispatch*>(result.pItf);
      return Done(hr);
    },
    [](ComPass& p) {
      LPOLESTR names[] = {const_cast<LPOLESTR>(L"Echo"), const_cast<LPOLESTR>(L"Fire")};
      DISPID ids[2] = {};
      if (!p.remote) return kNothingToCall;
      const HRESULT hr = p.remote->GetIDsOfNames(IID_NULL, names, 2, LOCALE_SYSTEM_DEFAULT, ids);
      return Done(hr, static_cast<DWORD>(ids[0] * 100 + ids[1]));
    },
    Echo,
    Raise,
    [](ComPass& p) {
      if (!p.remote) return kNothingToCall;
      return Done(p.remote->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&p.container)));
    },
    [](ComPass& p) { return p.container ? Done(p.container->FindConnectionPoint(kEchoEvents, &p.point)) : kNothingToCall; },
    [](ComPass& p) { return p.point ? Done(p.point->Advise(p.sink, &p.cookie)) : kNothingToCall; },
    [](ComPass&) { return Done(CoEnableCallCancellation(nullptr)); },
    Echo,
    [](ComPass&) { return Done(CoDisableCallCancellation(nullptr)); },
    [](ComPass& p) { return p.point ? Done(p.point->Unadvise(std::exchange(p.cookie, 0))) : kNothingToCall; },
    [](ComPass& p) {
      return Done(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&p.table)));
    },
    [](ComPass& p) {
      return p.table ? Done(p.table->RegisterInterfaceInGlobal(p.remote, IID_IDispatch, &p.tableCookie)) : kNothingToCall;
    },
    [](ComPass& p) {
      if (!p.table) return kNothingToCall;
      return Done(
          p.table->GetInterfaceFromGlobal(p.tableCookie, IID_IDispatch, reinterpret_cast<void**>(&p.fromTable)));
    },
    [](ComPass& p) {
      return p.table ? Done(p.table->RevokeInterfaceFromGlobal(std::exchange(p.tableCookie, 0))) : kNothingToCall;
    },
};
TEST_F(TransportTest, EveryAllocationFailureFailsOneCallCleanly) {
  EventSink sink;
  ComPass pass;
  pass.sink = &sink;
  fault_injection::ExpectEveryAllocationFaultFailsOneStep(
      kComSteps, pass, static_cast<DWORD>(E_OUTOFMEMORY), [&](long n, size_t step) {
        EXPECT_EQ(1u, sink.refs.load()) << "fault " << n << " in step " << step << " keeps the sink";
      });
  // The server lets go of its objects once their connections are gone; TearDown checks.
  const auto deadline = Clock::now() + 5s;
  while (object_.refs.load() != 1 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
}

}  // namespace

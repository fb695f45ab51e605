// The client side of a local server: a proxy that forwards IDispatch and connection
// point calls over the object's socket, and delivers the server's events to the
// client's sinks on an event thread of its own.
#include "com_internal.h"

#include <oleauto.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <thread>

#include <unistd.h>

#include "errors.h"
#include "wide_text.h"

namespace winapi::com {
namespace {

class ClientConnection : public std::enable_shared_from_this<ClientConnection> {
 public:
  explicit ClientConnection(int& fd) : channel_(fd) {}

  void Start() {
    auto self = shared_from_this();
    reader_ = std::thread([self] { self->ReadLoop(); });
    events_ = std::thread([self] { self->EventLoop(); });
  }

  // Sends one request and waits for its reply, a cancellation, the loss of the
  // connection or the call deadline, whichever comes first.
  HRESULT Call(MessageType type, const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
    auto call = std::make_shared<PendingCall>();
    OutgoingCallScope scope(call);
    uint32_t id = 0;
    {
      std::lock_guard guard(lock_);
      if (lost_) return RPC_E_DISCONNECTED;
      id = nextCall_++;
      if (nextCall_ == 0) nextCall_ = 1;
      pending_[id] = call;
    }
    const PendingEntry entry(*this, id);
    HRESULT hr = S_OK;
    if (!channel_.Send(type, id, request)) {
      hr = RPC_E_DISCONNECTED;
    } else {
      std::unique_lock wait(call->lock);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(CallTimeoutMs());
      call->changed.wait_until(wait, deadline, [&] { return call->done || call->cancelled || call->lost; });
      if (call->done) {
        reply = std::move(call->reply);
      } else if (call->cancelled) {
        hr = RPC_E_CALL_CANCELED;
      } else if (call->lost) {
        hr = RPC_E_DISCONNECTED;
      } else {
        hr = RPC_E_TIMEOUT;
      }
    }
    return hr;
  }

  // A reply that does not decode ends the connection, like a garbled frame.
  void ProtocolError() { channel_.Shutdown(); }

  uint32_t AddSink(IDispatch* sink) {
    std::lock_guard guard(lock_);
    const uint32_t id = nextSink_++;
    sinks_[id] = sink;
    return id;
  }

  IDispatch* TakeSink(uint32_t id) {
    std::lock_guard guard(lock_);
    auto it = sinks_.find(id);
    if (it == sinks_.end()) return nullptr;
    IDispatch* sink = it->second;
    sinks_.erase(it);
    return sink;
  }

  // Ends both threads (joined unless called from one of them) and drops every sink.
  void Shutdown() {
    channel_.Shutdown();
    {
      std::lock_guard guard(lock_);
      stopping_ = true;
    }
    eventsChanged_.notify_all();
    for (std::thread* thread : {&reader_, &events_}) {
      if (!thread->joinable()) continue;
      if (thread->get_id() == std::this_thread::get_id()) {
        thread->detach();
      } else {
        thread->join();
      }
    }
    std::map<uint32_t, IDispatch*> sinks;
    {
      std::lock_guard guard(lock_);
      sinks.swap(sinks_);
    }
    for (auto& [id, sink] : sinks) sink->Release();
  }

 private:
  // Takes a call out of pending_ however it ends, a failed send or allocation included.
  class PendingEntry {
   public:
    PendingEntry(ClientConnection& owner, uint32_t id) : owner_(owner), id_(id) {}
    ~PendingEntry() {
      std::lock_guard guard(owner_.lock_);
      owner_.pending_.erase(id_);
    }
    PendingEntry(const PendingEntry&) = delete;
    PendingEntry& operator=(const PendingEntry&) = delete;

   private:
    ClientConnection& owner_;
    uint32_t id_;
  };

  void ReadLoop() {
    FrameHeader header;
    std::vector<uint8_t> payload;
    while (channel_.Receive(header, payload)) {
      if (header.type == MessageType::Reply) {
        CompleteCall(header.callId, std::move(payload));
        continue;
      }
      EventMessage event;
      if (header.type != MessageType::Event || !Decode(payload, event)) break;
      {
        std::lock_guard guard(lock_);
        queue_.push_back(std::move(event));
      }
      eventsChanged_.notify_all();
    }
    channel_.Shutdown();
    std::map<uint32_t, std::shared_ptr<PendingCall>> pending;
    {
      std::lock_guard guard(lock_);
      lost_ = true;
      pending = pending_;
    }
    for (auto& [id, call] : pending) {
      std::lock_guard guard(call->lock);
      call->lost = true;
      call->changed.notify_all();
    }
    eventsChanged_.notify_all();
  }

  void CompleteCall(uint32_t id, std::vector<uint8_t> payload) {
    std::shared_ptr<PendingCall> call;
    {
      std::lock_guard guard(lock_);
      auto it = pending_.find(id);
      if (it == pending_.end()) return;  // a reply to a cancelled or timed-out call
      call = it->second;
    }
    std::lock_guard guard(call->lock);
    call->reply = std::move(payload);
    call->done = true;
    call->changed.notify_all();
  }

  void EventLoop() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;) {
      EventMessage event;
      IDispatch* sink = nullptr;
      {
        std::unique_lock wait(lock_);
        eventsChanged_.wait(wait, [&] { return stopping_ || lost_ || !queue_.empty(); });
        if (queue_.empty()) break;
        event = std::move(queue_.front());
        queue_.pop_front();
        auto it = sinks_.find(event.sinkId);
        if (it != sinks_.end()) {
          sink = it->second;
          sink->AddRef();
        }
      }
      if (sink) Deliver(sink, event);
    }
    CoUninitialize();
  }

  static void Deliver(IDispatch* sink, const EventMessage& event) {
    std::vector<VARIANT> args(event.args.size());
    for (size_t i = 0; i < args.size(); ++i) VariantFromValue(event.args[i], args[i]);
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    try {
      sink->Invoke(event.member, IID_NULL, 0, event.flags, &params, nullptr, nullptr, nullptr);
    } catch (...) {
      // A sink's failure is its own; the event thread carries on.
    }
    for (auto& arg : args) VariantClear(&arg);
    sink->Release();
  }

  Channel channel_;
  std::mutex lock_;
  std::condition_variable eventsChanged_;
  std::map<uint32_t, std::shared_ptr<PendingCall>> pending_;
  std::map<uint32_t, IDispatch*> sinks_;
  std::deque<EventMessage> queue_;
  uint32_t nextCall_ = 1;
  uint32_t nextSink_ = 1;
  bool lost_ = false;
  bool stopping_ = false;
  std::thread reader_;
  std::thread events_;
};

template <class Reply>
HRESULT CallAndDecode(ClientConnection& connection, MessageType type, const std::vector<uint8_t>& request,
                      Reply& reply) {
  std::vector<uint8_t> payload;
  const HRESULT hr = connection.Call(type, request, payload);
  if (FAILED(hr)) return hr;
  if (Decode(payload, reply)) return S_OK;
  connection.ProtocolError();
  return RPC_E_DISCONNECTED;
}

class RemoteObject;

class RemoteConnectionPoint final : public IConnectionPoint {
 public:
  RemoteConnectionPoint(RemoteObject* owner, std::shared_ptr<ClientConnection> connection, REFIID iid);
  ~RemoteConnectionPoint();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
      *ppv = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    void* dispatch = nullptr;
    if (FAILED(sink->QueryInterface(iid_, &dispatch)) && FAILED(sink->QueryInterface(IID_IDispatch, &dispatch))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    uint32_t sinkId = 0;
    const HRESULT added = winapi::GuardedHResult([&] {
      sinkId = connection_->AddSink(static_cast<IDispatch*>(dispatch));
      return S_OK;
    });
    if (FAILED(added)) {
      static_cast<IDispatch*>(dispatch)->Release();
      return added;
    }
    const HRESULT hr = winapi::GuardedHResult([&] { return AdviseOnServer(sinkId, cookie); });
    if (FAILED(hr)) {
      if (IDispatch* taken = connection_->TakeSink(sinkId)) taken->Release();
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    return winapi::GuardedHResult([&] { return UnadviseOnServer(cookie); });
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
  }

 private:
  HRESULT AdviseOnServer(uint32_t sinkId, DWORD* cookie) {
    // The entry is allocated before the server advises, so that nothing can fail after it did.
    std::map<DWORD, uint32_t> entry{{0, sinkId}};
    AdviseReply reply;
    HRESULT hr = CallAndDecode(*connection_, MessageType::Advise, Encode(AdviseRequest{iid_, sinkId}), reply);
    if (SUCCEEDED(hr)) hr = reply.hr;
    if (FAILED(hr)) return hr;
    auto node = entry.extract(entry.begin());
    node.key() = reply.cookie;
    std::lock_guard guard(lock_);
    sinks_.insert(std::move(node));
    *cookie = reply.cookie;
    return S_OK;
  }

  HRESULT UnadviseOnServer(DWORD cookie) {
    uint32_t sinkId = 0;
    {
      std::lock_guard guard(lock_);
      auto it = sinks_.find(cookie);
      if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
      sinkId = it->second;
    }
    StatusReply reply;
    HRESULT hr = CallAndDecode(*connection_, MessageType::Unadvise, Encode(UnadviseRequest{iid_, cookie}), reply);
    if (SUCCEEDED(hr)) hr = reply.hr;
    // Without a server the connection is gone anyway: the sink is released either way.
    if (SUCCEEDED(hr) || hr == RPC_E_DISCONNECTED) {
      {
        std::lock_guard guard(lock_);
        sinks_.erase(cookie);
      }
      if (IDispatch* taken = connection_->TakeSink(sinkId)) taken->Release();
    }
    return hr;
  }

  std::atomic<ULONG> refs_{1};
  RemoteObject* owner_;
  std::shared_ptr<ClientConnection> connection_;
  IID iid_;
  std::mutex lock_;
  std::map<DWORD, uint32_t> sinks_;  // cookie -> sink id
};

class RemoteObject final : public IDispatch, public IConnectionPointContainer {
 public:
  explicit RemoteObject(std::shared_ptr<ClientConnection> connection) : connection_(std::move(connection)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
    } else if (riid == IID_IConnectionPointContainer) {
      *ppv = static_cast<IConnectionPointContainer*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      connection_->Shutdown();
      delete this;
    }
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return winapi::GuardedHResult([&]() -> HRESULT {
      if (!names || !ids || count == 0 || count > kMaxNames) return E_INVALIDARG;
      NamesRequest request;
      request.lcid = lcid;
      for (UINT i = 0; i < count; ++i) request.names.emplace_back(names[i] ? names[i] : L"");
      NamesReply reply;
      const HRESULT hr = CallAndDecode(*connection_, MessageType::GetIDs, Encode(request), reply);
      if (FAILED(hr)) return hr;
      if (reply.ids.size() != count) {
        connection_->ProtocolError();
        return RPC_E_DISCONNECTED;
      }
      for (UINT i = 0; i < count; ++i) ids[i] = reply.ids[i];
      return reply.hr;
    });
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* excepInfo, UINT* argErr) override {
    return winapi::GuardedHResult([&]() -> HRESULT {
      if (!params || (params->cArgs && !params->rgvarg) || (params->cNamedArgs && !params->rgdispidNamedArgs) ||
          params->cNamedArgs > params->cArgs || params->cArgs > kMaxArgs) {
        return E_INVALIDARG;
      }
      InvokeRequest request;
      request.member = member;
      request.lcid = lcid;
      request.flags = flags;
      request.wantResult = result != nullptr;
      request.args.resize(params->cArgs);
      for (UINT i = 0; i < params->cArgs; ++i) {
        const HRESULT hr = ValueFromVariant(params->rgvarg[i], request.args[i]);
        if (FAILED(hr)) {
          if (argErr) *argErr = i;
          return hr;
        }
      }
      request.named.assign(params->rgdispidNamedArgs, params->rgdispidNamedArgs + params->cNamedArgs);
      InvokeReply reply;
      const HRESULT hr = CallAndDecode(*connection_, MessageType::Invoke, Encode(request), reply);
      if (FAILED(hr)) return hr;
      for (const auto& out : reply.outs) {
        if (out.index < params->cArgs) StoreThroughReference(out.value, params->rgvarg[out.index]);
      }
      if (result) VariantFromValue(reply.result, *result);
      if (argErr) *argErr = reply.argErr;
      if (reply.hr == DISP_E_EXCEPTION && excepInfo) {
        *excepInfo = EXCEPINFO{};
        excepInfo->wCode = reply.wCode;
        excepInfo->scode = reply.scode;
        excepInfo->bstrSource = reply.source.empty() ? nullptr : SysAllocString(reply.source.c_str());
        excepInfo->bstrDescription = reply.description.empty() ? nullptr : SysAllocString(reply.description.c_str());
      }
      return reply.hr;
    });
  }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
  }
  // The server answers for the event interface when a sink is advised.
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
    if (!point) return E_POINTER;
    *point = new (std::nothrow) RemoteConnectionPoint(this, connection_, riid);
    return *point ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::atomic<ULONG> refs_{1};
  std::shared_ptr<ClientConnection> connection_;
};

RemoteConnectionPoint::RemoteConnectionPoint(RemoteObject* owner, std::shared_ptr<ClientConnection> connection,
                                             REFIID iid)
    : owner_(owner), connection_(std::move(connection)), iid_(iid) {
  static_cast<IDispatch*>(owner_)->AddRef();
}

RemoteConnectionPoint::~RemoteConnectionPoint() { static_cast<IDispatch*>(owner_)->Release(); }

HRESULT STDMETHODCALLTYPE RemoteConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  return owner_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container));
}

// Ends a new connection and its threads unless an object took the connection over.
class ConnectionCloser {
 public:
  explicit ConnectionCloser(ClientConnection& connection) : connection_(connection) {}
  ~ConnectionCloser() {
    if (!kept_) connection_.Shutdown();
  }
  ConnectionCloser(const ConnectionCloser&) = delete;
  ConnectionCloser& operator=(const ConnectionCloser&) = delete;
  void Keep() { kept_ = true; }

 private:
  ClientConnection& connection_;
  bool kept_ = false;
};

}  // namespace

HRESULT CreateLocalServerInstance(REFCLSID clsid, IDispatch** object) {
  *object = nullptr;
  std::string path;
  if (const HRESULT found = LocalServerSocketPath(clsid, path); FAILED(found)) return found;
  int fd = ConnectUnixSocket(path);
  if (fd < 0) return CO_E_SERVER_EXEC_FAILURE;
  std::shared_ptr<ClientConnection> connection;
  if (const HRESULT made = winapi::GuardedHResult([&] {
        connection = std::make_shared<ClientConnection>(fd);
        return S_OK;
      });
      FAILED(made)) {
    // Closed by the connection's channel if it was made before the failure.
    if (fd >= 0) close(fd);
    return made;
  }
  ConnectionCloser closer(*connection);
  connection->Start();
  StatusReply reply;
  HRESULT hr = CallAndDecode(*connection, MessageType::Create, Encode(CreateRequest{clsid, IID_IDispatch}), reply);
  if (SUCCEEDED(hr)) hr = reply.hr;
  if (FAILED(hr)) return hr == RPC_E_DISCONNECTED ? CO_E_SERVER_EXEC_FAILURE : hr;
  *object = new RemoteObject(connection);
  closer.Keep();
  return S_OK;
}

}  // namespace winapi::com

// CoCreateInstanceEx
extern "C" WINOLEAPI CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx,
                                        COSERVERINFO* pServerInfo, DWORD dwCount, MULTI_QI* pResults) {
  if (!pResults || dwCount == 0) return E_INVALIDARG;
  for (DWORD i = 0; i < dwCount; ++i) {
    if (!pResults[i].pIID) return E_INVALIDARG;
    pResults[i].pItf = nullptr;
    pResults[i].hr = E_NOINTERFACE;
  }
  if (punkOuter) return CLASS_E_NOAGGREGATION;
  if (pServerInfo && pServerInfo->pwszName && *pServerInfo->pwszName) return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  if (!winapi::com::IsThreadInitialized()) return CO_E_NOTINITIALIZED;
  IUnknown* object = nullptr;
  if ((dwClsCtx & CLSCTX_INPROC_SERVER) && rclsid == CLSID_StdGlobalInterfaceTable) {
    object = winapi::com::GlobalInterfaceTable();
  } else if (dwClsCtx & CLSCTX_LOCAL_SERVER) {
    IDispatch* dispatch = nullptr;
    const HRESULT hr =
        winapi::GuardedHResult([&] { return winapi::com::CreateLocalServerInstance(rclsid, &dispatch); });
    if (FAILED(hr)) return hr;
    object = dispatch;
  } else {
    return REGDB_E_CLASSNOTREG;
  }
  DWORD found = 0;
  for (DWORD i = 0; i < dwCount; ++i) {
    pResults[i].hr = object->QueryInterface(*pResults[i].pIID, reinterpret_cast<void**>(&pResults[i].pItf));
    if (SUCCEEDED(pResults[i].hr)) ++found;
  }
  object->Release();
  if (found == dwCount) return S_OK;
  return found ? CO_S_NOTALLINTERFACES : E_NOINTERFACE;
}

// CoCreateInstance
extern "C" WINOLEAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                      LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  MULTI_QI result{&riid, nullptr, S_OK};
  const HRESULT hr = CoCreateInstanceEx(rclsid, pUnkOuter, dwClsContext, nullptr, 1, &result);
  if (FAILED(hr)) return hr;
  *ppv = result.pItf;
  return result.hr;
}

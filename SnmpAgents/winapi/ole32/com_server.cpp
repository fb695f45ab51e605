// The server side of a local server: CoRegisterClassObject listens on the class's
// socket; every accepted connection gets one object from the class factory, whose
// calls run on worker threads (a slow call does not hold up the others), and whose
// events reach the client through sink proxies that post them over the connection.
#include "com_internal.h"

#include <oleauto.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <thread>

#include "errors.h"

namespace winapi::com {
namespace {

constexpr size_t kMaxWorkers = 16;

// A call into the server's own object: whatever it throws is a fault of the server.
template <class Fn>
HRESULT CallServerObject(Fn&& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    return RPC_E_SERVERFAULT;
  }
}

class ServerConnection;

// Stands for the client's sink in the server: Invoke posts the event.
class SinkProxy final : public IDispatch {
 public:
  SinkProxy(std::weak_ptr<ServerConnection> connection, uint32_t sinkId, REFIID iid)
      : connection_(std::move(connection)), sinkId_(sinkId), iid_(iid) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == iid_) {
      *ppv = static_cast<IDispatch*>(this);
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
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override;

 private:
  std::atomic<ULONG> refs_{1};
  std::weak_ptr<ServerConnection> connection_;
  uint32_t sinkId_;
  IID iid_;
};

class ServerConnection : public std::enable_shared_from_this<ServerConnection> {
 public:
  ServerConnection(int& fd, IClassFactory* factory) : channel_(fd), factory_(factory) { factory_->AddRef(); }
  ~ServerConnection() { factory_->Release(); }

  void Start() {
    auto self = shared_from_this();
    reader_ = std::thread([self] { self->ReadLoop(); });
  }
  void Stop() {
    channel_.Shutdown();
    if (reader_.joinable()) reader_.join();
  }
  bool Finished() const { return finished_; }
  bool Post(const EventMessage& event) { return channel_.Send(MessageType::Event, 0, Encode(event)); }

 private:
  void ReadLoop() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    FrameHeader header;
    std::vector<uint8_t> payload;
    while (channel_.Receive(header, payload)) {
      if (!Handle(header, payload)) break;
    }
    channel_.Shutdown();
    StopWorkers();
    ReleaseObject();
    CoUninitialize();
    finished_ = true;
  }

  // False on a protocol error.
  bool Handle(const FrameHeader& header, const std::vector<uint8_t>& payload) {
    switch (header.type) {
      case MessageType::Create: {
        CreateRequest request;
        if (!Decode(payload, request)) return false;
        return Reply(header.callId, Encode(StatusReply{CreateObject(request)}));
      }
      case MessageType::GetIDs: {
        NamesRequest request;
        if (!Decode(payload, request)) return false;
        return Reply(header.callId, Encode(GetIds(request)));
      }
      case MessageType::Invoke: {
        auto request = std::make_shared<InvokeRequest>();
        if (!Decode(payload, *request)) return false;
        const uint32_t callId = header.callId;
        auto self = shared_from_this();
        return RunOnWorker([self, request, callId] { self->Reply(callId, Encode(self->InvokeObject(*request))); });
      }
      case MessageType::Advise: {
        AdviseRequest request;
        if (!Decode(payload, request)) return false;
        return Reply(header.callId, Encode(AdviseSink(request)));
      }
      case MessageType::Unadvise: {
        UnadviseRequest request;
        if (!Decode(payload, request)) return false;
        return Reply(header.callId, Encode(StatusReply{UnadviseSink(request)}));
      }
      default:
        return false;
    }
  }

  bool Reply(uint32_t callId, const std::vector<uint8_t>& payload) {
    channel_.Send(MessageType::Reply, callId, payload);
    return true;  // a failed send ends the reader through the shut-down socket
  }

  IDispatch* Object() {
    std::lock_guard guard(lock_);
    if (object_) object_->AddRef();
    return object_;
  }

  HRESULT CreateObject(const CreateRequest& request) {
    std::lock_guard guard(lock_);
    if (object_) return E_UNEXPECTED;
    void* created = nullptr;
    HRESULT hr = S_OK;
    hr = CallServerObject([&] { return factory_->CreateInstance(nullptr, request.iid, &created); });
    if (FAILED(hr)) return hr;
    IUnknown* unknown = static_cast<IUnknown*>(created);
    void* dispatch = nullptr;
    hr = unknown->QueryInterface(IID_IDispatch, &dispatch);
    unknown->Release();
    if (FAILED(hr)) return hr;
    object_ = static_cast<IDispatch*>(dispatch);
    return S_OK;
  }

  NamesReply GetIds(const NamesRequest& request) {
    NamesReply reply;
    IDispatch* object = Object();
    if (!object) return {E_UNEXPECTED, std::vector<int32_t>(request.names.size(), DISPID_UNKNOWN)};
    std::vector<std::wstring> names = request.names;
    std::vector<LPOLESTR> pointers;
    for (auto& name : names) pointers.push_back(name.data());
    std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
    reply.hr = CallServerObject([&] {
      return object->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(pointers.size()), request.lcid,
                                   ids.data());
    });
    object->Release();
    reply.ids.assign(ids.begin(), ids.end());
    return reply;
  }

  InvokeReply InvokeObject(const InvokeRequest& request) {
    InvokeReply reply;
    IDispatch* object = Object();
    if (!object) return {E_UNEXPECTED};
    const size_t count = request.args.size();
    std::vector<VARIANT> storage(count);  // the values behind by-reference arguments
    std::vector<VARIANT> args(count);
    for (size_t i = 0; i < count; ++i) {
      VariantFromValue(request.args[i], storage[i]);
      if (request.args[i].vt & VT_BYREF) {
        VariantInit(&args[i]);
        args[i].vt = request.args[i].vt;
        args[i].byref = &storage[i].llVal;
      } else {
        args[i] = storage[i];
        storage[i].vt = VT_EMPTY;  // owned by args[i] now
      }
    }
    std::vector<DISPID> named(request.named.begin(), request.named.end());
    DISPPARAMS params{args.data(), named.empty() ? nullptr : named.data(), static_cast<UINT>(count),
                      static_cast<UINT>(named.size())};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    UINT argErr = 0;
    reply.hr = CallServerObject([&] {
      return object->Invoke(request.member, IID_NULL, request.lcid, request.flags, &params,
                            request.wantResult ? &result : nullptr, &exception, &argErr);
    });
    object->Release();
    if (request.wantResult && FAILED(ValueFromVariant(result, reply.result)) && SUCCEEDED(reply.hr)) {
      reply.hr = DISP_E_BADVARTYPE;
      reply.result = WireValue{};
    }
    for (size_t i = 0; i < count; ++i) {
      if (!(request.args[i].vt & VT_BYREF)) continue;
      OutArgument out{static_cast<uint32_t>(i), {}};
      if (SUCCEEDED(ValueFromVariant(args[i], out.value))) reply.outs.push_back(std::move(out));
    }
    reply.wCode = exception.wCode;
    reply.scode = exception.scode;
    if (exception.bstrSource) reply.source = exception.bstrSource;
    if (exception.bstrDescription) reply.description = exception.bstrDescription;
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    reply.argErr = argErr;
    VariantClear(&result);
    for (size_t i = 0; i < count; ++i) {
      VariantClear(&storage[i]);
      if (!(args[i].vt & VT_BYREF)) VariantClear(&args[i]);
    }
    return reply;
  }

  IConnectionPoint* FindPoint(REFIID iid, HRESULT& hr) {
    IDispatch* object = Object();
    if (!object) {
      hr = E_UNEXPECTED;
      return nullptr;
    }
    IConnectionPointContainer* container = nullptr;
    hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    object->Release();
    if (FAILED(hr)) return nullptr;
    IConnectionPoint* point = nullptr;
    hr = container->FindConnectionPoint(iid, &point);
    container->Release();
    return SUCCEEDED(hr) ? point : nullptr;
  }

  AdviseReply AdviseSink(const AdviseRequest& request) {
    AdviseReply reply;
    IConnectionPoint* point = FindPoint(request.iid, reply.hr);
    if (!point) return reply;
    auto* sink = new SinkProxy(weak_from_this(), request.sinkId, request.iid);
    DWORD cookie = 0;
    reply.hr = CallServerObject([&] { return point->Advise(sink, &cookie); });
    sink->Release();
    if (SUCCEEDED(reply.hr)) {
      std::lock_guard guard(lock_);
      advised_.push_back({request.iid, cookie});
      reply.cookie = cookie;
    }
    point->Release();
    return reply;
  }

  HRESULT UnadviseSink(const UnadviseRequest& request) {
    {
      std::lock_guard guard(lock_);
      auto it = std::find_if(advised_.begin(), advised_.end(),
                             [&](const Advised& a) { return a.cookie == request.cookie && a.iid == request.iid; });
      if (it == advised_.end()) return CONNECT_E_NOCONNECTION;
      advised_.erase(it);
    }
    HRESULT hr = S_OK;
    IConnectionPoint* point = FindPoint(request.iid, hr);
    if (!point) return hr;
    hr = point->Unadvise(request.cookie);
    point->Release();
    return hr;
  }

  // A lost client's sinks are unadvised and its object released, as COM does when a
  // client process dies.
  void ReleaseObject() {
    std::vector<Advised> advised;
    {
      std::lock_guard guard(lock_);
      advised.swap(advised_);
    }
    for (const auto& a : advised) {
      HRESULT hr = S_OK;
      if (IConnectionPoint* point = FindPoint(a.iid, hr)) {
        point->Unadvise(a.cookie);
        point->Release();
      }
    }
    IDispatch* object = nullptr;
    {
      std::lock_guard guard(lock_);
      std::swap(object, object_);
    }
    if (object) object->Release();
  }

  bool RunOnWorker(std::function<void()> job) {
    std::lock_guard guard(workLock_);
    jobs_.push_back(std::move(job));
    if (idle_ == 0 && workers_.size() < kMaxWorkers) {
      workers_.emplace_back([this] { WorkerLoop(); });
    }
    workChanged_.notify_one();
    return true;
  }

  void WorkerLoop() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock wait(workLock_);
    for (;;) {
      ++idle_;
      workChanged_.wait(wait, [&] { return stopping_ || !jobs_.empty(); });
      --idle_;
      if (jobs_.empty()) break;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      wait.unlock();
      job();
      wait.lock();
    }
    CoUninitialize();
  }

  void StopWorkers() {
    {
      std::lock_guard guard(workLock_);
      stopping_ = true;
    }
    workChanged_.notify_all();
    for (auto& worker : workers_) worker.join();
  }

  struct Advised {
    IID iid;
    DWORD cookie;
  };

  Channel channel_;
  IClassFactory* factory_;
  std::mutex lock_;
  IDispatch* object_ = nullptr;
  std::vector<Advised> advised_;
  std::thread reader_;
  std::atomic<bool> finished_{false};

  std::mutex workLock_;
  std::condition_variable workChanged_;
  std::deque<std::function<void()>> jobs_;
  std::list<std::thread> workers_;
  size_t idle_ = 0;
  bool stopping_ = false;
};

HRESULT STDMETHODCALLTYPE SinkProxy::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                                            EXCEPINFO*, UINT* argErr) {
  if (!params || (params->cArgs && !params->rgvarg) || params->cArgs > kMaxArgs) return E_INVALIDARG;
  EventMessage event{sinkId_, member, flags, std::vector<WireValue>(params->cArgs)};
  for (UINT i = 0; i < params->cArgs; ++i) {
    const HRESULT hr = ValueFromVariant(params->rgvarg[i], event.args[i]);
    if (FAILED(hr)) {
      if (argErr) *argErr = i;
      return hr;
    }
    event.args[i].vt &= ~VT_BYREF;
  }
  auto connection = connection_.lock();
  if (!connection || !connection->Post(event)) return RPC_E_DISCONNECTED;
  return S_OK;
}

class ClassRegistration {
 public:
  ClassRegistration(IClassFactory* factory, int listenFd, std::string path)
      : factory_(factory), listenFd_(listenFd), path_(std::move(path)) {
    factory_->AddRef();
    if (pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
  }
  // Apart from the constructor, so that the destructor cleans up when the thread cannot start.
  void Start() {
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~ClassRegistration() {
    if (wake_[1] >= 0) {
      const char stop = 1;
      (void)!write(wake_[1], &stop, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& connection : connections_) connection->Stop();
    connections_.clear();
    close(listenFd_);
    for (int fd : wake_) {
      if (fd >= 0) close(fd);
    }
    unlink(path_.c_str());
    factory_->Release();
  }

 private:
  void AcceptLoop() {
    for (;;) {
      pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (poll(fds, wake_[0] >= 0 ? 2 : 1, wake_[0] >= 0 ? -1 : 200) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) continue;
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      PruneFinished();
      try {
        auto connection = std::make_shared<ServerConnection>(fd, factory_);
        connection->Start();
        connections_.push_back(std::move(connection));
      } catch (...) {
        // Closed by the connection's channel if it was made before the failure.
        if (fd >= 0) close(fd);
      }
    }
  }

  void PruneFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (!(*it)->Finished()) {
        ++it;
        continue;
      }
      (*it)->Stop();
      it = connections_.erase(it);
    }
  }

  IClassFactory* factory_;
  int listenFd_;
  std::string path_;
  int wake_[2] = {-1, -1};
  std::thread acceptor_;
  std::vector<std::shared_ptr<ServerConnection>> connections_;  // touched by the acceptor only, until it ends
};

std::mutex g_registrationsLock;
std::map<DWORD, std::unique_ptr<ClassRegistration>> g_registrations;
DWORD g_nextRegistration = 1;

int ListenUnixSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  unlink(path.c_str());  // a socket file left by a server that did not stop cleanly
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace
}  // namespace winapi::com

// CoRegisterClassObject: local servers only; the class must be registered with its socket.
extern "C" WINOLEAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD /*flags*/,
                                           LPDWORD lpdwRegister) {
  using namespace winapi::com;
  if (!pUnk || !lpdwRegister) return E_INVALIDARG;
  *lpdwRegister = 0;
  if (!IsThreadInitialized()) return CO_E_NOTINITIALIZED;
  if (!(dwClsContext & CLSCTX_LOCAL_SERVER)) return E_INVALIDARG;
  IClassFactory* factory = nullptr;
  const HRESULT hr = pUnk->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  std::string path;
  if (const HRESULT found = LocalServerSocketPath(rclsid, path); FAILED(found)) {
    factory->Release();
    return found;
  }
  {
    // A running server answers on the socket: a second registration is refused.
    const int probe = ConnectUnixSocket(path);
    if (probe >= 0) {
      close(probe);
      factory->Release();
      return CO_E_OBJISREG;
    }
  }
  const int fd = ListenUnixSocket(path);
  if (fd < 0) {
    factory->Release();
    return HRESULT_FROM_WIN32(winapi::Win32ErrorFromErrno(errno));
  }
  std::unique_ptr<ClassRegistration> registration;
  const HRESULT made = winapi::GuardedHResult([&] {
    registration = std::make_unique<ClassRegistration>(factory, fd, path);
    return S_OK;
  });
  factory->Release();  // a registration holds its own reference
  if (FAILED(made)) {
    close(fd);
    unlink(path.c_str());
    return made;
  }
  // On failure the registration stops listening and removes its socket as it goes.
  return winapi::GuardedHResult([&] {
    registration->Start();
    std::lock_guard guard(g_registrationsLock);
    const DWORD cookie = g_nextRegistration++;
    g_registrations[cookie] = std::move(registration);
    *lpdwRegister = cookie;
    return S_OK;
  });
}

// CoRevokeClassObject: stops listening and ends every connection of the class.
extern "C" WINOLEAPI CoRevokeClassObject(DWORD dwRegister) {
  using namespace winapi::com;
  std::unique_ptr<ClassRegistration> registration;
  {
    std::lock_guard guard(g_registrationsLock);
    auto it = g_registrations.find(dwRegister);
    if (it == g_registrations.end()) return E_INVALIDARG;
    registration = std::move(it->second);
    g_registrations.erase(it);
  }
  registration.reset();
  return S_OK;
}

// Cluster API over the cluster service stand-in. Handles are entries of the layer's
// handle table; every object handle keeps the connection of the cluster handle it was
// opened on, so a lost service breaks all of them at once. The connection goes back to
// the pool when the last of them is closed; notification ports have their own.
#include "connection.h"

#include <clusapi.h>
#include <winapi_ext.h>

#include <sys/eventfd.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "handles.h"
#include "property_list.h"
#include "wide_text.h"

namespace {

using winapi::cluster::Connection;
namespace wire = winapi::cluster;
using wire::Kind;

class ClusterSession : public winapi::KernelObject {
 public:
  explicit ClusterSession(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}
  const char* TypeName() const override { return "Cluster"; }
  const std::shared_ptr<Connection>& Link() const { return connection_; }

 private:
  std::shared_ptr<Connection> connection_;
};

class ClusterObject : public winapi::KernelObject {
 public:
  ClusterObject(Kind kind, unsigned long long id, std::shared_ptr<Connection> connection)
      : kind_(kind), id_(id), connection_(std::move(connection)) {}
  const char* TypeName() const override { return winapi::cluster::KindName(kind_); }
  Kind ObjectKind() const { return kind_; }
  unsigned long long Id() const { return id_; }
  const std::shared_ptr<Connection>& Link() const { return connection_; }

 private:
  Kind kind_;
  unsigned long long id_;
  std::shared_ptr<Connection> connection_;
};

// A snapshot of names taken when the enumeration is opened, as on Windows: later
// changes of the cluster do not shift the positions of an open enumeration.
class NameEnumeration : public winapi::KernelObject {
 public:
  enum class Scope { Cluster, Group, Resource };
  NameEnumeration(Scope scope, wire::NameItems items)
      : scope_(scope), items_(std::move(items)) {}
  const char* TypeName() const override { return "ClusterEnum"; }
  Scope EnumScope() const { return scope_; }
  const wire::NameItems& Items() const { return items_; }

 private:
  Scope scope_;
  wire::NameItems items_;
};

class ClusterKey : public winapi::KernelObject {
 public:
  ClusterKey(std::shared_ptr<Connection> connection, std::wstring path)
      : connection_(std::move(connection)), path_(std::move(path)) {}
  const char* TypeName() const override { return "ClusterKey"; }
  const std::shared_ptr<Connection>& Link() const { return connection_; }
  const std::wstring& Path() const { return path_; }

 private:
  std::shared_ptr<Connection> connection_;
  std::wstring path_;
};

struct Notification {
  DWORD_PTR key;
  DWORD filter;
  std::wstring name;
};

// One registration of a port: its own socket, on which the service pushes events.
struct Registration {
  Registration() = default;
  ~Registration() {
    if (fd >= 0) close(fd);
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  int fd = -1;
  DWORD filter;
  DWORD_PTR key;
  std::wstring clusterName;
  wire::LineBuffer buffer;
  bool alive = true;
};

class NotifyPort : public winapi::KernelObject {
 public:
  // In the body, after every member: a member that fails to construct must not leave it open.
  NotifyPort() { wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
  ~NotifyPort() override {
    if (wake_ >= 0) close(wake_);
  }
  const char* TypeName() const override { return "ClusterNotifyPort"; }
  bool Valid() const { return wake_ >= 0; }

  void Add(std::unique_ptr<Registration> registration) {
    std::lock_guard<std::mutex> guard(lock_);
    registrations_.push_back(std::move(registration));
  }

  // Ends a pending wait; the port is unusable afterwards.
  void Close() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      closed_ = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
  }

  DWORD Wait(DWORD_PTR* key, LPDWORD filter, LPWSTR name, LPDWORD cchName, DWORD timeoutMs);

 private:
  DWORD Deliver(DWORD_PTR* key, LPDWORD filter, LPWSTR name, LPDWORD cchName);
  void Receive(Registration& registration);

  std::mutex lock_;
  int wake_ = -1;
  bool closed_ = false;
  std::vector<std::unique_ptr<Registration>> registrations_;
  std::deque<Notification> queue_;
};

DWORD NotifyPort::Deliver(DWORD_PTR* key, LPDWORD filter, LPWSTR name, LPDWORD cchName) {
  const Notification& next = queue_.front();
  if (key) *key = next.key;
  if (filter) *filter = next.filter;
  const auto length = static_cast<DWORD>(next.name.size());
  if (!name || *cchName <= length) {
    *cchName = length;
    return ERROR_MORE_DATA;  // the notification stays queued for a larger buffer
  }
  std::memcpy(name, next.name.c_str(), (length + 1) * sizeof(WCHAR));
  *cchName = length;
  queue_.pop_front();
  return ERROR_SUCCESS;
}

void NotifyPort::Receive(Registration& r) {
  char chunk[65536];
  const ssize_t n = read(r.fd, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n > 0) {
    r.buffer.Append(chunk, static_cast<std::size_t>(n));
    std::string_view line;
    while (r.buffer.Next(line) == wire::LineBuffer::Result::Line) {
      wire::Event event;
      // Lines that are no event of this version are dropped; the connection stays.
      if (wire::ParseEvent(line, event) && (event.code & r.filter)) {
        queue_.push_back({r.key, event.code, std::move(event.name)});
      }
    }
    return;
  }
  // The service is gone: report the loss of the cluster once, then fail.
  r.alive = false;
  if (r.filter & CLUSTER_CHANGE_CLUSTER_STATE) queue_.push_back({r.key, CLUSTER_CHANGE_CLUSTER_STATE, r.clusterName});
}

DWORD NotifyPort::Wait(DWORD_PTR* key, LPDWORD filter, LPWSTR name, LPDWORD cchName, DWORD timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<pollfd> fds;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (closed_) return ERROR_INVALID_HANDLE;
      if (!queue_.empty()) return Deliver(key, filter, name, cchName);
      fds.push_back({wake_, POLLIN, 0});
      for (const auto& r : registrations_) {
        if (r->alive) fds.push_back({r->fd, POLLIN, 0});
      }
    }
    if (fds.size() == 1) return RPC_S_SERVER_UNAVAILABLE;
    int wait = -1;
    if (timeoutMs != INFINITE) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return WAIT_TIMEOUT;
      wait = static_cast<int>(std::min<long long>(left, 0x7FFFFFFF));
    }
    const int ready = poll(fds.data(), fds.size(), wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return winapi::Win32ErrorFromErrno(errno);
    if (ready == 0) return WAIT_TIMEOUT;
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return ERROR_INVALID_HANDLE;
    for (auto& r : registrations_) {
      for (const auto& entry : fds) {
        if (entry.fd == r->fd && r->alive && (entry.revents & (POLLIN | POLLHUP | POLLERR))) Receive(*r);
      }
    }
  }
}

template <class T>
std::shared_ptr<T> Find(const void* handle) {
  return winapi::LookupHandleAs<T>(const_cast<void*>(handle));
}

std::shared_ptr<ClusterObject> FindObject(const void* handle, Kind kind) {
  auto object = Find<ClusterObject>(handle);
  return object && object->ObjectKind() == kind ? object : nullptr;
}

// Stores a name with Win32's contract: the length without terminator on success,
// ERROR_MORE_DATA and the needed length (without terminator) when it does not fit.
DWORD CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD cch) {
  if (!cch) return ERROR_INVALID_PARAMETER;
  const auto length = static_cast<DWORD>(name.size());
  if (!buffer || *cch <= length) {
    *cch = length;
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, name.c_str(), (length + 1) * sizeof(WCHAR));
  *cch = length;
  return ERROR_SUCCESS;
}

template <class Handle>
Handle Insert(std::shared_ptr<winapi::KernelObject> object) {
  return static_cast<Handle>(winapi::InsertHandle(std::move(object)));
}

template <class Handle>
Handle FailHandle(DWORD error) {
  winapi::FailWith(error);
  return nullptr;
}

HANDLE OpenObject(HCLUSTER cluster, Kind kind, LPCWSTR name) {
  auto session = Find<ClusterSession>(cluster);
  if (!session) return FailHandle<HANDLE>(ERROR_INVALID_HANDLE);
  if (!name || !*name) return FailHandle<HANDLE>(ERROR_INVALID_PARAMETER);
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    wire::OpenResponse opened;
    const DWORD status = session->Link()->Call(wire::OpenRequest{kind, name}, opened);
    if (status != ERROR_SUCCESS) return FailHandle<HANDLE>(status);
    return winapi::InsertHandle(std::make_shared<ClusterObject>(kind, opened.id, session->Link()));
  });
}

BOOL CloseObject(const void* handle, Kind kind) {
  if (!FindObject(handle, kind) || !winapi::RemoveHandle(const_cast<void*>(handle))) {
    return winapi::FailWith(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}

// State of an object; the node and group names of the response go to the optional buffers.
int ObjectState(const void* handle, Kind kind, LPWSTR node, LPDWORD cchNode, LPWSTR group, LPDWORD cchGroup) {
  auto object = FindObject(handle, kind);
  if (!object) {
    winapi::FailWith(ERROR_INVALID_HANDLE);
    return -1;
  }
  return winapi::GuardedLastError(-1, [&]() -> int {
    wire::StateResponse state;
    const DWORD status = object->Link()->Call(wire::StateRequest{kind, object->Id()}, state);
    if (status != ERROR_SUCCESS) {
      winapi::FailWith(status);
      return -1;
    }
    DWORD copied = ERROR_SUCCESS;
    if (node && cchNode) copied = CopyName(state.node.value_or(std::wstring()), node, cchNode);
    if (copied == ERROR_SUCCESS && group && cchGroup) copied = CopyName(state.group.value_or(std::wstring()), group, cchGroup);
    if (copied != ERROR_SUCCESS) {
      winapi::FailWith(copied);
      return -1;
    }
    return state.state;
  });
}

// The property list of a control code into the caller's buffer, with Win32's contract:
// the bytes returned, or ERROR_MORE_DATA and the bytes needed.
DWORD Control(const std::shared_ptr<Connection>& link, wire::ControlRequest& request, LPVOID out, DWORD outSize,
              LPDWORD returned) {
  Kind codeKind;
  if (!wire::KindOfControlCode(request.code, codeKind) || codeKind != request.kind) return ERROR_INVALID_FUNCTION;
  wire::ControlResponse response;
  const DWORD status = link->Call(request, response);
  if (status != ERROR_SUCCESS) return status;
  const auto size = static_cast<DWORD>(response.data.size());
  if (returned) *returned = size;
  if (!out || outSize < size) return ERROR_MORE_DATA;
  if (size) std::memcpy(out, response.data.data(), size);
  return ERROR_SUCCESS;
}

DWORD ObjectControl(const void* handle, Kind kind, DWORD code, LPVOID out, DWORD outSize, LPDWORD returned) {
  auto object = FindObject(handle, kind);
  if (!object) return ERROR_INVALID_HANDLE;
  return winapi::GuardedStatus<DWORD>([&] {
    wire::ControlRequest request{.kind = kind, .id = object->Id(), .code = code};
    return Control(object->Link(), request, out, outSize, returned);
  });
}

template <class Request>
HANDLE OpenEnumeration(const std::shared_ptr<Connection>& link, const Request& request, NameEnumeration::Scope scope) {
  wire::ItemsResponse response;
  const DWORD status = link->Call(request, response);
  if (status != ERROR_SUCCESS) return FailHandle<HANDLE>(status);
  return winapi::InsertHandle(std::make_shared<NameEnumeration>(scope, std::move(response.items)));
}

std::shared_ptr<NameEnumeration> FindEnumeration(const void* handle, NameEnumeration::Scope scope) {
  auto enumeration = Find<NameEnumeration>(handle);
  return enumeration && enumeration->EnumScope() == scope ? enumeration : nullptr;
}

DWORD EnumItem(const void* handle, NameEnumeration::Scope scope, DWORD index, LPDWORD type, LPWSTR name,
               LPDWORD cchName) {
  auto enumeration = FindEnumeration(handle, scope);
  if (!enumeration) return ERROR_INVALID_HANDLE;
  if (index >= enumeration->Items().size()) return ERROR_NO_MORE_ITEMS;
  const auto& item = enumeration->Items()[index];
  if (type) *type = item.type;
  return CopyName(item.name, name, cchName);
}

DWORD EnumCount(const void* handle, NameEnumeration::Scope scope) {
  auto enumeration = FindEnumeration(handle, scope);
  if (!enumeration) {
    winapi::FailWith(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(enumeration->Items().size());
}

DWORD CloseEnumeration(const void* handle, NameEnumeration::Scope scope) {
  if (!FindEnumeration(handle, scope) || !winapi::RemoveHandle(const_cast<void*>(handle))) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

template <class Request>
HKEY OpenKey(const std::shared_ptr<Connection>& link, const Request& request) {
  wire::PathResponse response;
  const DWORD status = link->Call(request, response);
  if (status != ERROR_SUCCESS) return FailHandle<HKEY>(status);
  return Insert<HKEY>(std::make_shared<ClusterKey>(link, std::move(response.path)));
}

// A registry value as Windows lays it out for this platform's WCHAR.
std::vector<BYTE> ValueBytes(const wire::RegValueResponse& value) {
  std::vector<BYTE> bytes;
  const auto append = [&bytes](const void* data, std::size_t size) {
    const auto* p = static_cast<const BYTE*>(data);
    bytes.insert(bytes.end(), p, p + size);
  };
  const auto appendText = [&append](const std::wstring& text) { append(text.c_str(), (text.size() + 1) * sizeof(WCHAR)); };
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: appendText(value.text.value_or(std::wstring())); break;
    case REG_MULTI_SZ: {
      if (value.list) {
        for (const auto& item : *value.list) appendText(item);
      }
      appendText(std::wstring());
      break;
    }
    case REG_DWORD: {
      const auto number = static_cast<DWORD>(value.number.value_or(0));
      append(&number, sizeof number);
      break;
    }
    case REG_QWORD: {
      const ULONGLONG number = value.number.value_or(0);
      append(&number, sizeof number);
      break;
    }
    default:
      if (value.data) bytes = *value.data;
  }
  return bytes;
}

}  // namespace

// OpenCluster
extern "C" WINAPI_EXPORT HCLUSTER WINAPI OpenCluster(LPCWSTR lpszClusterName) {
  return winapi::GuardedHandle<HCLUSTER>([&]() -> HCLUSTER {
    DWORD error = ERROR_SUCCESS;
    auto connection = winapi::cluster::ConnectionPool::Instance().Acquire(error);
    if (!connection) return FailHandle<HCLUSTER>(error);
    if (lpszClusterName && *lpszClusterName) {
      // Only the local cluster is reachable, under its own name or as this host.
      std::wstring_view wanted(lpszClusterName);
      while (wanted.starts_with(L"\\")) wanted.remove_prefix(1);
      char host[256] = {};
      gethostname(host, sizeof host - 1);
      const std::wstring local = winapi::WideFromUtf8(host);
      if (!winapi::EqualsNoCase(wanted, connection->ClusterName()) && !winapi::EqualsNoCase(wanted, local) &&
          !winapi::EqualsNoCase(wanted, L"localhost") && wanted != L".") {
        return FailHandle<HCLUSTER>(RPC_S_SERVER_UNAVAILABLE);
      }
    }
    return Insert<HCLUSTER>(std::make_shared<ClusterSession>(std::move(connection)));
  });
}

// CloseCluster
extern "C" WINAPI_EXPORT BOOL WINAPI CloseCluster(HCLUSTER hCluster) {
  if (!Find<ClusterSession>(hCluster) || !winapi::RemoveHandle(hCluster)) return winapi::FailWith(ERROR_INVALID_HANDLE);
  return TRUE;
}

// GetClusterInformation
extern "C" WINAPI_EXPORT DWORD WINAPI GetClusterInformation(HCLUSTER hCluster, LPWSTR lpszClusterName,
                                                            LPDWORD lpcchClusterName,
                                                            LPCLUSTERVERSIONINFO lpClusterInfo) {
  auto session = Find<ClusterSession>(hCluster);
  if (!session) return ERROR_INVALID_HANDLE;
  if (!lpcchClusterName) return ERROR_INVALID_PARAMETER;
  if (lpClusterInfo && lpClusterInfo->dwVersionInfoSize < sizeof(CLUSTERVERSIONINFO)) return ERROR_INVALID_PARAMETER;
  return winapi::GuardedStatus<DWORD>([&]() -> DWORD {
    wire::InfoResponse info;
    const DWORD status = session->Link()->Call(wire::InfoRequest{}, info);
    if (status != ERROR_SUCCESS) return status;
    if (lpClusterInfo) {
      lpClusterInfo->MajorVersion = static_cast<WORD>(info.major);
      lpClusterInfo->MinorVersion = static_cast<WORD>(info.minor);
      lpClusterInfo->BuildNumber = static_cast<WORD>(info.build);
      // Longer texts are cut to what the structure holds with its terminator.
      const std::wstring vendor = info.vendor.substr(0, std::size(lpClusterInfo->szVendorId) - 1);
      const std::wstring csd = info.csd.substr(0, std::size(lpClusterInfo->szCSDVersion) - 1);
      std::memset(lpClusterInfo->szVendorId, 0, sizeof lpClusterInfo->szVendorId);
      std::memset(lpClusterInfo->szCSDVersion, 0, sizeof lpClusterInfo->szCSDVersion);
      std::memcpy(lpClusterInfo->szVendorId, vendor.data(), vendor.size() * sizeof(WCHAR));
      std::memcpy(lpClusterInfo->szCSDVersion, csd.data(), csd.size() * sizeof(WCHAR));
      lpClusterInfo->dwClusterHighestVersion = info.highest;
      lpClusterInfo->dwClusterLowestVersion = info.lowest;
      lpClusterInfo->dwFlags = info.flags;
    }
    return CopyName(info.name, lpszClusterName, lpcchClusterName);
  });
}

// GetClusterQuorumResource
extern "C" WINAPI_EXPORT DWORD WINAPI GetClusterQuorumResource(HCLUSTER hCluster, LPWSTR lpszResourceName,
                                                               LPDWORD lpcchResourceName, LPWSTR lpszDeviceName,
                                                               LPDWORD lpcchDeviceName,
                                                               LPDWORD lpdwMaxQuorumLogSize) {
  auto session = Find<ClusterSession>(hCluster);
  if (!session) return ERROR_INVALID_HANDLE;
  if (!lpcchResourceName || !lpcchDeviceName) return ERROR_INVALID_PARAMETER;
  return winapi::GuardedStatus<DWORD>([&]() -> DWORD {
    wire::QuorumResponse quorum;
    const DWORD status = session->Link()->Call(wire::QuorumRequest{}, quorum);
    if (status != ERROR_SUCCESS) return status;
    const DWORD resource = CopyName(quorum.resource, lpszResourceName, lpcchResourceName);
    const DWORD device = CopyName(quorum.device, lpszDeviceName, lpcchDeviceName);
    if (resource != ERROR_SUCCESS || device != ERROR_SUCCESS) return ERROR_MORE_DATA;
    if (lpdwMaxQuorumLogSize) *lpdwMaxQuorumLogSize = quorum.maxLog;
    return ERROR_SUCCESS;
  });
}

// CreateClusterNotifyPort
extern "C" WINAPI_EXPORT HCHANGE WINAPI CreateClusterNotifyPort(HCHANGE hChange, HCLUSTER hCluster, DWORD dwFilter,
                                                                DWORD_PTR dwNotifyKey) {
  const bool newPort = hChange == reinterpret_cast<HCHANGE>(INVALID_HANDLE_VALUE);
  std::shared_ptr<NotifyPort> port = newPort ? nullptr : Find<NotifyPort>(hChange);
  if (!newPort && !port) return FailHandle<HCHANGE>(ERROR_INVALID_HANDLE);
  auto session = Find<ClusterSession>(hCluster);
  if (!session) return FailHandle<HCHANGE>(ERROR_INVALID_HANDLE);
  return winapi::GuardedHandle<HCHANGE>([&]() -> HCHANGE {
    // The cluster handle must still reach its service; a fresh connection alone would
    // hide that the service was restarted under it.
    wire::HelloResponse hello;
    if (const DWORD status = session->Link()->Call(wire::HelloRequest{}, hello); status != ERROR_SUCCESS) {
      return FailHandle<HCHANGE>(status);
    }
    DWORD error = ERROR_SUCCESS;
    auto connection = Connection::Open(error);
    if (!connection) return FailHandle<HCHANGE>(error);
    wire::EmptyResponse registered;
    if (const DWORD status = connection->Call(wire::NotifyRequest{dwFilter}, registered); status != ERROR_SUCCESS) {
      return FailHandle<HCHANGE>(status);
    }
    auto registration = std::make_unique<Registration>();
    registration->filter = dwFilter;
    registration->key = dwNotifyKey;
    registration->clusterName = connection->ClusterName();
    registration->fd = connection->Release();
    if (newPort) {
      port = std::make_shared<NotifyPort>();
      if (!port->Valid()) return FailHandle<HCHANGE>(winapi::Win32ErrorFromErrno(errno));
      port->Add(std::move(registration));
      return Insert<HCHANGE>(port);
    }
    port->Add(std::move(registration));
    return hChange;
  });
}

// GetClusterNotify
extern "C" WINAPI_EXPORT DWORD WINAPI GetClusterNotify(HCHANGE hChange, DWORD_PTR* lpdwNotifyKey,
                                                       LPDWORD lpdwFilterType, LPWSTR lpszName, LPDWORD lpcchName,
                                                       DWORD dwMilliseconds) {
  auto port = Find<NotifyPort>(hChange);
  if (!port) return ERROR_INVALID_HANDLE;
  if (!lpcchName) return ERROR_INVALID_PARAMETER;
  return winapi::GuardedStatus<DWORD>([&]() -> DWORD {
    return port->Wait(lpdwNotifyKey, lpdwFilterType, lpszName, lpcchName, dwMilliseconds);
  });
}

// CloseClusterNotifyPort
extern "C" WINAPI_EXPORT BOOL WINAPI CloseClusterNotifyPort(HCHANGE hChange) {
  auto port = Find<NotifyPort>(hChange);
  if (!port || !winapi::RemoveHandle(hChange)) return winapi::FailWith(ERROR_INVALID_HANDLE);
  port->Close();
  return TRUE;
}

// ClusterOpenEnum
extern "C" WINAPI_EXPORT HCLUSENUM WINAPI ClusterOpenEnum(HCLUSTER hCluster, DWORD dwType) {
  auto session = Find<ClusterSession>(hCluster);
  if (!session) return FailHandle<HCLUSENUM>(ERROR_INVALID_HANDLE);
  return winapi::GuardedHandle<HCLUSENUM>([&]() -> HCLUSENUM {
    return static_cast<HCLUSENUM>(
        OpenEnumeration(session->Link(), wire::EnumRequest{dwType}, NameEnumeration::Scope::Cluster));
  });
}

// ClusterGetEnumCount
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterGetEnumCount(HCLUSENUM hEnum) {
  return EnumCount(hEnum, NameEnumeration::Scope::Cluster);
}

// ClusterEnum
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterEnum(HCLUSENUM hEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszName,
                                                  LPDWORD lpcchName) {
  return EnumItem(hEnum, NameEnumeration::Scope::Cluster, dwIndex, lpdwType, lpszName, lpcchName);
}

// ClusterCloseEnum
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterCloseEnum(HCLUSENUM hEnum) {
  return CloseEnumeration(hEnum, NameEnumeration::Scope::Cluster);
}

// OpenClusterNode
extern "C" WINAPI_EXPORT HNODE WINAPI OpenClusterNode(HCLUSTER hCluster, LPCWSTR lpszNodeName) {
  return static_cast<HNODE>(OpenObject(hCluster, Kind::Node, lpszNodeName));
}

// CloseClusterNode
extern "C" WINAPI_EXPORT BOOL WINAPI CloseClusterNode(HNODE hNode) { return CloseObject(hNode, Kind::Node); }

// GetClusterNodeState
extern "C" WINAPI_EXPORT CLUSTER_NODE_STATE WINAPI GetClusterNodeState(HNODE hNode) {
  return static_cast<CLUSTER_NODE_STATE>(ObjectState(hNode, Kind::Node, nullptr, nullptr, nullptr, nullptr));
}

// ClusterNodeControl
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterNodeControl(HNODE hNode, HNODE /*hHostNode*/, DWORD dwControlCode,
                                                         LPVOID /*lpInBuffer*/, DWORD /*nInBufferSize*/,
                                                         LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                                         LPDWORD lpBytesReturned) {
  return ObjectControl(hNode, Kind::Node, dwControlCode, lpOutBuffer, nOutBufferSize, lpBytesReturned);
}

// OpenClusterGroup
extern "C" WINAPI_EXPORT HGROUP WINAPI OpenClusterGroup(HCLUSTER hCluster, LPCWSTR lpszGroupName) {
  return static_cast<HGROUP>(OpenObject(hCluster, Kind::Group, lpszGroupName));
}

// CloseClusterGroup
extern "C" WINAPI_EXPORT BOOL WINAPI CloseClusterGroup(HGROUP hGroup) { return CloseObject(hGroup, Kind::Group); }

// GetClusterGroupState
extern "C" WINAPI_EXPORT CLUSTER_GROUP_STATE WINAPI GetClusterGroupState(HGROUP hGroup, LPWSTR lpszNodeName,
                                                                         LPDWORD lpcchNodeName) {
  return static_cast<CLUSTER_GROUP_STATE>(ObjectState(hGroup, Kind::Group, lpszNodeName, lpcchNodeName, nullptr, nullptr));
}

// ClusterGroupOpenEnum
extern "C" WINAPI_EXPORT HGROUPENUM WINAPI ClusterGroupOpenEnum(HGROUP hGroup, DWORD dwType) {
  auto group = FindObject(hGroup, Kind::Group);
  if (!group) return FailHandle<HGROUPENUM>(ERROR_INVALID_HANDLE);
  return winapi::GuardedHandle<HGROUPENUM>([&]() -> HGROUPENUM {
    return static_cast<HGROUPENUM>(OpenEnumeration(
        group->Link(), wire::ObjectEnumRequest{Kind::Group, group->Id(), dwType}, NameEnumeration::Scope::Group));
  });
}

// ClusterGroupGetEnumCount
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterGroupGetEnumCount(HGROUPENUM hGroupEnum) {
  return EnumCount(hGroupEnum, NameEnumeration::Scope::Group);
}

// ClusterGroupEnum
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterGroupEnum(HGROUPENUM hGroupEnum, DWORD dwIndex, LPDWORD lpdwType,
                                                       LPWSTR lpszResourceName, LPDWORD lpcchName) {
  return EnumItem(hGroupEnum, NameEnumeration::Scope::Group, dwIndex, lpdwType, lpszResourceName, lpcchName);
}

// ClusterGroupCloseEnum
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterGroupCloseEnum(HGROUPENUM hGroupEnum) {
  return CloseEnumeration(hGroupEnum, NameEnumeration::Scope::Group);
}

// ClusterGroupControl
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterGroupControl(HGROUP hGroup, HNODE /*hHostNode*/, DWORD dwControlCode,
                                                          LPVOID /*lpInBuffer*/, DWORD /*nInBufferSize*/,
                                                          LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                                          LPDWORD lpBytesReturned) {
  return ObjectControl(hGroup, Kind::Group, dwControlCode, lpOutBuffer, nOutBufferSize, lpBytesReturned);
}

// OpenClusterResource
extern "C" WINAPI_EXPORT HRESOURCE WINAPI OpenClusterResource(HCLUSTER hCluster, LPCWSTR lpszResourceName) {
  return static_cast<HRESOURCE>(OpenObject(hCluster, Kind::Resource, lpszResourceName));
}

// CloseClusterResource
extern "C" WINAPI_EXPORT BOOL WINAPI CloseClusterResource(HRESOURCE hResource) {
  return CloseObject(hResource, Kind::Resource);
}

// GetClusterResourceState
extern "C" WINAPI_EXPORT CLUSTER_RESOURCE_STATE WINAPI GetClusterResourceState(HRESOURCE hResource,
                                                                               LPWSTR lpszNodeName,
                                                                               LPDWORD lpcchNodeName,
                                                                               LPWSTR lpszGroupName,
                                                                               LPDWORD lpcchGroupName) {
  return static_cast<CLUSTER_RESOURCE_STATE>(
      ObjectState(hResource, Kind::Resource, lpszNodeName, lpcchNodeName, lpszGroupName, lpcchGroupName));
}

// ClusterResourceOpenEnum
extern "C" WINAPI_EXPORT HRESENUM WINAPI ClusterResourceOpenEnum(HRESOURCE hResource, DWORD dwType) {
  auto resource = FindObject(hResource, Kind::Resource);
  if (!resource) return FailHandle<HRESENUM>(ERROR_INVALID_HANDLE);
  return winapi::GuardedHandle<HRESENUM>([&]() -> HRESENUM {
    return static_cast<HRESENUM>(OpenEnumeration(
        resource->Link(), wire::ObjectEnumRequest{Kind::Resource, resource->Id(), dwType}, NameEnumeration::Scope::Resource));
  });
}

// ClusterResourceGetEnumCount
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterResourceGetEnumCount(HRESENUM hResEnum) {
  return EnumCount(hResEnum, NameEnumeration::Scope::Resource);
}

// ClusterResourceEnum
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterResourceEnum(HRESENUM hResEnum, DWORD dwIndex, LPDWORD lpdwType,
                                                          LPWSTR lpszName, LPDWORD lpcchName) {
  return EnumItem(hResEnum, NameEnumeration::Scope::Resource, dwIndex, lpdwType, lpszName, lpcchName);
}

// ClusterResourceCloseEnum
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterResourceCloseEnum(HRESENUM hResEnum) {
  return CloseEnumeration(hResEnum, NameEnumeration::Scope::Resource);
}

// ClusterResourceControl
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterResourceControl(HRESOURCE hResource, HNODE /*hHostNode*/,
                                                             DWORD dwControlCode, LPVOID /*lpInBuffer*/,
                                                             DWORD /*cbInBufferSize*/, LPVOID lpOutBuffer,
                                                             DWORD cbOutBufferSize, LPDWORD lpBytesReturned) {
  return ObjectControl(hResource, Kind::Resource, dwControlCode, lpOutBuffer, cbOutBufferSize, lpBytesReturned);
}

// ClusterResourceTypeControl
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterResourceTypeControl(HCLUSTER hCluster, LPCWSTR lpszResourceTypeName,
                                                                 HNODE /*hHostNode*/, DWORD dwControlCode,
                                                                 LPVOID /*lpInBuffer*/, DWORD /*nInBufferSize*/,
                                                                 LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                                                 LPDWORD lpBytesReturned) {
  auto session = Find<ClusterSession>(hCluster);
  if (!session) return ERROR_INVALID_HANDLE;
  if (!lpszResourceTypeName || !*lpszResourceTypeName) return ERROR_INVALID_PARAMETER;
  return winapi::GuardedStatus<DWORD>([&]() -> DWORD {
    wire::ControlRequest request{.kind = Kind::ResourceType, .name = lpszResourceTypeName, .code = dwControlCode};
    return Control(session->Link(), request, lpOutBuffer, nOutBufferSize, lpBytesReturned);
  });
}

// OpenClusterNetwork
extern "C" WINAPI_EXPORT HNETWORK WINAPI OpenClusterNetwork(HCLUSTER hCluster, LPCWSTR lpszNetworkName) {
  return static_cast<HNETWORK>(OpenObject(hCluster, Kind::Network, lpszNetworkName));
}

// CloseClusterNetwork
extern "C" WINAPI_EXPORT BOOL WINAPI CloseClusterNetwork(HNETWORK hNetwork) {
  return CloseObject(hNetwork, Kind::Network);
}

// GetClusterNetworkState
extern "C" WINAPI_EXPORT CLUSTER_NETWORK_STATE WINAPI GetClusterNetworkState(HNETWORK hNetwork) {
  return static_cast<CLUSTER_NETWORK_STATE>(ObjectState(hNetwork, Kind::Network, nullptr, nullptr, nullptr, nullptr));
}

// ClusterNetworkControl
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterNetworkControl(HNETWORK hNetwork, HNODE /*hHostNode*/,
                                                            DWORD dwControlCode, LPVOID /*lpInBuffer*/,
                                                            DWORD /*nInBufferSize*/, LPVOID lpOutBuffer,
                                                            DWORD nOutBufferSize, LPDWORD lpBytesReturned) {
  return ObjectControl(hNetwork, Kind::Network, dwControlCode, lpOutBuffer, nOutBufferSize, lpBytesReturned);
}

// OpenClusterNetInterface
extern "C" WINAPI_EXPORT HNETINTERFACE WINAPI OpenClusterNetInterface(HCLUSTER hCluster, LPCWSTR lpszInterfaceName) {
  return static_cast<HNETINTERFACE>(OpenObject(hCluster, Kind::NetInterface, lpszInterfaceName));
}

// GetClusterNetInterface
extern "C" WINAPI_EXPORT DWORD WINAPI GetClusterNetInterface(HCLUSTER hCluster, LPCWSTR lpszNodeName,
                                                             LPCWSTR lpszNetworkName, LPWSTR lpszInterfaceName,
                                                             LPDWORD lpcchInterfaceName) {
  auto session = Find<ClusterSession>(hCluster);
  if (!session) return ERROR_INVALID_HANDLE;
  if (!lpszNodeName || !lpszNetworkName || !lpcchInterfaceName) return ERROR_INVALID_PARAMETER;
  return winapi::GuardedStatus<DWORD>([&]() -> DWORD {
    wire::NameResponse found;
    const DWORD status = session->Link()->Call(wire::NetInterfaceRequest{lpszNodeName, lpszNetworkName}, found);
    if (status != ERROR_SUCCESS) return status;
    return CopyName(found.name, lpszInterfaceName, lpcchInterfaceName);
  });
}

// CloseClusterNetInterface
extern "C" WINAPI_EXPORT BOOL WINAPI CloseClusterNetInterface(HNETINTERFACE hNetInterface) {
  return CloseObject(hNetInterface, Kind::NetInterface);
}

// GetClusterNetInterfaceState
extern "C" WINAPI_EXPORT CLUSTER_NETINTERFACE_STATE WINAPI GetClusterNetInterfaceState(HNETINTERFACE hNetInterface) {
  return static_cast<CLUSTER_NETINTERFACE_STATE>(
      ObjectState(hNetInterface, Kind::NetInterface, nullptr, nullptr, nullptr, nullptr));
}

// ClusterNetInterfaceControl
extern "C" WINAPI_EXPORT DWORD WINAPI ClusterNetInterfaceControl(HNETINTERFACE hNetInterface, HNODE /*hHostNode*/,
                                                                 DWORD dwControlCode, LPVOID /*lpInBuffer*/,
                                                                 DWORD /*nInBufferSize*/, LPVOID lpOutBuffer,
                                                                 DWORD nOutBufferSize, LPDWORD lpBytesReturned) {
  return ObjectControl(hNetInterface, Kind::NetInterface, dwControlCode, lpOutBuffer, nOutBufferSize,
                       lpBytesReturned);
}

// GetClusterKey
extern "C" WINAPI_EXPORT HKEY WINAPI GetClusterKey(HCLUSTER hCluster, REGSAM /*samDesired*/) {
  auto session = Find<ClusterSession>(hCluster);
  if (!session) return FailHandle<HKEY>(ERROR_INVALID_HANDLE);
  return winapi::GuardedHandle<HKEY>([&]() -> HKEY {
    return OpenKey(session->Link(), wire::RegKeyRequest{wire::KeyScope::Cluster, std::nullopt});
  });
}

// GetClusterResourceKey
extern "C" WINAPI_EXPORT HKEY WINAPI GetClusterResourceKey(HRESOURCE hResource, REGSAM /*samDesired*/) {
  auto resource = FindObject(hResource, Kind::Resource);
  if (!resource) return FailHandle<HKEY>(ERROR_INVALID_HANDLE);
  return winapi::GuardedHandle<HKEY>([&]() -> HKEY {
    return OpenKey(resource->Link(), wire::RegKeyRequest{wire::KeyScope::Resource, resource->Id()});
  });
}

// ClusterRegOpenKey
extern "C" WINAPI_EXPORT LONG WINAPI ClusterRegOpenKey(HKEY hKey, LPCWSTR lpszSubKey, REGSAM /*samDesired*/,
                                                       PHKEY phkResult) {
  auto key = Find<ClusterKey>(hKey);
  if (!key) return ERROR_INVALID_HANDLE;
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  return winapi::GuardedStatus<LONG>([&]() -> LONG {
    HKEY opened = OpenKey(key->Link(), wire::RegOpenRequest{key->Path(), lpszSubKey ? lpszSubKey : L""});
    if (!opened) return static_cast<LONG>(GetLastError());
    *phkResult = opened;
    return ERROR_SUCCESS;
  });
}

// ClusterRegQueryValue
extern "C" WINAPI_EXPORT LONG WINAPI ClusterRegQueryValue(HKEY hKey, LPCWSTR lpszValueName, LPDWORD lpdwValueType,
                                                          LPBYTE lpData, LPDWORD lpcbData) {
  auto key = Find<ClusterKey>(hKey);
  if (!key) return ERROR_INVALID_HANDLE;
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  return winapi::GuardedStatus<LONG>([&]() -> LONG {
    wire::RegValueResponse value;
    const DWORD status =
        key->Link()->Call(wire::RegQueryRequest{key->Path(), lpszValueName ? lpszValueName : L""}, value);
    if (status != ERROR_SUCCESS) return static_cast<LONG>(status);
    const std::vector<BYTE> bytes = ValueBytes(value);
    if (lpdwValueType) *lpdwValueType = value.type;
    if (!lpcbData) return ERROR_SUCCESS;
    const DWORD capacity = *lpcbData;
    *lpcbData = static_cast<DWORD>(bytes.size());
    if (!lpData) return ERROR_SUCCESS;
    if (capacity < bytes.size()) return ERROR_MORE_DATA;
    if (!bytes.empty()) std::memcpy(lpData, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
  });
}

// ClusterRegCloseKey
extern "C" WINAPI_EXPORT LONG WINAPI ClusterRegCloseKey(HKEY hKey) {
  if (!Find<ClusterKey>(hKey) || !winapi::RemoveHandle(hKey)) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

// WinapiClusterFailAfter
extern "C" WINAPI_EXPORT void WINAPI WinapiClusterFailAfter(LONG calls) { winapi::cluster::FailRequestAfter(calls); }

// WinapiClusterRoundTrips
extern "C" WINAPI_EXPORT ULONGLONG WINAPI WinapiClusterRoundTrips(void) { return winapi::cluster::RoundTrips(); }

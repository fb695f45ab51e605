// One connection of the Cluster API to the cluster service: a socket that carries one
// request and its response at a time. Once the service is lost the connection stays
// broken, and every later call fails as a lost cluster service does on Windows.
//
// Cluster handles take their connections from a pool of idle ones, as an RPC runtime
// caches its bindings: the system opens a cluster handle for nearly every read, and a
// new socket with its greeting would cost more than the read itself.
#pragma once
#include <windows.h>

#include <rapidjson/document.h>

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cluster_protocol.h"

namespace winapi::cluster {

class Connection {
 public:
  // Connects to the service's socket and greets it: a connection of its own, never
  // pooled (notification ports). Null with the Win32 error in `error`.
  static std::unique_ptr<Connection> Open(DWORD& error);
  static std::unique_ptr<Connection> Open(const std::string& path, DWORD& error);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends a request and waits for its response. Returns the response's status, or the
  // transport error: RPC_S_SERVER_UNAVAILABLE when the service is gone,
  // RPC_S_CALL_FAILED when it sent no valid answer in time.
  template <class Request>
  DWORD Call(const Request& request, typename Request::Response& response) {
    return Exchange(EncodeRequest(request),
                    [&response](const rapidjson::Value& members) { return DecodeMembers(members, response); });
  }

  const std::wstring& ClusterName() const { return clusterName_; }

  // Hands the socket over (notification registrations); the connection is then spent.
  int Release();

  // Whether another cluster handle may use the connection: it was made by this process
  // to `path` in the current service epoch, never broke, has nothing unread and the
  // service has not hung up. Costs one poll() without waiting.
  bool ReusableFor(const std::string& path);

 private:
  friend class ConnectionPool;
  Connection(int fd, std::string path);
  using MemberDecoder = std::function<bool(const rapidjson::Value&)>;
  // A request line out, its response in; `decode` takes the members of a success.
  DWORD Exchange(std::string_view request, const MemberDecoder& decode);
  DWORD Fail(DWORD error);
  // Ends a connection that is out of step with its service (an answer left unread)
  // while the service itself is fine: other connections stay usable.
  DWORD Abandon(DWORD error);
  // Reads the next line of the response within the call timeout.
  DWORD ReadResponse(std::string_view& line);

  std::mutex lock_;
  int fd_;
  bool broken_ = false;
  const std::string path_;
  const pid_t owner_;
  const unsigned long epoch_;
  DWORD timeoutMs_;
  LineBuffer buffer_;
  std::wstring clusterName_;
};

// Idle connections of cluster handles. A closed cluster handle gives its connection
// back once no handle opened on it is left; a connection is taken again only when
// Connection::ReusableFor holds. Every connection that breaks starts a new service
// epoch, so no connection made before a loss of the service is handed out after it.
class ConnectionPool {
 public:
  static constexpr std::size_t kMaxIdle = 8;  // more are closed when given back

  static ConnectionPool& Instance();

  // A connection for a new cluster handle, an idle one or a new greeted one; null with
  // the Win32 error in `error`. Dropping its last reference gives it back.
  std::shared_ptr<Connection> Acquire(DWORD& error);

 private:
  ConnectionPool() = default;
  void GiveBack(Connection* connection);

  std::mutex lock_;
  std::vector<std::unique_ptr<Connection>> idle_;
};

// The current service epoch (see ConnectionPool).
unsigned long ServiceEpoch();

// Test hook: the Nth request from now fails as if the service were lost (0: off).
void FailRequestAfter(long calls);

// Requests sent by this process (WinapiClusterRoundTrips).
unsigned long long RoundTrips();

// Milliseconds a call waits for its answer: WINAPI_CLUSTER_TIMEOUT_MS, default 30000.
DWORD CallTimeout();

}  // namespace winapi::cluster

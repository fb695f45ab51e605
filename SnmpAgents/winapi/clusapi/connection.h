// One connection of the Cluster API to the cluster service: a socket that carries one
// request and its response at a time. Once the service is lost the connection stays
// broken, and every later call fails as a lost cluster service does on Windows.
#pragma once
#include <windows.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "cluster_protocol.h"

namespace winapi::cluster {

// Builds one request line.
class Request {
 public:
  explicit Request(const char* op);
  Request& Set(const char* key, std::string_view value);
  Request& Set(const char* key, std::wstring_view value);
  Request& Set(const char* key, unsigned long long value);
  std::string Finish();

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// Readers of response members; missing or mistyped members read as empty or 0.
std::wstring TextMember(const rapidjson::Value& object, const char* key);
unsigned long long NumberMember(const rapidjson::Value& object, const char* key);
long long SignedMember(const rapidjson::Value& object, const char* key);

class Connection {
 public:
  // Connects and greets the service; null with the Win32 error in `error`.
  static std::shared_ptr<Connection> Open(DWORD& error);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends a request and waits for its response. Returns the response's status, or the
  // transport error: RPC_S_SERVER_UNAVAILABLE when the service is gone, RPC_S_CALL_FAILED
  // when it sent no valid answer in time.
  DWORD Call(const std::string& request, rapidjson::Document& response);

  const std::wstring& ClusterName() const { return clusterName_; }

  // Hands the socket over (notification registrations); the connection is then spent.
  int Release();

 private:
  explicit Connection(int fd) : fd_(fd) {}
  DWORD Fail(DWORD error);

  std::mutex lock_;
  int fd_;
  bool broken_ = false;
  LineBuffer buffer_;
  std::wstring clusterName_;
};

// Reads one line from fd within timeoutMs into buffer/line. Returns ERROR_SUCCESS,
// WAIT_TIMEOUT, RPC_S_SERVER_UNAVAILABLE on end of stream or an error, ERROR_INVALID_DATA
// for an over-long line.
DWORD ReadLine(int fd, LineBuffer& buffer, std::string& line, DWORD timeoutMs);

// Test hook: the Nth request from now fails as if the service were lost (0: off).
void FailRequestAfter(long calls);

// Requests sent by this process (WinapiClusterRoundTrips).
unsigned long long RoundTrips();

// Milliseconds a call waits for its answer: WINAPI_CLUSTER_TIMEOUT_MS, default 30000.
DWORD CallTimeout();

}  // namespace winapi::cluster

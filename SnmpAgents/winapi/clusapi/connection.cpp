#include "connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "errors.h"

namespace winapi::cluster {

namespace {

std::atomic<long> g_failAfter{0};
std::atomic<unsigned long long> g_roundTrips{0};
std::atomic<unsigned long> g_epoch{0};

bool ShouldInjectFailure() {
  long current = g_failAfter.load();
  while (current > 0) {
    if (g_failAfter.compare_exchange_weak(current, current - 1)) return current == 1;
  }
  return false;
}

using Clock = std::chrono::steady_clock;

bool SetReceiveTimeout(int fd, long long ms) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(ms / 1000);
  limit.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

}  // namespace

unsigned long ServiceEpoch() { return g_epoch.load(std::memory_order_acquire); }

void FailRequestAfter(long calls) { g_failAfter.store(calls > 0 ? calls : 0); }

unsigned long long RoundTrips() { return g_roundTrips.load(std::memory_order_relaxed); }

DWORD CallTimeout() {
  const char* text = std::getenv("WINAPI_CLUSTER_TIMEOUT_MS");
  if (!text || !*text) return 30000;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return end && *end == '\0' && value > 0 ? static_cast<DWORD>(value) : 30000;
}

Connection::Connection(int fd, std::string path)
    : fd_(fd), path_(std::move(path)), owner_(getpid()), epoch_(ServiceEpoch()), timeoutMs_(CallTimeout()) {}

std::unique_ptr<Connection> Connection::Open(DWORD& error) { return Open(ServiceSocketPath(), error); }

std::unique_ptr<Connection> Connection::Open(const std::string& path, DWORD& error) {
  // Made before the socket, which it then owns whatever fails.
  std::unique_ptr<Connection> connection(new Connection(-1, path));
  const int fd = ConnectUnix(path);
  if (fd < 0) {
    error = RPC_S_SERVER_UNAVAILABLE;
    return nullptr;
  }
  connection->fd_ = fd;
  // A blocking receive limited to the call timeout waits for an answer in one system call.
  if (!SetReceiveTimeout(fd, connection->timeoutMs_)) {
    error = RPC_S_SERVER_UNAVAILABLE;
    return nullptr;
  }
  HelloResponse hello;
  error = connection->Call(HelloRequest{}, hello);
  if (error != ERROR_SUCCESS) return nullptr;
  connection->clusterName_ = std::move(hello.cluster);
  return connection;
}

Connection::~Connection() {
  if (fd_ >= 0) close(fd_);
}

int Connection::Release() {
  std::lock_guard<std::mutex> guard(lock_);
  const int fd = fd_;
  fd_ = -1;
  broken_ = true;
  return fd;
}

bool Connection::ReusableFor(const std::string& path) {
  if (owner_ != getpid() || epoch_ != ServiceEpoch() || path_ != path) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (broken_ || fd_ < 0 || !buffer_.Empty()) return false;
  // Readable means out of step (an answer nobody asked for) or the end of the stream.
  pollfd entry{fd_, POLLIN, 0};
  return poll(&entry, 1, 0) == 0;
}

DWORD Connection::Fail(DWORD error) {
  broken_ = true;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  g_epoch.fetch_add(1, std::memory_order_acq_rel);
  return error;
}

DWORD Connection::Abandon(DWORD error) {
  broken_ = true;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  return error;
}

DWORD Connection::ReadResponse(std::string_view& line) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  bool waited = false, shortened = false;
  for (;;) {
    switch (buffer_.Next(line)) {
      case LineBuffer::Result::Line:
        return !shortened || SetReceiveTimeout(fd_, timeoutMs_) ? ERROR_SUCCESS : RPC_S_SERVER_UNAVAILABLE;
      case LineBuffer::Result::TooLong: return ERROR_INVALID_DATA;
      case LineBuffer::Result::NeedMore: break;
    }
    if (waited) {
      // An answer in pieces: the next piece gets only what is left of the call's time.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || !SetReceiveTimeout(fd_, left)) return WAIT_TIMEOUT;
      shortened = true;
    }
    waited = true;
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return WAIT_TIMEOUT;
    if (n <= 0) return RPC_S_SERVER_UNAVAILABLE;
    buffer_.Append(chunk, static_cast<std::size_t>(n));
  }
}

DWORD Connection::Exchange(std::string_view request, const MemberDecoder& decode) {
  std::lock_guard<std::mutex> guard(lock_);
  if (broken_) return RPC_S_SERVER_UNAVAILABLE;
  if (ShouldInjectFailure()) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (!SendAll(fd_, request)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  g_roundTrips.fetch_add(1, std::memory_order_relaxed);
  std::string_view line;
  const DWORD read = GuardedStatus<DWORD>([&] { return ReadResponse(line); });
  if (read == RPC_S_SERVER_UNAVAILABLE) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (read == ERROR_NOT_ENOUGH_MEMORY) return Abandon(read);
  if (read != ERROR_SUCCESS) return Fail(RPC_S_CALL_FAILED);
  rapidjson::Document response;
  DWORD status = ERROR_SUCCESS;
  if (!ParseResponse(line, response, status)) return Fail(RPC_S_CALL_FAILED);
  if (status != ERROR_SUCCESS) return status;
  // An answer without the members of its kind: the service is not one we speak to.
  if (!decode(response)) return Fail(RPC_S_CALL_FAILED);
  return ERROR_SUCCESS;
}

ConnectionPool& ConnectionPool::Instance() {
  // Never destroyed: handles closed while the process exits still give connections back.
  static ConnectionPool* const pool = new ConnectionPool();
  return *pool;
}

std::shared_ptr<Connection> ConnectionPool::Acquire(DWORD& error) {
  const std::string path = ServiceSocketPath();
  std::unique_ptr<Connection> connection;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (idle_.empty()) break;
      connection = std::move(idle_.back());
      idle_.pop_back();
    }
    if (connection->ReusableFor(path)) break;
    connection.reset();  // closed outside the lock
  }
  if (!connection) connection = Connection::Open(path, error);
  if (!connection) return nullptr;
  // The deleter also runs when the control block cannot be allocated.
  return std::shared_ptr<Connection>(connection.release(), [this](Connection* c) { GiveBack(c); });
}

void ConnectionPool::GiveBack(Connection* connection) {
  std::unique_ptr<Connection> owned(connection);
  {
    std::lock_guard<std::mutex> guard(owned->lock_);
    if (owned->broken_) return;
  }
  if (owned->epoch_ != ServiceEpoch() || owned->owner_ != getpid()) return;
  try {
    std::lock_guard<std::mutex> guard(lock_);
    if (idle_.size() >= kMaxIdle) return;
    idle_.push_back(std::move(owned));
  } catch (...) {
    // closed instead
  }
}

}  // namespace winapi::cluster

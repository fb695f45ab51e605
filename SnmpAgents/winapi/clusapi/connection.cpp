#include "connection.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "strings.h"

namespace winapi::cluster {

namespace {

std::atomic<long> g_failAfter{0};
std::atomic<unsigned long long> g_roundTrips{0};

bool ShouldInjectFailure() {
  long current = g_failAfter.load();
  while (current > 0) {
    if (g_failAfter.compare_exchange_weak(current, current - 1)) return current == 1;
  }
  return false;
}

using Clock = std::chrono::steady_clock;

}  // namespace

void FailRequestAfter(long calls) { g_failAfter.store(calls > 0 ? calls : 0); }

unsigned long long RoundTrips() { return g_roundTrips.load(std::memory_order_relaxed); }

DWORD CallTimeout() {
  const char* text = std::getenv("WINAPI_CLUSTER_TIMEOUT_MS");
  if (!text || !*text) return 30000;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return end && *end == '\0' && value > 0 ? static_cast<DWORD>(value) : 30000;
}

Request::Request(const char* op) : writer_(buffer_) {
  writer_.StartObject();
  writer_.Key(kVersion);
  writer_.Int(kProtocolVersion);
  writer_.Key(kOp);
  writer_.String(op);
}

Request& Request::Set(const char* key, std::string_view value) {
  writer_.Key(key);
  writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  return *this;
}

Request& Request::Set(const char* key, std::wstring_view value) { return Set(key, Utf8FromWide(value)); }

Request& Request::Set(const char* key, unsigned long long value) {
  writer_.Key(key);
  writer_.Uint64(value);
  return *this;
}

std::string Request::Finish() {
  writer_.EndObject();
  return std::string(buffer_.GetString(), buffer_.GetSize());
}

std::wstring TextMember(const rapidjson::Value& object, const char* key) {
  const auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsString()) return std::wstring();
  return WideFromUtf8(std::string_view(member->value.GetString(), member->value.GetStringLength()));
}

unsigned long long NumberMember(const rapidjson::Value& object, const char* key) {
  const auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsUint64()) return 0;
  return member->value.GetUint64();
}

long long SignedMember(const rapidjson::Value& object, const char* key) {
  const auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsInt64()) return 0;
  return member->value.GetInt64();
}

DWORD ReadLine(int fd, LineBuffer& buffer, std::string& line, DWORD timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    switch (buffer.Next(line)) {
      case LineBuffer::Result::Line: return ERROR_SUCCESS;
      case LineBuffer::Result::TooLong: return ERROR_INVALID_DATA;
      case LineBuffer::Result::NeedMore: break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return WAIT_TIMEOUT;
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return RPC_S_SERVER_UNAVAILABLE;
    if (ready == 0) return WAIT_TIMEOUT;
    char chunk[65536];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return RPC_S_SERVER_UNAVAILABLE;
    buffer.Append(chunk, static_cast<std::size_t>(n));
  }
}

std::shared_ptr<Connection> Connection::Open(DWORD& error) {
  const int fd = ConnectUnix(ServiceSocketPath());
  if (fd < 0) {
    error = RPC_S_SERVER_UNAVAILABLE;
    return nullptr;
  }
  std::shared_ptr<Connection> connection(new Connection(fd));
  rapidjson::Document response;
  error = connection->Call(Request(kOpHello).Finish(), response);
  if (error != ERROR_SUCCESS) return nullptr;
  connection->clusterName_ = TextMember(response, "cluster");
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

DWORD Connection::Fail(DWORD error) {
  broken_ = true;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  return error;
}

DWORD Connection::Call(const std::string& request, rapidjson::Document& response) {
  std::lock_guard<std::mutex> guard(lock_);
  if (broken_) return RPC_S_SERVER_UNAVAILABLE;
  if (ShouldInjectFailure()) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (!WriteLine(fd_, request)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  g_roundTrips.fetch_add(1, std::memory_order_relaxed);
  std::string line;
  const DWORD read = ReadLine(fd_, buffer_, line, CallTimeout());
  if (read == RPC_S_SERVER_UNAVAILABLE) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (read != ERROR_SUCCESS) return Fail(RPC_S_CALL_FAILED);
  response.Parse(line.data(), line.size());
  if (response.HasParseError() || !response.IsObject()) return Fail(RPC_S_CALL_FAILED);
  if (SignedMember(response, kVersion) != kProtocolVersion) return Fail(RPC_S_CALL_FAILED);
  const auto status = response.FindMember(kStatus);
  if (status == response.MemberEnd() || !status->value.IsUint()) return Fail(RPC_S_CALL_FAILED);
  return status->value.GetUint();
}

}  // namespace winapi::cluster

// Frames over a Unix stream socket, where the local server is registered, and the
// bookkeeping of outgoing calls that CoCancelCall works on.
#include "com_internal.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "errors.h"
#include "wide_text.h"

namespace winapi::com {
namespace {

// A stalled peer that stops reading must not block a sender for ever.
constexpr int kSendTimeoutSeconds = 5;

struct ThreadCalls {
  int cancelEnabled = 0;
  std::shared_ptr<PendingCall> active;
};

std::mutex g_callsLock;
std::map<DWORD, ThreadCalls> g_calls;

}  // namespace

OutgoingCallScope::OutgoingCallScope(std::shared_ptr<PendingCall> call) {
  std::lock_guard guard(g_callsLock);
  g_calls[GetCurrentThreadId()].active = std::move(call);
}

OutgoingCallScope::~OutgoingCallScope() {
  std::lock_guard guard(g_callsLock);
  auto it = g_calls.find(GetCurrentThreadId());
  if (it == g_calls.end()) return;
  it->second.active.reset();
  if (it->second.cancelEnabled == 0) g_calls.erase(it);
}

Channel::Channel(int& fd) : fd_(std::exchange(fd, -1)) {
  timeval timeout{kSendTimeoutSeconds, 0};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

Channel::~Channel() {
  if (fd_ >= 0) close(fd_);
}

bool Channel::Send(MessageType type, uint32_t callId, const std::vector<uint8_t>& payload) {
  if (payload.size() > kMaxPayload) return false;
  uint8_t header[kFrameHeaderSize];
  EncodeHeader({type, callId, static_cast<uint32_t>(payload.size())}, header);
  std::vector<uint8_t> frame(header, header + kFrameHeaderSize);
  frame.insert(frame.end(), payload.begin(), payload.end());
  std::lock_guard guard(sendLock_);
  size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      shutdown(fd_, SHUT_RDWR);  // a half-written frame leaves the stream unusable
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool Channel::ReadExactly(uint8_t* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = recv(fd_, data + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool Channel::Receive(FrameHeader& header, std::vector<uint8_t>& payload) {
  uint8_t raw[kFrameHeaderSize];
  if (!ReadExactly(raw, sizeof raw) || !DecodeHeader(raw, header)) return false;
  payload.resize(header.length);
  return header.length == 0 || ReadExactly(payload.data(), payload.size());
}

void Channel::Shutdown() { shutdown(fd_, SHUT_RDWR); }

HRESULT LocalServerSocketPath(REFCLSID clsid, std::string& path) {
  return GuardedHResult([&] {
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    const std::wstring key = std::wstring(L"SOFTWARE\\Classes\\CLSID\\") + text + L"\\LocalServer32";
    wchar_t registered[1024] = {};
    DWORD size = sizeof registered - sizeof(wchar_t);
    const LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Socket", RRF_RT_REG_SZ, nullptr, registered, &size);
    if (status == ERROR_NOT_ENOUGH_MEMORY) return E_OUTOFMEMORY;
    if (status != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
    path = Utf8FromWide(registered);
    return S_OK;
  });
}

unsigned CallTimeoutMs() {
  const char* text = std::getenv("WINAPI_COM_CALL_TIMEOUT_MS");
  if (!text || !*text) return 60000;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return *end == '\0' && value > 0 && value <= 86400000ul ? static_cast<unsigned>(value) : 60000;
}

}  // namespace winapi::com

// CoEnableCallCancellation
extern "C" WINOLEAPI CoEnableCallCancellation(LPVOID pReserved) {
  if (pReserved) return E_INVALIDARG;
  return winapi::GuardedHResult([] {
    std::lock_guard guard(winapi::com::g_callsLock);
    ++winapi::com::g_calls[GetCurrentThreadId()].cancelEnabled;
    return S_OK;
  });
}

// CoDisableCallCancellation
extern "C" WINOLEAPI CoDisableCallCancellation(LPVOID pReserved) {
  if (pReserved) return E_INVALIDARG;
  std::lock_guard guard(winapi::com::g_callsLock);
  auto it = winapi::com::g_calls.find(GetCurrentThreadId());
  if (it == winapi::com::g_calls.end() || it->second.cancelEnabled == 0) return CO_E_CANCEL_DISABLED;
  --it->second.cancelEnabled;
  if (it->second.cancelEnabled == 0 && !it->second.active) winapi::com::g_calls.erase(it);
  return S_OK;
}

// CoCancelCall: the cancelled call returns RPC_E_CALL_CANCELED at once, so the wait
// for the server that ulTimeout allows is never needed.
extern "C" WINOLEAPI CoCancelCall(DWORD dwThreadId, ULONG /*ulTimeout*/) {
  std::shared_ptr<winapi::com::PendingCall> call;
  {
    std::lock_guard guard(winapi::com::g_callsLock);
    auto it = winapi::com::g_calls.find(dwThreadId);
    if (it == winapi::com::g_calls.end() || it->second.cancelEnabled == 0) return CO_E_CANCEL_DISABLED;
    call = it->second.active;
  }
  if (!call) return RPC_E_CALL_COMPLETE;
  std::lock_guard guard(call->lock);
  if (call->done || call->lost) return RPC_E_CALL_COMPLETE;
  call->cancelled = true;
  call->changed.notify_all();
  return S_OK;
}

// What the ole32 files share: apartment state, outgoing-call bookkeeping for
// cancellation, the socket channel and where a class's local server listens.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com_wire.h"
#include "descriptors.h"

namespace winapi::com {

// True when the calling thread has initialised COM.
bool IsThreadInitialized();

// One outgoing call, completed by the connection's reader or ended by cancellation.
struct PendingCall {
  std::mutex lock;
  std::condition_variable changed;
  bool done = false;       // reply arrived
  bool cancelled = false;  // CoCancelCall
  bool lost = false;       // the connection ended
  std::vector<uint8_t> reply;
};

// Marks the calling thread as inside `call` for CoCancelCall, for its lifetime.
class OutgoingCallScope {
 public:
  explicit OutgoingCallScope(std::shared_ptr<PendingCall> call);
  ~OutgoingCallScope();
  OutgoingCallScope(const OutgoingCallScope&) = delete;
  OutgoingCallScope& operator=(const OutgoingCallScope&) = delete;
};

// A stream socket carrying frames; sends are serialised, one reader at a time.
class Channel {
 public:
  // Takes the descriptor over: `fd` is -1 afterwards, so that a caller whose construction
  // of the channel's owner fails knows whether the descriptor is still its own to close.
  explicit Channel(int& fd);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  bool Send(MessageType type, uint32_t callId, const std::vector<uint8_t>& payload);
  // False at end of stream, on an error and on a malformed header.
  bool Receive(FrameHeader& header, std::vector<uint8_t>& payload);
  // Wakes a blocked Receive; later sends fail.
  void Shutdown();

 private:
  bool ReadExactly(uint8_t* data, size_t size);
  int fd_;
  std::mutex sendLock_;
};

using winapi::ConnectUnixSocket;
// The socket path registered for a class: REGDB_E_CLASSNOTREG when the class has none.
HRESULT LocalServerSocketPath(REFCLSID clsid, std::string& path);
// The process-wide global interface table.
IGlobalInterfaceTable* GlobalInterfaceTable();
// Deadline of one outgoing call: WINAPI_COM_CALL_TIMEOUT_MS, default 60 s.
unsigned CallTimeoutMs();

HRESULT CreateLocalServerInstance(REFCLSID clsid, IDispatch** object);

}  // namespace winapi::com

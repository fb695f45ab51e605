// clussim's control socket: one JSON object a line each way, UTF-8.
//
//   request  {"v":1,"argv":["node","down","FS-NODE1"]}
//   reply    {"v":1,"status":0,"message":"3 notification(s)","warnings":["..."]}
//
// "status" is 0 when the command was applied; any other number means it was not and
// "message" says why. Both sides go through these functions, so the members are named here
// only. Decoding refuses anything else: another version, a member of the wrong type,
// a member named twice, text that is not UTF-8.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace clustersim {

inline constexpr int kControlVersion = 1;

struct ControlRequest {
  std::vector<std::string> argv;  // UTF-8
};

struct ControlReply {
  bool ok = false;
  std::string message;
  std::vector<std::string> warnings;
};

// Text that is not UTF-8 is sent with U+FFFD in its place, so an encoded message always decodes.
std::string EncodeControlRequest(const ControlRequest& request);
bool DecodeControlRequest(std::string_view line, ControlRequest& request);
std::string EncodeControlReply(const ControlReply& reply);
bool DecodeControlReply(std::string_view line, ControlReply& reply);

// The control socket: $CLUSSIM_CONTROL_SOCKET or <state>/run/clussim.sock.
std::string DefaultControlSocket();

}  // namespace clustersim

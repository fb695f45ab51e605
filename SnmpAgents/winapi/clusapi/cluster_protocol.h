// The wire protocol between the Cluster API of the layer and the cluster service
// stand-ins (clussimd, pcmkclusd). One JSON object per line, UTF-8, over a Unix stream
// socket.
//
//   request   {"v":1,"op":"open","kind":"group","name":"Cluster Group"}
//   response  {"v":1,"id":17,"status":0}
//   event     {"v":1,"event":4096,"name":"Cluster Group"}     (notify connections only)
//
// Every request gets exactly one response; "status" is a Win32 error code, and only a
// response with status 0 carries the members of its type. A connection that registered
// for notifications ("notify") receives events and sends nothing more. A line longer
// than kMaxLineBytes, or one that is not a JSON object of this version, is refused: the
// server answers ERROR_INVALID_DATA (or ERROR_REVISION_MISMATCH) and the client drops
// the connection. A request whose members do not decode is answered
// ERROR_INVALID_PARAMETER; a response whose members do not decode ends the connection.
//
// Every message is a struct below; its Fields() names its members once, and the same
// declaration encodes and decodes it on both sides.
#pragma once
#include <windows.h>
#include <clusapi.h>

#include <rapidjson/document.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winapi::cluster {

inline constexpr int kProtocolVersion = 1;
inline constexpr std::size_t kMaxLineBytes = 16u << 20;

// Members of every message.
inline constexpr const char* kVersion = "v";
inline constexpr const char* kOpMember = "op";
inline constexpr const char* kStatus = "status";
inline constexpr const char* kEvent = "event";

// Object kinds as they travel.
enum class Kind { Node, Group, Resource, ResourceType, Network, NetInterface };
const char* KindName(Kind kind);
bool KindFromName(std::string_view name, Kind& kind);
// The object kind of a CLUSCTL code (its top byte), or false.
bool KindOfControlCode(DWORD code, Kind& kind);
// The property read of a CLUSCTL code: one of the CLCTL_GET_* functions.
constexpr DWORD ControlFunctionOf(DWORD code) { return code & 0xFF; }
// Whether the service answers the code: the four property-list reads.
bool IsPropertyRead(DWORD code);
// CLUSTER_ENUM_* bit of a kind.
DWORD EnumTypeOf(Kind kind);

// The operations, in the order of the dispatch tables.
enum class Op { Hello, Info, Quorum, Enum, Open, State, ObjectEnum, Control, NetInterface, RegKey, RegOpen, RegQuery, Notify };
const char* OpName(Op op);
bool OpFromName(std::string_view name, Op& op);

// Whose registry key GetClusterKey / GetClusterResourceKey ask for.
enum class KeyScope { Cluster, Resource };

struct NameItem {
  DWORD type = 0;
  std::wstring name;
  bool operator==(const NameItem&) const = default;
};
using NameItems = std::vector<NameItem>;  // travels as [[type,name],...]
using Bytes = std::vector<BYTE>;          // travels as lowercase hex

// ---- Responses -------------------------------------------------------------------------

struct HelloResponse {
  std::wstring cluster;
  template <class M, class V> static void Fields(M& m, V& v) { v("cluster", m.cluster); }
};
struct InfoResponse {
  std::wstring name, vendor, csd;
  DWORD major = 0, minor = 0, build = 0, highest = 0, lowest = 0, flags = 0;
  template <class M, class V> static void Fields(M& m, V& v) {
    v("name", m.name); v("major", m.major); v("minor", m.minor); v("build", m.build); v("vendor", m.vendor);
    v("csd", m.csd); v("highest", m.highest); v("lowest", m.lowest); v("flags", m.flags);
  }
};
struct QuorumResponse {
  std::wstring resource, device;
  DWORD maxLog = 0;
  template <class M, class V> static void Fields(M& m, V& v) {
    v("resource", m.resource); v("device", m.device); v("maxLog", m.maxLog);
  }
};
struct ItemsResponse {
  NameItems items;
  template <class M, class V> static void Fields(M& m, V& v) { v("items", m.items); }
};
struct OpenResponse {
  unsigned long long id = 0;
  template <class M, class V> static void Fields(M& m, V& v) { v("id", m.id); }
};
struct StateResponse {
  int state = -1;
  std::optional<std::wstring> node;   // groups and resources with an owner
  std::optional<std::wstring> group;  // resources
  template <class M, class V> static void Fields(M& m, V& v) { v("state", m.state); v("node", m.node); v("group", m.group); }
};
struct ControlResponse {
  Bytes data;  // a property list
  template <class M, class V> static void Fields(M& m, V& v) { v("data", m.data); }
};
struct NameResponse {
  std::wstring name;
  template <class M, class V> static void Fields(M& m, V& v) { v("name", m.name); }
};
struct PathResponse {
  std::wstring path;
  template <class M, class V> static void Fields(M& m, V& v) { v("path", m.path); }
};
// A registry value: REG_SZ and REG_EXPAND_SZ as text, REG_DWORD and REG_QWORD as number,
// REG_MULTI_SZ as list, anything else as data.
struct RegValueResponse {
  DWORD type = REG_NONE;
  std::optional<std::wstring> text;
  std::optional<unsigned long long> number;
  std::optional<std::vector<std::wstring>> list;
  std::optional<Bytes> data;
  template <class M, class V> static void Fields(M& m, V& v) {
    v("type", m.type); v("text", m.text); v("number", m.number); v("list", m.list); v("data", m.data);
  }
};
struct EmptyResponse {
  template <class M, class V> static void Fields(M&, V&) {}
};

// ---- Requests: each names its operation and the response it gets ---------------------

// Requests without members.
template <Op op, class R>
struct BareRequest {
  static constexpr Op kOp = op;
  using Response = R;
  template <class M, class V> static void Fields(M&, V&) {}
};
using HelloRequest = BareRequest<Op::Hello, HelloResponse>;
using InfoRequest = BareRequest<Op::Info, InfoResponse>;
using QuorumRequest = BareRequest<Op::Quorum, QuorumResponse>;

struct EnumRequest {
  static constexpr Op kOp = Op::Enum;
  using Response = ItemsResponse;
  DWORD types = 0;  // CLUSTER_ENUM_* bits
  template <class M, class V> static void Fields(M& m, V& v) { v("types", m.types); }
};
struct OpenRequest {
  static constexpr Op kOp = Op::Open;
  using Response = OpenResponse;
  Kind kind = Kind::Node;
  std::wstring name;
  template <class M, class V> static void Fields(M& m, V& v) { v("kind", m.kind); v("name", m.name); }
};
struct StateRequest {
  static constexpr Op kOp = Op::State;
  using Response = StateResponse;
  Kind kind = Kind::Node;
  unsigned long long id = 0;
  template <class M, class V> static void Fields(M& m, V& v) { v("kind", m.kind); v("id", m.id); }
};
struct ObjectEnumRequest {
  static constexpr Op kOp = Op::ObjectEnum;
  using Response = ItemsResponse;
  Kind kind = Kind::Group;
  unsigned long long id = 0;
  DWORD types = 0;  // CLUSTER_GROUP_ENUM_* or CLUSTER_RESOURCE_ENUM_* bits
  template <class M, class V> static void Fields(M& m, V& v) { v("kind", m.kind); v("id", m.id); v("types", m.types); }
};
// Objects by the id of their open handle; resource types, which have no handle, by name.
struct ControlRequest {
  static constexpr Op kOp = Op::Control;
  using Response = ControlResponse;
  Kind kind = Kind::Node;
  std::optional<unsigned long long> id;
  std::optional<std::wstring> name;
  DWORD code = 0;
  template <class M, class V> static void Fields(M& m, V& v) {
    v("kind", m.kind); v("id", m.id); v("name", m.name); v("code", m.code);
  }
};
struct NetInterfaceRequest {
  static constexpr Op kOp = Op::NetInterface;
  using Response = NameResponse;
  std::wstring node, network;
  template <class M, class V> static void Fields(M& m, V& v) { v("node", m.node); v("network", m.network); }
};
struct RegKeyRequest {
  static constexpr Op kOp = Op::RegKey;
  using Response = PathResponse;
  KeyScope scope = KeyScope::Cluster;
  std::optional<unsigned long long> id;  // the resource's
  template <class M, class V> static void Fields(M& m, V& v) { v("kind", m.scope); v("id", m.id); }
};
struct RegOpenRequest {
  static constexpr Op kOp = Op::RegOpen;
  using Response = PathResponse;
  std::wstring path, subkey;
  template <class M, class V> static void Fields(M& m, V& v) { v("path", m.path); v("subkey", m.subkey); }
};
struct RegQueryRequest {
  static constexpr Op kOp = Op::RegQuery;
  using Response = RegValueResponse;
  std::wstring path, value;
  template <class M, class V> static void Fields(M& m, V& v) { v("path", m.path); v("value", m.value); }
};
struct NotifyRequest {
  static constexpr Op kOp = Op::Notify;
  using Response = EmptyResponse;
  DWORD filter = 0;  // CLUSTER_CHANGE_* bits
  template <class M, class V> static void Fields(M& m, V& v) { v("filter", m.filter); }
};

// ---- Events ---------------------------------------------------------------------------

struct Event {
  DWORD code = 0;  // one CLUSTER_CHANGE_* bit
  std::wstring name;
  template <class M, class V> static void Fields(M& m, V& v) { v(kEvent, m.code); v("name", m.name); }
};

// ---- Encoding and decoding ------------------------------------------------------------
// Encoders return the line with its "\n". Decoders take the members of an object that
// passed its envelope check; they are false when a member is missing or of the wrong
// type (an optional member may be missing). Texts are UTF-8 on the wire; invalid
// sequences decode as U+FFFD.

template <class Request> std::string EncodeRequest(const Request& request);
template <class Response> std::string EncodeResponse(const Response& response);
std::string EncodeFailure(DWORD status);
std::string EncodeEvent(const Event& event);

template <class Message> bool DecodeMembers(const rapidjson::Value& object, Message& message);

// The envelope of a request: a JSON object of this version naming a known operation.
// False with the status to answer: ERROR_INVALID_DATA, ERROR_REVISION_MISMATCH or
// ERROR_INVALID_FUNCTION.
bool ParseRequest(std::string_view line, rapidjson::Document& request, Op& op, DWORD& refusal);
// The envelope of a response: a JSON object of this version with a status. False when
// the line is none.
bool ParseResponse(std::string_view line, rapidjson::Document& response, DWORD& status);
// An event line; false when it is none.
bool ParseEvent(std::string_view line, Event& event);

// The stand-in's socket: WINAPI_CLUSTER_SOCKET, else <state>/run/clussvc.sock.
std::string ServiceSocketPath();

std::string HexEncode(const void* data, std::size_t size);
// False on an odd length or a non-hex digit.
bool HexDecode(std::string_view text, std::vector<BYTE>& bytes);

// Collects bytes from a stream and cuts them into lines.
class LineBuffer {
 public:
  enum class Result { Line, NeedMore, TooLong };
  explicit LineBuffer(std::size_t maxLine = kMaxLineBytes) : maxLine_(maxLine) {}
  void Append(const char* data, std::size_t size) { data_.append(data, size); }
  // Takes the next complete line (without "\n", a trailing "\r" removed).
  Result Next(std::string& line);
  // The same without a copy: the line stays valid until the next Append or Next.
  Result Next(std::string_view& line);
  bool Empty() const { return start_ >= data_.size(); }

 private:
  std::string data_;
  std::size_t start_ = 0;
  std::size_t scanned_ = 0;
  std::size_t maxLine_;
};

// Writes all of a line and its "\n"; false on an error (EPIPE included, never a signal).
bool WriteLine(int fd, std::string_view line);
// Writes bytes that already end in "\n", in one send() when the socket takes them.
bool SendAll(int fd, std::string_view bytes);

// Connects to a Unix stream socket; -1 with errno on failure.
int ConnectUnix(const std::string& path);

}  // namespace winapi::cluster

// The wire protocol between the Cluster API of the layer and the cluster service
// stand-in (clussimd). One JSON object per line, UTF-8, over a Unix stream socket.
//
//   request   {"v":1,"op":"open","kind":"group","name":"Cluster Group"}
//   response  {"v":1,"status":0,"id":17}
//   event     {"v":1,"event":4096,"name":"Cluster Group"}     (notify connections only)
//
// Every request gets exactly one response; "status" is a Win32 error code. A connection
// that registered for notifications ("notify") receives events and sends nothing more.
// A line longer than kMaxLineBytes, or one that is not a JSON object of this version, is
// refused: the server answers ERROR_INVALID_DATA (or ERROR_REVISION_MISMATCH) and the
// client drops the connection.
#pragma once
#include <windows.h>
#include <clusapi.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace winapi::cluster {

inline constexpr int kProtocolVersion = 1;
inline constexpr std::size_t kMaxLineBytes = 16u << 20;

// Field names.
inline constexpr const char* kVersion = "v";
inline constexpr const char* kOp = "op";
inline constexpr const char* kStatus = "status";
inline constexpr const char* kEvent = "event";

// Operations: name, then the request members and the response members.
inline constexpr const char* kOpHello = "hello";          // -> cluster
inline constexpr const char* kOpInfo = "info";            // -> name major minor build vendor csd highest lowest flags
inline constexpr const char* kOpQuorum = "quorum";        // -> resource device maxLog
inline constexpr const char* kOpEnum = "enum";            // types -> items [[type,name],...]
inline constexpr const char* kOpOpen = "open";            // kind name -> id
inline constexpr const char* kOpState = "state";          // kind id -> state [node] [group]
inline constexpr const char* kOpObjectEnum = "objenum";   // kind id types -> items
inline constexpr const char* kOpControl = "control";      // kind (id | name) code -> data (hex)
inline constexpr const char* kOpNetInterface = "netif";   // node network -> name
inline constexpr const char* kOpRegKey = "regkey";        // kind [id] -> path
inline constexpr const char* kOpRegOpen = "regopen";      // path subkey -> path
inline constexpr const char* kOpRegQuery = "regquery";    // path value -> type data (hex)
inline constexpr const char* kOpNotify = "notify";        // filter -> (events follow)

// Object kinds as they travel.
enum class Kind { Node, Group, Resource, ResourceType, Network, NetInterface };
const char* KindName(Kind kind);
bool KindFromName(std::string_view name, Kind& kind);
// The object kind of a CLUSCTL code (its top byte), or false.
bool KindOfControlCode(DWORD code, Kind& kind);
// CLUSTER_ENUM_* bit of a kind.
DWORD EnumTypeOf(Kind kind);

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

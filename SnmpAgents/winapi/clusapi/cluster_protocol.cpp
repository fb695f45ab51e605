#include "cluster_protocol.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "descriptors.h"
#include "paths.h"
#include "wide_text.h"

namespace winapi::cluster {

namespace {

struct KindRow {
  Kind kind;
  const char* name;
  DWORD objectType;  // top byte of its CLUSCTL codes
  DWORD enumType;
};

constexpr std::array<KindRow, 6> kKinds = {{
    {Kind::Node, "node", CLUS_OBJECT_NODE, CLUSTER_ENUM_NODE},
    {Kind::Group, "group", CLUS_OBJECT_GROUP, CLUSTER_ENUM_GROUP},
    {Kind::Resource, "resource", CLUS_OBJECT_RESOURCE, CLUSTER_ENUM_RESOURCE},
    {Kind::ResourceType, "restype", CLUS_OBJECT_RESOURCE_TYPE, CLUSTER_ENUM_RESTYPE},
    {Kind::Network, "network", CLUS_OBJECT_NETWORK, CLUSTER_ENUM_NETWORK},
    {Kind::NetInterface, "netinterface", CLUS_OBJECT_NETINTERFACE, CLUSTER_ENUM_NETINTERFACE},
}};

const KindRow& RowOf(Kind kind) {
  for (const auto& row : kKinds) {
    if (row.kind == kind) return row;
  }
  return kKinds[0];
}

constexpr std::array<const char*, 13> kOpNames = {"hello",  "info",  "quorum", "enum",   "open",    "state", "objenum",
                                                   "control", "netif", "regkey", "regopen", "regquery", "notify"};

constexpr std::array<const char*, 2> kKeyScopeNames = {"cluster", "resource"};

constexpr std::array<DWORD, 4> kPropertyReads = {CLCTL_GET_RO_COMMON_PROPERTIES, CLCTL_GET_COMMON_PROPERTIES,
                                                 CLCTL_GET_RO_PRIVATE_PROPERTIES, CLCTL_GET_PRIVATE_PROPERTIES};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const char* KindName(Kind kind) { return RowOf(kind).name; }

bool KindFromName(std::string_view name, Kind& kind) {
  for (const auto& row : kKinds) {
    if (name == row.name) {
      kind = row.kind;
      return true;
    }
  }
  return false;
}

bool KindOfControlCode(DWORD code, Kind& kind) {
  for (const auto& row : kKinds) {
    if ((code >> CLUSCTL_OBJECT_SHIFT) == row.objectType) {
      kind = row.kind;
      return true;
    }
  }
  return false;
}

DWORD EnumTypeOf(Kind kind) { return RowOf(kind).enumType; }

bool IsPropertyRead(DWORD code) {
  const DWORD function = ControlFunctionOf(code);
  return std::find(kPropertyReads.begin(), kPropertyReads.end(), function) != kPropertyReads.end();
}

const char* OpName(Op op) { return kOpNames[static_cast<std::size_t>(op)]; }

bool OpFromName(std::string_view name, Op& op) {
  for (std::size_t i = 0; i < kOpNames.size(); ++i) {
    if (name == kOpNames[i]) {
      op = static_cast<Op>(i);
      return true;
    }
  }
  return false;
}

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// Writes the members a message's Fields() names.
class MemberWriter {
 public:
  explicit MemberWriter(JsonWriter& writer) : w_(writer) {}
  void operator()(const char* key, const std::wstring& text) { Key(key); Text(text); }
  void operator()(const char* key, DWORD number) { Key(key); w_.Uint(number); }
  void operator()(const char* key, int number) { Key(key); w_.Int(number); }
  void operator()(const char* key, unsigned long long number) { Key(key); w_.Uint64(number); }
  void operator()(const char* key, Kind kind) { Key(key); w_.String(KindName(kind)); }
  void operator()(const char* key, KeyScope scope) { Key(key); w_.String(kKeyScopeNames[static_cast<std::size_t>(scope)]); }
  void operator()(const char* key, const Bytes& bytes) { Key(key); Text(HexEncode(bytes.data(), bytes.size())); }
  void operator()(const char* key, const std::vector<std::wstring>& list) {
    Key(key);
    w_.StartArray();
    for (const auto& text : list) Text(text);
    w_.EndArray();
  }
  void operator()(const char* key, const NameItems& items) {
    Key(key);
    w_.StartArray();
    for (const auto& item : items) {
      w_.StartArray();
      w_.Uint(item.type);
      Text(item.name);
      w_.EndArray();
    }
    w_.EndArray();
  }
  template <class T>
  void operator()(const char* key, const std::optional<T>& value) {
    if (value) (*this)(key, *value);
  }

 private:
  void Key(const char* key) { w_.Key(key); }
  void Text(std::string_view utf8) { w_.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size())); }
  void Text(const std::wstring& text) { Text(Utf8FromWide(text)); }

  JsonWriter& w_;
};

bool Read(const rapidjson::Value& value, std::wstring& text) {
  if (!value.IsString()) return false;
  text = WideFromUtf8(std::string_view(value.GetString(), value.GetStringLength()));
  return true;
}
bool Read(const rapidjson::Value& value, DWORD& number) {
  if (!value.IsUint()) return false;
  number = value.GetUint();
  return true;
}
bool Read(const rapidjson::Value& value, int& number) {
  if (!value.IsInt()) return false;
  number = value.GetInt();
  return true;
}
bool Read(const rapidjson::Value& value, unsigned long long& number) {
  if (!value.IsUint64()) return false;
  number = value.GetUint64();
  return true;
}
bool Read(const rapidjson::Value& value, Kind& kind) {
  return value.IsString() && KindFromName(std::string_view(value.GetString(), value.GetStringLength()), kind);
}
bool Read(const rapidjson::Value& value, KeyScope& scope) {
  if (!value.IsString()) return false;
  const std::string_view name(value.GetString(), value.GetStringLength());
  for (std::size_t i = 0; i < kKeyScopeNames.size(); ++i) {
    if (name == kKeyScopeNames[i]) {
      scope = static_cast<KeyScope>(i);
      return true;
    }
  }
  return false;
}
bool Read(const rapidjson::Value& value, Bytes& bytes) {
  return value.IsString() && HexDecode(std::string_view(value.GetString(), value.GetStringLength()), bytes);
}
bool Read(const rapidjson::Value& value, std::vector<std::wstring>& list) {
  if (!value.IsArray()) return false;
  list.clear();
  list.reserve(value.Size());
  for (const auto& item : value.GetArray()) {
    if (!Read(item, list.emplace_back())) return false;
  }
  return true;
}
bool Read(const rapidjson::Value& value, NameItems& items) {
  if (!value.IsArray()) return false;
  items.clear();
  items.reserve(value.Size());
  for (const auto& item : value.GetArray()) {
    NameItem& next = items.emplace_back();
    if (!item.IsArray() || item.Size() != 2 || !Read(item[0], next.type) || !Read(item[1], next.name)) return false;
  }
  return true;
}

// Reads the members a message's Fields() names; ok() once all of them decoded.
class MemberReader {
 public:
  explicit MemberReader(const rapidjson::Value& object) : object_(object) {}
  template <class T>
  void operator()(const char* key, T& value) {
    const auto member = object_.FindMember(key);
    if (member == object_.MemberEnd() || !Read(member->value, value)) ok_ = false;
  }
  template <class T>
  void operator()(const char* key, std::optional<T>& value) {
    const auto member = object_.FindMember(key);
    if (member == object_.MemberEnd()) {
      value.reset();
      return;
    }
    if (!Read(member->value, value.emplace())) ok_ = false;
  }
  bool ok() const { return ok_; }

 private:
  const rapidjson::Value& object_;
  bool ok_ = true;
};

// {"v":1, <head>, <members of the message>, <tail>}\n
template <class Message, class Head, class Tail>
std::string EncodeLine(const Message& message, Head head, Tail tail) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key(kVersion);
  writer.Int(kProtocolVersion);
  head(writer);
  MemberWriter members(writer);
  Message::Fields(message, members);
  tail(writer);
  writer.EndObject();
  std::string line(buffer.GetString(), buffer.GetSize());
  line.push_back('\n');
  return line;
}

void Nothing(JsonWriter&) {}

bool ParseObject(std::string_view line, rapidjson::Document& document) {
  // Iterative: a line of nothing but brackets must not exhaust the stack of either side.
  document.Parse<rapidjson::kParseIterativeFlag>(line.data(), line.size());
  return !document.HasParseError() && document.IsObject();
}

bool HasThisVersion(const rapidjson::Value& object) {
  const auto version = object.FindMember(kVersion);
  return version != object.MemberEnd() && version->value.IsInt() && version->value.GetInt() == kProtocolVersion;
}

}  // namespace

template <class Request>
std::string EncodeRequest(const Request& request) {
  return EncodeLine(
      request,
      [](JsonWriter& w) {
        w.Key(kOpMember);
        w.String(OpName(Request::kOp));
      },
      Nothing);
}

template <class Response>
std::string EncodeResponse(const Response& response) {
  return EncodeLine(response, Nothing, [](JsonWriter& w) {
    w.Key(kStatus);
    w.Uint(ERROR_SUCCESS);
  });
}

std::string EncodeFailure(DWORD status) {
  return EncodeLine(EmptyResponse{}, Nothing, [status](JsonWriter& w) {
    w.Key(kStatus);
    w.Uint(status);
  });
}

std::string EncodeEvent(const Event& event) { return EncodeLine(event, Nothing, Nothing); }

template <class Message>
bool DecodeMembers(const rapidjson::Value& object, Message& message) {
  if (!object.IsObject()) return false;
  MemberReader reader(object);
  Message::Fields(message, reader);
  return reader.ok();
}

bool ParseRequest(std::string_view line, rapidjson::Document& request, Op& op, DWORD& refusal) {
  if (!ParseObject(line, request)) {
    refusal = ERROR_INVALID_DATA;
    return false;
  }
  if (!HasThisVersion(request)) {
    refusal = ERROR_REVISION_MISMATCH;
    return false;
  }
  const auto name = request.FindMember(kOpMember);
  if (name == request.MemberEnd() || !name->value.IsString() ||
      !OpFromName(std::string_view(name->value.GetString(), name->value.GetStringLength()), op)) {
    refusal = ERROR_INVALID_FUNCTION;
    return false;
  }
  return true;
}

bool ParseResponse(std::string_view line, rapidjson::Document& response, DWORD& status) {
  if (!ParseObject(line, response) || !HasThisVersion(response)) return false;
  const auto member = response.FindMember(kStatus);
  if (member == response.MemberEnd() || !member->value.IsUint()) return false;
  status = member->value.GetUint();
  return true;
}

bool ParseEvent(std::string_view line, Event& event) {
  rapidjson::Document document;
  return ParseObject(line, document) && HasThisVersion(document) && DecodeMembers(document, event);
}

// Every message of the protocol, for the templates above.
template std::string EncodeRequest(const HelloRequest&);
template std::string EncodeRequest(const InfoRequest&);
template std::string EncodeRequest(const QuorumRequest&);
template std::string EncodeRequest(const EnumRequest&);
template std::string EncodeRequest(const OpenRequest&);
template std::string EncodeRequest(const StateRequest&);
template std::string EncodeRequest(const ObjectEnumRequest&);
template std::string EncodeRequest(const ControlRequest&);
template std::string EncodeRequest(const NetInterfaceRequest&);
template std::string EncodeRequest(const RegKeyRequest&);
template std::string EncodeRequest(const RegOpenRequest&);
template std::string EncodeRequest(const RegQueryRequest&);
template std::string EncodeRequest(const NotifyRequest&);
template std::string EncodeResponse(const HelloResponse&);
template std::string EncodeResponse(const InfoResponse&);
template std::string EncodeResponse(const QuorumResponse&);
template std::string EncodeResponse(const ItemsResponse&);
template std::string EncodeResponse(const OpenResponse&);
template std::string EncodeResponse(const StateResponse&);
template std::string EncodeResponse(const ControlResponse&);
template std::string EncodeResponse(const NameResponse&);
template std::string EncodeResponse(const PathResponse&);
template std::string EncodeResponse(const RegValueResponse&);
template std::string EncodeResponse(const EmptyResponse&);
template bool DecodeMembers(const rapidjson::Value&, HelloRequest&);
template bool DecodeMembers(const rapidjson::Value&, InfoRequest&);
template bool DecodeMembers(const rapidjson::Value&, QuorumRequest&);
template bool DecodeMembers(const rapidjson::Value&, EnumRequest&);
template bool DecodeMembers(const rapidjson::Value&, OpenRequest&);
template bool DecodeMembers(const rapidjson::Value&, StateRequest&);
template bool DecodeMembers(const rapidjson::Value&, ObjectEnumRequest&);
template bool DecodeMembers(const rapidjson::Value&, ControlRequest&);
template bool DecodeMembers(const rapidjson::Value&, NetInterfaceRequest&);
template bool DecodeMembers(const rapidjson::Value&, RegKeyRequest&);
template bool DecodeMembers(const rapidjson::Value&, RegOpenRequest&);
template bool DecodeMembers(const rapidjson::Value&, RegQueryRequest&);
template bool DecodeMembers(const rapidjson::Value&, NotifyRequest&);
template bool DecodeMembers(const rapidjson::Value&, HelloResponse&);
template bool DecodeMembers(const rapidjson::Value&, InfoResponse&);
template bool DecodeMembers(const rapidjson::Value&, QuorumResponse&);
template bool DecodeMembers(const rapidjson::Value&, ItemsResponse&);
template bool DecodeMembers(const rapidjson::Value&, OpenResponse&);
template bool DecodeMembers(const rapidjson::Value&, StateResponse&);
template bool DecodeMembers(const rapidjson::Value&, ControlResponse&);
template bool DecodeMembers(const rapidjson::Value&, NameResponse&);
template bool DecodeMembers(const rapidjson::Value&, PathResponse&);
template bool DecodeMembers(const rapidjson::Value&, RegValueResponse&);
template bool DecodeMembers(const rapidjson::Value&, EmptyResponse&);
template bool DecodeMembers(const rapidjson::Value&, Event&);

std::string ServiceSocketPath() {
  const char* path = std::getenv("WINAPI_CLUSTER_SOCKET");
  if (path && *path) return path;
  return StateDir() + "/run/clussvc.sock";
}

std::string HexEncode(const void* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

bool HexDecode(std::string_view text, std::vector<BYTE>& bytes) {
  if (text.size() % 2) return false;
  bytes.clear();
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<BYTE>(high * 16 + low));
  }
  return true;
}

LineBuffer::Result LineBuffer::Next(std::string& line) {
  std::string_view view;
  const Result result = Next(view);
  if (result == Result::Line) line.assign(view);
  return result;
}

LineBuffer::Result LineBuffer::Next(std::string_view& line) {
  // Drop the lines already taken (the caller's last view with them): at once when
  // nothing else is left, so a buffer that carries one line at a time stays small and
  // never moves bytes, otherwise once they dominate.
  if (start_ == data_.size()) {
    data_.clear();
    start_ = scanned_ = 0;
  } else if (start_ > 65536 && start_ * 2 > data_.size()) {
    data_.erase(0, start_);
    scanned_ -= start_;
    start_ = 0;
  }
  const std::size_t end = data_.find('\n', scanned_);
  if (end == std::string::npos) {
    scanned_ = data_.size();
    if (data_.size() - start_ > maxLine_) return Result::TooLong;
    return Result::NeedMore;
  }
  if (end - start_ > maxLine_) return Result::TooLong;
  line = std::string_view(data_).substr(start_, end - start_);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  start_ = end + 1;
  scanned_ = start_;
  return Result::Line;
}

bool SendAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteLine(int fd, std::string_view line) {
  std::string framed(line);
  framed.push_back('\n');
  return SendAll(fd, framed);
}

int ConnectUnix(const std::string& path) { return ConnectUnixSocket(path); }

}  // namespace winapi::cluster

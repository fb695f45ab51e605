// The cluster protocol's messages: what one side encodes the other decodes to the same
// message, and what does not decode is refused instead of read as zeros.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cluster_protocol.h"

namespace {

namespace wire = winapi::cluster;

const std::wstring kOdd = L"Gr\u00fcppe \u65e5\u672c \"quoted\" \\ \U0001F600";

// The line without its "\n", as the decoders take it.
std::string Line(std::string encoded) {
  EXPECT_EQ(encoded.back(), '\n');
  encoded.pop_back();
  return encoded;
}

template <class Request>
void ExpectRequestRoundTrip(const Request& request) {
  const std::string line = Line(wire::EncodeRequest(request));
  SCOPED_TRACE(line);
  rapidjson::Document document;
  wire::Op op = wire::Op::Notify;
  DWORD refusal = 0;
  ASSERT_TRUE(wire::ParseRequest(line, document, op, refusal));
  EXPECT_EQ(op, Request::kOp);
  Request decoded;
  ASSERT_TRUE(wire::DecodeMembers(document, decoded));
  EXPECT_EQ(wire::EncodeRequest(decoded), line + "\n");
}

template <class Response>
void ExpectResponseRoundTrip(const Response& response) {
  const std::string line = Line(wire::EncodeResponse(response));
  SCOPED_TRACE(line);
  rapidjson::Document document;
  DWORD status = 1;
  ASSERT_TRUE(wire::ParseResponse(line, document, status));
  EXPECT_EQ(status, 0u);
  Response decoded;
  ASSERT_TRUE(wire::DecodeMembers(document, decoded));
  EXPECT_EQ(wire::EncodeResponse(decoded), line + "\n");
}

TEST(ClusterProtocol, EveryRequestArrivesAsSent) {
  ExpectRequestRoundTrip(wire::HelloRequest{});
  ExpectRequestRoundTrip(wire::InfoRequest{});
  ExpectRequestRoundTrip(wire::QuorumRequest{});
  ExpectRequestRoundTrip(wire::EnumRequest{0xFFFFFFFF});
  ExpectRequestRoundTrip(wire::OpenRequest{wire::Kind::NetInterface, kOdd});
  ExpectRequestRoundTrip(wire::StateRequest{wire::Kind::Resource, ~0ull});
  ExpectRequestRoundTrip(wire::ObjectEnumRequest{wire::Kind::Group, 17, CLUSTER_GROUP_ENUM_NODES});
  ExpectRequestRoundTrip(wire::ControlRequest{.kind = wire::Kind::Node, .id = 3, .code = CLUSCTL_NODE_GET_COMMON_PROPERTIES});
  ExpectRequestRoundTrip(
      wire::ControlRequest{.kind = wire::Kind::ResourceType, .name = kOdd, .code = CLUSCTL_RESOURCE_TYPE_GET_COMMON_PROPERTIES});
  ExpectRequestRoundTrip(wire::NetInterfaceRequest{kOdd, L""});
  ExpectRequestRoundTrip(wire::RegKeyRequest{wire::KeyScope::Cluster, std::nullopt});
  ExpectRequestRoundTrip(wire::RegKeyRequest{wire::KeyScope::Resource, 5});
  ExpectRequestRoundTrip(wire::RegOpenRequest{L"Resources", kOdd});
  ExpectRequestRoundTrip(wire::RegQueryRequest{L"", L""});
  ExpectRequestRoundTrip(wire::NotifyRequest{static_cast<DWORD>(CLUSTER_CHANGE_ALL)});
}

TEST(ClusterProtocol, EveryResponseArrivesAsSent) {
  ExpectResponseRoundTrip(wire::HelloResponse{kOdd});
  ExpectResponseRoundTrip(wire::InfoResponse{kOdd, L"Vornekt", L"", 4, 0, 1381, 0x40000, 0x40000, 0xFFFFFFFF});
  ExpectResponseRoundTrip(wire::QuorumResponse{L"Disk Q:", L"Q:\\", 4u << 20});
  ExpectResponseRoundTrip(wire::ItemsResponse{{{CLUSTER_ENUM_NODE, L"N1"}, {CLUSTER_ENUM_GROUP, kOdd}, {0, L""}}});
  ExpectResponseRoundTrip(wire::ItemsResponse{});
  ExpectResponseRoundTrip(wire::OpenResponse{~0ull});
  ExpectResponseRoundTrip(wire::StateResponse{-1, std::nullopt, std::nullopt});
  ExpectResponseRoundTrip(wire::StateResponse{2, L"N1", kOdd});
  ExpectResponseRoundTrip(wire::ControlResponse{{0x00, 0xFF, 0x10, 0xAB}});
  ExpectResponseRoundTrip(wire::NameResponse{L""});
  ExpectResponseRoundTrip(wire::PathResponse{L"Resources\\{00000001}"});
  ExpectResponseRoundTrip(wire::RegValueResponse{REG_MULTI_SZ, std::nullopt, std::nullopt, std::vector<std::wstring>{kOdd, L""}, std::nullopt});
  ExpectResponseRoundTrip(wire::RegValueResponse{REG_QWORD, std::nullopt, ~0ull, std::nullopt, std::nullopt});
  ExpectResponseRoundTrip(wire::RegValueResponse{REG_BINARY, std::nullopt, std::nullopt, std::nullopt, wire::Bytes{1, 2}});
  ExpectResponseRoundTrip(wire::EmptyResponse{});
}

TEST(ClusterProtocol, RequestEnvelopesThatAreNoneAreRefusedWithTheirStatus) {
  const struct {
    const char* line;
    DWORD refusal;
  } cases[] = {
      {"", ERROR_INVALID_DATA},
      {"not json", ERROR_INVALID_DATA},
      {"[1,2]", ERROR_INVALID_DATA},
      {R"({"v":1,"op":"hello"} trailing)", ERROR_INVALID_DATA},
      {R"({"op":"hello"})", ERROR_REVISION_MISMATCH},
      {R"({"v":"1","op":"hello"})", ERROR_REVISION_MISMATCH},
      {R"({"v":2,"op":"hello"})", ERROR_REVISION_MISMATCH},
      {R"({"v":1})", ERROR_INVALID_FUNCTION},
      {R"({"v":1,"op":7})", ERROR_INVALID_FUNCTION},
      {R"({"v":1,"op":"HELLO"})", ERROR_INVALID_FUNCTION},
  };
  for (const auto& c : cases) {
    rapidjson::Document document;
    wire::Op op;
    DWORD refusal = 0;
    EXPECT_FALSE(wire::ParseRequest(c.line, document, op, refusal)) << c.line;
    EXPECT_EQ(refusal, c.refusal) << c.line;
  }
}

// Nesting a recursive parser would follow until the stack ends: both sides read it whole
// and refuse it.
TEST(ClusterProtocol, DeepNestingIsRefusedNotFollowed) {
  const std::string deep = "{\"v\":1,\"op\":\"open\",\"name\":" + std::string(1000000, '[') + std::string(1000000, ']') + "}";
  rapidjson::Document document;
  wire::Op op;
  DWORD refusal = 0;
  ASSERT_TRUE(wire::ParseRequest(deep, document, op, refusal));
  wire::OpenRequest open;
  EXPECT_FALSE(wire::DecodeMembers(document, open));
  DWORD status = 0;
  EXPECT_FALSE(wire::ParseResponse(std::string(1000000, '['), document, status));
  wire::Event event;
  EXPECT_FALSE(wire::ParseEvent("{\"v\":1,\"event\":1,\"name\":" + std::string(1000000, '{'), event));
}

// Members missing or of another type fail the whole message: a service that answers
// them is not one this side speaks to.
TEST(ClusterProtocol, MembersThatDoNotDecodeFailTheMessage) {
  const auto decodes = [](auto message, const char* members) {
    rapidjson::Document document;
    document.Parse(members);
    return wire::DecodeMembers(document, message);
  };
  const struct {
    const char* what;
    std::function<bool(const char*)> decode;
    const char* members;
    bool ok;
  } cases[] = {
      {"open", [&](const char* m) { return decodes(wire::OpenRequest{}, m); }, R"({"kind":"node","name":"N"})", true},
      {"open without name", [&](const char* m) { return decodes(wire::OpenRequest{}, m); }, R"({"kind":"node"})", false},
      {"open of no kind", [&](const char* m) { return decodes(wire::OpenRequest{}, m); }, R"({"kind":"cluster","name":"N"})", false},
      {"negative id", [&](const char* m) { return decodes(wire::StateRequest{}, m); }, R"({"kind":"node","id":-1})", false},
      {"id as text", [&](const char* m) { return decodes(wire::StateRequest{}, m); }, R"({"kind":"node","id":"1"})", false},
      {"types beyond 32 bits", [&](const char* m) { return decodes(wire::EnumRequest{}, m); }, R"({"types":4294967296})", false},
      {"control without id or name", [&](const char* m) { return decodes(wire::ControlRequest{}, m); }, R"({"kind":"node","code":1})", true},
      {"optional id of another type", [&](const char* m) { return decodes(wire::ControlRequest{}, m); }, R"({"kind":"node","id":null,"code":1})", false},
      {"registry key of no scope", [&](const char* m) { return decodes(wire::RegKeyRequest{}, m); }, R"({"kind":"node"})", false},
      {"an empty response", [&](const char* m) { return decodes(wire::OpenResponse{}, m); }, R"({})", false},
      {"state out of range", [&](const char* m) { return decodes(wire::StateResponse{}, m); }, R"({"state":2147483648})", false},
      {"node of another type", [&](const char* m) { return decodes(wire::StateResponse{}, m); }, R"({"state":1,"node":{}})", false},
      {"items", [&](const char* m) { return decodes(wire::ItemsResponse{}, m); }, R"({"items":[[1,"a"],[2,""]]})", true},
      {"an item of three", [&](const char* m) { return decodes(wire::ItemsResponse{}, m); }, R"({"items":[[1,"a",3]]})", false},
      {"an item turned round", [&](const char* m) { return decodes(wire::ItemsResponse{}, m); }, R"({"items":[["a",1]]})", false},
      {"items as an object", [&](const char* m) { return decodes(wire::ItemsResponse{}, m); }, R"({"items":{}})", false},
      {"hex of odd length", [&](const char* m) { return decodes(wire::ControlResponse{}, m); }, R"({"data":"abc"})", false},
      {"hex with a non-digit", [&](const char* m) { return decodes(wire::ControlResponse{}, m); }, R"({"data":"zz"})", false},
      {"upper-case hex", [&](const char* m) { return decodes(wire::ControlResponse{}, m); }, R"({"data":"AB"})", true},
      {"a list with a number", [&](const char* m) { return decodes(wire::RegValueResponse{}, m); }, R"({"type":7,"list":["a",1]})", false},
      {"a value without its data", [&](const char* m) { return decodes(wire::RegValueResponse{}, m); }, R"({"type":1})", true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.decode(c.members), c.ok) << c.what;
}

TEST(ClusterProtocol, ResponsesNeedThisVersionAndANumericStatus) {
  const struct {
    const char* line;
    bool ok;
    DWORD status;
  } cases[] = {
      {R"({"v":1,"status":0})", true, 0},
      {R"({"v":1,"status":5042,"id":"junk"})", true, 5042},
      {R"({"v":1})", false, 0},
      {R"({"v":1,"status":"0"})", false, 0},
      {R"({"v":1,"status":-1})", false, 0},
      {R"({"v":2,"status":0})", false, 0},
      {"[]", false, 0},
      {"{\"v\":1,\"sta", false, 0},
  };
  for (const auto& c : cases) {
    rapidjson::Document document;
    DWORD status = 0;
    EXPECT_EQ(wire::ParseResponse(c.line, document, status), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(status, c.status) << c.line;
    }
  }
  EXPECT_EQ(wire::EncodeFailure(ERROR_INVALID_DATA), "{\"v\":1,\"status\":13}\n");
}

TEST(ClusterProtocol, EventsDecodeOnlyWhole) {
  wire::Event event;
  ASSERT_TRUE(wire::ParseEvent(Line(wire::EncodeEvent({CLUSTER_CHANGE_GROUP_STATE, kOdd})), event));
  EXPECT_EQ(event.code, static_cast<DWORD>(CLUSTER_CHANGE_GROUP_STATE));
  EXPECT_EQ(event.name, kOdd);
  for (const char* line : {"garbage", R"({"v":1,"event":"4096","name":"G"})", R"({"v":1,"event":4096})",
                           R"({"v":2,"event":4096,"name":"G"})", R"({"v":1,"event":18446744073709551615,"name":"G"})",
                           R"({"v":1,"event":-4096,"name":"G"})"}) {
    EXPECT_FALSE(wire::ParseEvent(line, event)) << line;
  }
  // Text that is not UTF-8 arrives with replacement characters rather than not at all.
  ASSERT_TRUE(wire::ParseEvent("{\"v\":1,\"event\":4096,\"name\":\"G\xff\"}", event));
  EXPECT_EQ(event.name.substr(0, 1), L"G");
}

TEST(ClusterProtocol, ControlCodesNameTheirObjectAndPropertyRead) {
  const struct {
    DWORD code;
    wire::Kind kind;
    bool read;
  } cases[] = {
      {CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, wire::Kind::Resource, true},
      {CLUSCTL_RESOURCE_TYPE_GET_RO_COMMON_PROPERTIES, wire::Kind::ResourceType, true},
      {CLUSCTL_GROUP_GET_COMMON_PROPERTIES, wire::Kind::Group, true},
      {CLUSCTL_NODE_GET_RO_PRIVATE_PROPERTIES, wire::Kind::Node, true},
      {CLUSCTL_NETWORK_GET_COMMON_PROPERTIES, wire::Kind::Network, true},
      {CLUSCTL_NETINTERFACE_GET_RO_COMMON_PROPERTIES, wire::Kind::NetInterface, true},
      {CLUSCTL_NODE_CODE(0x5A), wire::Kind::Node, false},
  };
  for (const auto& c : cases) {
    wire::Kind kind;
    ASSERT_TRUE(wire::KindOfControlCode(c.code, kind)) << std::hex << c.code;
    EXPECT_EQ(kind, c.kind) << std::hex << c.code;
    EXPECT_EQ(wire::IsPropertyRead(c.code), c.read) << std::hex << c.code;
  }
  wire::Kind kind;
  EXPECT_FALSE(wire::KindOfControlCode(0x07000059, kind)) << "the cluster's own codes have no object kind";
}

}  // namespace

// clussim's control messages: what one side encodes the other decodes unchanged, and
// anything else is refused without a crash.
#include "control_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using clustersim::ControlReply;
using clustersim::ControlRequest;
using clustersim::DecodeControlReply;
using clustersim::DecodeControlRequest;
using clustersim::EncodeControlReply;
using clustersim::EncodeControlRequest;
using namespace std::string_literals;

TEST(ControlProtocol, RequestsAndRepliesComeBackAsSent) {
  const std::vector<std::vector<std::string>> argvs = {
      {},
      {"status"},
      {"set", "group", "Files", "common.Description", "quote \" back\\slash\nnewline\ttab"},
      {"node", "down", "Knoten-\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80"},  // ü € and an emoji
      {"add", "node", "with\0nul"s, ""},
  };
  for (const auto& argv : argvs) {
    ControlRequest decoded{{"left over"}};
    ASSERT_TRUE(DecodeControlRequest(EncodeControlRequest({argv}), decoded)) << EncodeControlRequest({argv});
    EXPECT_EQ(decoded.argv, argv);
  }
  const ControlReply replies[] = {
      {true, "3 notification(s)", {}},
      {false, "no node \"X\"\nsecond line", {}},
      {true, "", {"node \"N9\" matches no node", "network \"\xc3\xa9\" matches no network"}},
  };
  for (const auto& reply : replies) {
    ControlReply decoded{!reply.ok, "left over", {"left over"}};
    const std::string line = EncodeControlReply(reply);
    ASSERT_TRUE(DecodeControlReply(line, decoded)) << line;
    EXPECT_EQ(decoded.ok, reply.ok) << line;
    EXPECT_EQ(decoded.message, reply.message) << line;
    EXPECT_EQ(decoded.warnings, reply.warnings) << line;
  }
}

TEST(ControlProtocol, TextThatIsNotUtf8TravelsWithReplacementCharacters) {
  ControlRequest decoded;
  ASSERT_TRUE(DecodeControlRequest(EncodeControlRequest({{"node", "down", "FS\xff", "\xc3"}}), decoded));
  EXPECT_EQ(decoded.argv, (std::vector<std::string>{"node", "down", "FS\xef\xbf\xbd", "\xef\xbf\xbd"}));
  ControlReply reply;
  ASSERT_TRUE(DecodeControlReply(EncodeControlReply({false, "bad \xfe", {"\xed\xa0\x80"}}), reply));
  EXPECT_EQ(reply.message, "bad \xef\xbf\xbd");
  EXPECT_EQ(reply.warnings.size(), 1u);
}

TEST(ControlProtocol, MalformedMessagesAreRefused) {
  const std::string deep(1000000, '[');
  const std::string requests[] = {
      "",
      "not json",
      "[]",
      "{}",
      R"({"v":1})",
      R"({"argv":["status"]})",                       // no version
      R"({"v":2,"argv":["status"]})",                 // another version
      R"({"v":"1","argv":["status"]})",
      R"({"v":1,"argv":"status"})",
      R"({"v":1,"argv":["status",5]})",
      R"({"v":1,"argv":[null]})",
      R"({"v":1,"argv":[["nested"]]})",
      R"({"v":1,"argv":["status"],"argv":["load","x"]})",  // which one?
      R"({"v":1,"argv":["status"]} trailing)",
      R"({"v":1,"argv":["\udc00"]})",                 // a lone surrogate
      R"({"v":1,"argv":["\ud800x"]})",
      "{\"v\":1,\"argv\":[\"\xff\"]}",                // raw bytes that are no UTF-8
      "{\"v\":1,\"argv\":[\"\xc0\xaf\"]}",            // an overlong '/'
      "{\"v\":1,\"argv\":[" + deep,
      R"({"v":1,"argv":[)" + deep + std::string(1000000, ']') + "]}",
  };
  for (const auto& line : requests) {
    ControlRequest request;
    EXPECT_FALSE(DecodeControlRequest(line, request)) << line.substr(0, 80);
  }
  const std::string replies[] = {
      "",
      R"({"v":1})",
      R"({"v":1,"status":"0","message":"x"})",
      R"({"v":1,"status":0.5})",
      R"({"v":1,"status":0,"message":5})",
      R"({"v":1,"status":0,"warnings":"one"})",
      R"({"v":1,"status":0,"warnings":["one",2]})",
      R"({"v":1,"status":0,"status":1})",
      "{\"v\":1,\"status\":0,\"message\":\"\xfe\"}",
      "{\"v\":1,\"status\":0,\"warnings\":" + deep,
  };
  for (const auto& line : replies) {
    ControlReply reply;
    EXPECT_FALSE(DecodeControlReply(line, reply)) << line.substr(0, 80);
  }
}

TEST(ControlProtocol, AnyStatusButZeroIsARefusal) {
  // The server's answer to a line that is too long carries a Win32 error as its status.
  ControlReply reply;
  ASSERT_TRUE(DecodeControlReply(R"({"v":1,"status":13,"message":"line too long"})", reply));
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.message, "line too long");
  ASSERT_TRUE(DecodeControlReply(R"({"v":1,"status":0})", reply));
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.message, "");
}

}  // namespace

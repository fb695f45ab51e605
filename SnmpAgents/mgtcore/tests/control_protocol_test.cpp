// The control member's messages: mgtctl's command texts as the service has always read
// them, what the service makes of each field, and malformed commands answered without a
// crash or a change.
#include "control_protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "relay_server.h"
#include "utf8_text.h"

namespace {

namespace control = mgtcore::control;
using control::CommandReader;
using control::CommandWriter;

TEST(MgtControlProtocol, CommandsAreWrittenAsTheServiceReadsThem) {
  const struct {
    std::string written;
    const char* expected;
  } cases[] = {
      {CommandWriter(control::kSet).Text(control::field::kName, "SetAllowed").Integer(control::field::kValue, 1).Finish(),
       R"({"op":"set","name":"SetAllowed","value":1})"},
      {CommandWriter(control::kPower).Integer(control::field::kValue, 4).Text(control::field::kVia, control::kViaCmd).Finish(),
       R"({"op":"power","value":4,"via":"cmd"})"},
      {CommandWriter(control::kUnresponsive).Flag(control::field::kOn, false).Finish(), R"({"op":"unresponsive","on":false})"},
      {CommandWriter(control::kFireJson).Text(control::field::kText, "q\"b\\n\n\x01").Finish(),
       R"({"op":"fire-json","text":"q\"b\\n\n\u0001"})"},
      {CommandWriter(control::kFireCmd).Bytes(control::field::kHeader, {0, 255}).Bytes(control::field::kData, {}).Finish(),
       R"({"op":"fire-cmd","header":[0,255],"data":[]})"},
      {CommandWriter(control::kValueSet).Integer(control::field::kOe, -1).Integer(control::field::kWriteStatus, 4).Finish(),
       R"({"op":"value-set","oe":-1,"writeStatus":4})"},
      {CommandWriter(control::kStatus).Finish(), R"({"op":"status"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.written, c.expected);

  // A JSON value goes as it stands; anything else is left to the caller.
  CommandWriter raw(control::kValueSet);
  EXPECT_TRUE(raw.Json(control::field::kValue, R"({ "RAW" : [1] })"));
  EXPECT_FALSE(raw.Json(control::field::kData, "plain words"));
  EXPECT_FALSE(raw.Json(control::field::kData, "5 6"));
  EXPECT_EQ(raw.Finish(), R"({"op":"value-set","value":{ "RAW" : [1] }})");
}

TEST(MgtControlProtocol, FieldsOfTheWrongTypeReadAsMissing) {
  CommandReader reader;
  ASSERT_TRUE(reader.Parse(
      R"({"op":"x","n":-7,"big":4294967296,"f":1.5,"s":"t\u00e9","t":true,"no":false,"b":[1,255,256,-1,"2",3],"j":{"a":[1]}})"));
  EXPECT_EQ(reader.Op(), "x");
  EXPECT_EQ(reader.Integer("n"), -7);
  EXPECT_EQ(reader.Integer("big"), 4294967296);
  EXPECT_EQ(reader.SmallInteger("big"), std::nullopt);
  EXPECT_EQ(reader.Integer("f"), std::nullopt);
  EXPECT_EQ(reader.Integer("s"), std::nullopt);
  EXPECT_EQ(reader.Text("s"), "t\xc3\xa9");
  EXPECT_EQ(reader.Text("n"), std::nullopt);
  EXPECT_TRUE(reader.Flag("t"));
  EXPECT_FALSE(reader.Flag("no"));
  EXPECT_FALSE(reader.Flag("n"));
  EXPECT_EQ(reader.Bytes("b"), (std::vector<uint8_t>{1, 255, 3}));
  EXPECT_TRUE(reader.Bytes("s").empty());
  EXPECT_EQ(reader.Json("j"), R"({"a":[1]})");
  EXPECT_EQ(reader.Json("missing"), "");
  EXPECT_FALSE(reader.Has("missing"));

  EXPECT_TRUE(control::ReplyOk(control::ReplyText(true, "fired")));
  EXPECT_FALSE(control::ReplyOk(control::ReplyText(false, "\"ok\":true")));
  EXPECT_FALSE(control::ReplyOk(R"({"ok":"true"})"));
  EXPECT_FALSE(control::ReplyOk("not json"));
}

class ServiceControl : public testing::Test {
 protected:
  // The reply's text, and whether it says ok.
  std::string Ask(const std::string& command, bool& ok) {
    const std::string reply = Utf8FromWide(m_service.Control(WideFromUtf8(command)));
    ok = control::ReplyOk(reply);
    return reply;
  }

  mgtcore::RelayService m_service{mgtcore::ServiceState{}};
};

TEST_F(ServiceControl, EveryCommandIsAnsweredWithoutACrash) {
  const std::string deep(1000000, '[');
  const struct {
    std::string command;
    bool ok;
    const char* reply;
  } cases[] = {
      {"", false, R"({"ok":false,"error":"control command must be a JSON object with \"op\""})"},
      {"not json", false, R"({"ok":false,"error":"control command must be a JSON object with \"op\""})"},
      {R"(["op","status"])", false, R"({"ok":false,"error":"control command must be a JSON object with \"op\""})"},
      {R"({"op":5})", false, R"({"ok":false,"error":"control command must be a JSON object with \"op\""})"},
      {R"({"op":"status","x":)" + deep, false,
       R"({"ok":false,"error":"control command must be a JSON object with \"op\""})"},
      {R"({"op":"bogus"})", false, R"({"ok":false,"error":"unknown op \"bogus\""})"},
      {R"({"op":"set","name":"SetAllowed","value":"1"})", false, R"({"ok":false,"error":"\"value\" must be an integer"})"},
      {R"({"op":"set","value":1})", false, nullptr},
      {R"({"op":"set","name":"SetAllowed","value":1})", true, R"({"ok":true,"result":"set"})"},
      {R"({"op":"power","value":2})", false, R"j({"ok":false,"error":"power state must be 1 (S0), 4 (S3) or 5 (S4)"})j"},
      {R"({"op":"power","value":5,"via":"cmd"})", true, R"({"ok":true,"result":"power"})"},
      {R"({"op":"slow","ms":600001})", false, R"({"ok":false,"error":"\"ms\" must be 0 to 600000"})"},
      {R"({"op":"slow","ms":0})", true, R"({"ok":true,"result":"slow 0 ms"})"},
      {R"({"op":"unresponsive","on":"yes"})", true, R"({"ok":true,"result":"responsive"})"},
      {R"({"op":"fire-json"})", false, R"({"ok":false,"error":"\"text\" must be a string"})"},
      {R"({"op":"fire-cmd","header":[1]})", false, R"({"ok":false,"error":"\"header\" and \"data\" byte arrays needed"})"},
      {R"({"op":"fire-cmd","header":"x","data":[1,999]})", true, R"({"ok":true,"result":"fired"})"},
      {R"({"op":"fault","kind":"other"})", false, R"({"ok":false,"error":"\"kind\" must be \"json\" or \"header\""})"},
      {R"({"op":"value-set","oe":1,"oi":2})", false,
       R"({"ok":false,"error":"\"oe\", \"oi\" and \"ca\" must be 0 to 4294967295"})"},
      {R"({"op":"value-set","oe":1,"oi":2,"ca":4294967296,"value":1})", false,
       R"({"ok":false,"error":"\"oe\", \"oi\" and \"ca\" must be 0 to 4294967295"})"},
      {R"({"op":"value-set","oe":1,"oi":2,"ca":3})", false, R"({"ok":false,"error":"no such value: give its data first"})"},
      {R"({"op":"value-set","oe":1,"oi":2,"ca":3,"value":{"RAW":[1]},"status":"x"})", false,
       R"({"ok":false,"error":"\"status\" and \"writeStatus\" must be integers"})"},
      {R"({"op":"value-show"})", true, R"({"ok":true,"values":[]})"},  // the refusals changed nothing
      {R"({"op":"value-set","oe":1,"oi":2,"ca":3,"value":{ "RAW" : [1] },"writeStatus":4})", true,
       R"({"ok":true,"result":"value set"})"},
      {R"({"op":"value-set","oe":1,"oi":2,"ca":3,"status":7})", true, R"({"ok":true,"result":"value set"})"},
      {R"({"op":"value-show","oe":1,"oi":2,"ca":3})", true,
       R"({"ok":true,"values":[{"OE":1,"OI":2,"CA":3,"DA":{"RAW":[1]},"ST":7,"WriteST":4}]})"},
      {R"({"op":"value-show","oe":9,"oi":9,"ca":9})", true, R"({"ok":true,"values":[]})"},
      {R"({"op":"status"})", true, R"({"ok":true,"result":"requests=0 clients=0"})"},
  };
  for (const auto& c : cases) {
    bool ok = !c.ok;
    const std::string reply = Ask(c.command, ok);
    EXPECT_EQ(ok, c.ok) << c.command.substr(0, 80) << " -> " << reply;
    if (c.reply) {
      EXPECT_EQ(reply, c.reply) << c.command.substr(0, 80);
    }
  }
}

}  // namespace

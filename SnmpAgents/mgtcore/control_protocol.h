// The control member "MgtControl" of RELAY, which mgtctl calls: one JSON object in, one
// out, each as the text of a BSTR.
//
//   {"op":"set","name":"SetAllowed","value":1,"via":"cmd"}  -> {"ok":true,"result":"set"}
//   {"op":"value-show","oe":16640,"oi":1,"ca":1}            -> {"ok":true,"values":[...]}
//   a command that is refused                               -> {"ok":false,"error":"..."}
#pragma once
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mgtcore::control {

inline constexpr wchar_t kMember[] = L"MgtControl";

// Operations, each with its fields.
inline constexpr char kSet[] = "set";                    // name value [via]
inline constexpr char kPower[] = "power";                // value [via]
inline constexpr char kSlow[] = "slow";                  // ms
inline constexpr char kUnresponsive[] = "unresponsive";  // on
inline constexpr char kFault[] = "fault";                // kind [count]
inline constexpr char kFireJson[] = "fire-json";         // text
inline constexpr char kFireCmd[] = "fire-cmd";           // header data
inline constexpr char kStatus[] = "status";
inline constexpr char kValueSet[] = "value-set";    // oe oi ca [value] [status] [writeStatus]
inline constexpr char kValueShow[] = "value-show";  // [oe oi ca]

// Fields of a command.
namespace field {
inline constexpr char kOp[] = "op";
inline constexpr char kName[] = "name";
inline constexpr char kValue[] = "value";  // an integer, or for value-set any JSON
inline constexpr char kVia[] = "via";      // "cmd": the event goes as Fire_CmdEvent
inline constexpr char kMs[] = "ms";
inline constexpr char kOn[] = "on";
inline constexpr char kKind[] = "kind";  // "json" or "header"
inline constexpr char kCount[] = "count";
inline constexpr char kText[] = "text";
inline constexpr char kHeader[] = "header";  // byte arrays
inline constexpr char kData[] = "data";
inline constexpr char kOe[] = "oe";
inline constexpr char kOi[] = "oi";
inline constexpr char kCa[] = "ca";
inline constexpr char kStatus[] = "status";
inline constexpr char kWriteStatus[] = "writeStatus";
}  // namespace field
inline constexpr char kViaCmd[] = "cmd";

// Fields of a reply.
namespace reply {
inline constexpr char kOk[] = "ok";
inline constexpr char kResult[] = "result";
inline constexpr char kError[] = "error";
inline constexpr char kValues[] = "values";
}  // namespace reply

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// A command as mgtctl sends it: the operation first, then the fields in the order written.
class CommandWriter {
 public:
  explicit CommandWriter(const char* op);
  CommandWriter& Text(const char* name, std::string_view text);
  CommandWriter& Integer(const char* name, long long number);
  CommandWriter& Flag(const char* name, bool on);
  CommandWriter& Bytes(const char* name, const std::vector<uint8_t>& bytes);
  // A JSON value as it stands; false (and nothing written) when it is none.
  bool Json(const char* name, std::string_view json);
  std::string Finish();

 private:
  rapidjson::StringBuffer buffer_;
  JsonWriter writer_{buffer_};
};

// A command as the service reads it. A field of the wrong type reads as missing.
class CommandReader {
 public:
  // False unless the text is one JSON object with a text "op".
  bool Parse(std::string_view text);
  const std::string& Op() const { return op_; }
  bool Has(const char* name) const;
  std::optional<int64_t> Integer(const char* name) const;
  std::optional<int> SmallInteger(const char* name) const;  // one that fits an int
  std::optional<std::string> Text(const char* name) const;
  bool Flag(const char* name) const;  // true only for JSON true
  // The members of an array that are bytes; others are skipped.
  std::vector<uint8_t> Bytes(const char* name) const;
  // The field as compact JSON text; empty when missing.
  std::string Json(const char* name) const;

 private:
  const rapidjson::Value* Find(const char* name) const;

  rapidjson::Document document_;
  std::string op_;
};

// {"ok":true,"result":detail} or {"ok":false,"error":detail}.
std::string ReplyText(bool ok, std::string_view detail);
// Whether a reply says "ok"; false for anything that is no reply.
bool ReplyOk(std::string_view text);

}  // namespace mgtcore::control

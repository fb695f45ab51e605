#include "control_protocol.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <set>

#include "paths.h"
#include "wide_text.h"

namespace clustersim {
namespace {

constexpr const char* kVersion = "v";
constexpr const char* kArgv = "argv";
constexpr const char* kStatus = "status";
constexpr const char* kMessage = "message";
constexpr const char* kWarnings = "warnings";

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

std::string ValidUtf8(std::string_view text) { return winapi::Utf8FromWide(winapi::WideFromUtf8(text)); }

void PutString(Writer& writer, std::string_view text) {
  const std::string valid = ValidUtf8(text);
  writer.String(valid.data(), static_cast<rapidjson::SizeType>(valid.size()));
}

void PutStrings(Writer& writer, const char* key, const std::vector<std::string>& texts) {
  writer.Key(key);
  writer.StartArray();
  for (const auto& text : texts) PutString(writer, text);
  writer.EndArray();
}

// One message: the version, then the members `body` writes.
template <class Body>
std::string Message(const Body& body) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  writer.Key(kVersion);
  writer.Int(kControlVersion);
  body(writer);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Iterative, so that deep nesting cannot exhaust the stack.
bool ParseObject(std::string_view line, rapidjson::Document& document) {
  constexpr unsigned kFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
  document.Parse<kFlags>(line.data(), line.size());
  if (document.HasParseError() || !document.IsObject()) return false;
  std::set<std::string_view> names;
  for (const auto& member : document.GetObject()) {
    if (!names.insert(std::string_view(member.name.GetString(), member.name.GetStringLength())).second) return false;
  }
  const auto version = document.FindMember(kVersion);
  return version != document.MemberEnd() && version->value.IsInt() && version->value.GetInt() == kControlVersion;
}

// An escaped lone surrogate passes the parser's encoding check; it is no UTF-8 all the same.
bool TextOf(const rapidjson::Value& value, std::string& text) {
  if (!value.IsString()) return false;
  text.assign(value.GetString(), value.GetStringLength());
  return ValidUtf8(text) == text;
}

bool TextsOf(const rapidjson::Value& value, std::vector<std::string>& texts) {
  if (!value.IsArray()) return false;
  texts.clear();
  texts.reserve(value.Size());
  for (const auto& item : value.GetArray()) {
    if (!TextOf(item, texts.emplace_back())) return false;
  }
  return true;
}

}  // namespace

std::string EncodeControlRequest(const ControlRequest& request) {
  return Message([&request](Writer& writer) { PutStrings(writer, kArgv, request.argv); });
}

bool DecodeControlRequest(std::string_view line, ControlRequest& request) {
  rapidjson::Document document;
  if (!ParseObject(line, document)) return false;
  const auto argv = document.FindMember(kArgv);
  return argv != document.MemberEnd() && TextsOf(argv->value, request.argv);
}

std::string EncodeControlReply(const ControlReply& reply) {
  return Message([&reply](Writer& writer) {
    writer.Key(kStatus);
    writer.Int(reply.ok ? 0 : 1);
    writer.Key(kMessage);
    PutString(writer, reply.message);
    if (!reply.warnings.empty()) PutStrings(writer, kWarnings, reply.warnings);
  });
}

bool DecodeControlReply(std::string_view line, ControlReply& reply) {
  rapidjson::Document document;
  if (!ParseObject(line, document)) return false;
  const auto status = document.FindMember(kStatus);
  if (status == document.MemberEnd() || !status->value.IsInt()) return false;
  reply.ok = status->value.GetInt() == 0;
  reply.message.clear();
  reply.warnings.clear();
  const auto message = document.FindMember(kMessage);
  if (message != document.MemberEnd() && !TextOf(message->value, reply.message)) return false;
  const auto warnings = document.FindMember(kWarnings);
  return warnings == document.MemberEnd() || TextsOf(warnings->value, reply.warnings);
}

std::string DefaultControlSocket() {
  const char* control = std::getenv("CLUSSIM_CONTROL_SOCKET");
  return control && *control ? control : winapi::StateDir() + "/run/clussim.sock";
}

}  // namespace clustersim

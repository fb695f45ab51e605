#include "control_protocol.h"

namespace mgtcore::control {
namespace {

// Iterative, so that deep nesting cannot exhaust the stack.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

void Key(JsonWriter& writer, const char* name) { writer.Key(name); }

void String(JsonWriter& writer, std::string_view text) {
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

}  // namespace

CommandWriter::CommandWriter(const char* op) {
  writer_.StartObject();
  Text(field::kOp, op);
}

CommandWriter& CommandWriter::Text(const char* name, std::string_view text) {
  Key(writer_, name);
  String(writer_, text);
  return *this;
}

CommandWriter& CommandWriter::Integer(const char* name, long long number) {
  Key(writer_, name);
  writer_.Int64(number);
  return *this;
}

CommandWriter& CommandWriter::Flag(const char* name, bool on) {
  Key(writer_, name);
  writer_.Bool(on);
  return *this;
}

CommandWriter& CommandWriter::Bytes(const char* name, const std::vector<uint8_t>& bytes) {
  Key(writer_, name);
  writer_.StartArray();
  for (const uint8_t byte : bytes) writer_.Uint(byte);
  writer_.EndArray();
  return *this;
}

bool CommandWriter::Json(const char* name, std::string_view json) {
  rapidjson::Document parsed;
  parsed.Parse<kParseFlags>(json.data(), json.size());
  if (parsed.HasParseError()) return false;
  Key(writer_, name);
  writer_.RawValue(json.data(), json.size(), parsed.GetType());
  return true;
}

std::string CommandWriter::Finish() {
  writer_.EndObject();
  return std::string(buffer_.GetString(), buffer_.GetSize());
}

bool CommandReader::Parse(std::string_view text) {
  document_.Parse<kParseFlags>(text.data(), text.size());
  if (document_.HasParseError() || !document_.IsObject()) return false;
  const auto op = Text(field::kOp);
  if (!op) return false;
  op_ = *op;
  return true;
}

const rapidjson::Value* CommandReader::Find(const char* name) const {
  if (!document_.IsObject()) return nullptr;
  const auto member = document_.FindMember(name);
  return member == document_.MemberEnd() ? nullptr : &member->value;
}

bool CommandReader::Has(const char* name) const { return Find(name) != nullptr; }

std::optional<int64_t> CommandReader::Integer(const char* name) const {
  const auto* value = Find(name);
  if (!value || !value->IsInt64()) return std::nullopt;
  return value->GetInt64();
}

std::optional<int> CommandReader::SmallInteger(const char* name) const {
  const auto* value = Find(name);
  if (!value || !value->IsInt()) return std::nullopt;
  return value->GetInt();
}

std::optional<std::string> CommandReader::Text(const char* name) const {
  const auto* value = Find(name);
  if (!value || !value->IsString()) return std::nullopt;
  return std::string(value->GetString(), value->GetStringLength());
}

bool CommandReader::Flag(const char* name) const {
  const auto* value = Find(name);
  return value && value->IsBool() && value->GetBool();
}

std::vector<uint8_t> CommandReader::Bytes(const char* name) const {
  std::vector<uint8_t> bytes;
  const auto* value = Find(name);
  if (!value || !value->IsArray()) return bytes;
  for (const auto& element : value->GetArray()) {
    if (element.IsUint() && element.GetUint() <= 0xFF) bytes.push_back(static_cast<uint8_t>(element.GetUint()));
  }
  return bytes;
}

std::string CommandReader::Json(const char* name) const {
  const auto* value = Find(name);
  if (!value) return std::string();
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  value->Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string ReplyText(bool ok, std::string_view detail) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  Key(writer, reply::kOk);
  writer.Bool(ok);
  Key(writer, ok ? reply::kResult : reply::kError);
  String(writer, detail);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

bool ReplyOk(std::string_view text) {
  rapidjson::Document document;
  document.Parse<kParseFlags>(text.data(), text.size());
  if (document.HasParseError() || !document.IsObject()) return false;
  const auto ok = document.FindMember(reply::kOk);
  return ok != document.MemberEnd() && ok->value.IsBool() && ok->value.GetBool();
}

}  // namespace mgtcore::control

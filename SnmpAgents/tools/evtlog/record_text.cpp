#include "record_text.h"

#include <rapidjson/document.h>

namespace evtlog {
namespace {

std::string Field(const rapidjson::Value& record, const char* name) {
  if (!record.HasMember(name) || !record[name].IsString()) return {};
  return record[name].GetString();
}

std::string Pad(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string JoinedStrings(const rapidjson::Value& record) {
  std::string joined;
  if (!record.HasMember("strings") || !record["strings"].IsArray()) return joined;
  for (const auto& item : record["strings"].GetArray()) {
    if (!item.IsString()) continue;
    if (!joined.empty()) joined += " | ";
    joined += item.GetString();
  }
  return joined;
}

// Multi-line texts stay one line of output, continuation after " / ". The line break
// that ends every formatted message text is dropped.
std::string OneLine(const std::string& text) {
  std::string out;
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  for (size_t i = 0; i < end; ++i) {
    if (text[i] == '\r') continue;
    if (text[i] == '\n') {
      out += " / ";
      continue;
    }
    out += text[i];
  }
  return out;
}

// "2026-12-06T22:50:01.123Z" as "2026-12-06 22:50:01.123".
std::string ReadableTime(std::string time) {
  if (time.size() > 10 && time[10] == 'T') time[10] = ' ';
  if (!time.empty() && time.back() == 'Z') time.pop_back();
  return time;
}

}  // namespace

bool FormatRecord(const std::string& line, const Filter& filter, std::string& out) {
  rapidjson::Document record;
  record.Parse<rapidjson::kParseIterativeFlag>(line.c_str(), line.size());
  if (record.HasParseError() || !record.IsObject()) {
    if (!filter.kind.empty() || !filter.source.empty()) return false;
    out = "?? " + line;
    return true;
  }
  const std::string kind = Field(record, "kind");
  const bool isAlert = kind == "alert";
  const std::string source = isAlert ? Field(record, "service") : Field(record, "source");
  if (!filter.kind.empty() && filter.kind != kind) return false;
  if (!filter.source.empty() && filter.source != source) return false;
  const std::string label = isAlert ? "alert " + Field(record, "alertType") : Field(record, "type");
  std::string detail = Field(record, "text");
  if (detail.empty()) detail = JoinedStrings(record);
  if (detail.empty()) detail = Field(record, "data");
  out = ReadableTime(Field(record, "time")) + "  " + Pad(label, 12) + " " + Pad(source, 16) + " ";
  if (!isAlert) out += Field(record, "eventIdHex") + "  ";
  out += OneLine(detail);
  return true;
}

}  // namespace evtlog

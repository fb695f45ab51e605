// Reads the layer's event journal back in tests (JSON lines; Linux only, where the
// tests' state directory holds it).
#pragma once
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace conformance {

inline std::string JournalPath() {
  if (const char* path = std::getenv("WINAPI_EVENTLOG"); path && *path) return path;
  const char* state = std::getenv("WINAPI_STATE_DIR");
  return std::string(state ? state : ".") + "/eventlog.jsonl";
}

inline std::vector<std::string> JournalLines() {
  std::vector<std::string> lines;
  std::ifstream in(JournalPath());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Parses a line; a line that is not one JSON object yields a document with HasParseError().
inline rapidjson::Document ParseRecord(const std::string& line) {
  rapidjson::Document record;
  record.Parse(line.c_str(), line.size());
  if (!record.HasParseError() && !record.IsObject()) record.Parse("[");
  return record;
}

inline std::string Field(const rapidjson::Value& record, const char* name) {
  if (!record.IsObject() || !record.HasMember(name) || !record[name].IsString()) return {};
  return record[name].GetString();
}

}  // namespace conformance

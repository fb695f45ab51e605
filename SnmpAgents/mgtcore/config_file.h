// The state mgtcore serves and its configuration file: cabinet number, the five agent
// settings and the configuration-space values kept per (OE, OI, CA). Written values go
// back to the file atomically (a temporary file renamed over it).
#pragma once

#include <windows.h>

#include <rapidjson/rapidjson.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

namespace mgtcore {

struct ValueKey {
  DWORD oe = 0;
  DWORD oi = 0;
  DWORD ca = 0;
  bool operator<(const ValueKey& other) const {
    return std::tie(oe, oi, ca) < std::tie(other.oe, other.oi, other.ca);
  }
};

struct ConfigValue {
  std::wstring data;     // the value as JSON text: a number, a string or any other JSON
  LONG status = 0;       // command status of a read
  LONG writeStatus = 0;  // command status of a write; non-zero refuses it
};

struct ServiceState {
  LONG cabinetNumber = 1;
  std::map<DWORD, int64_t> settings;  // OE code -> value
  std::map<ValueKey, ConfigValue> values;
};

// The OE code of a setting's name, 0 when unknown; the names for messages.
DWORD SettingCode(const std::string& name);
const char* SettingNames();

// Defaults first, then the file's entries; a problem names itself in error.
bool LoadConfig(const std::string& path, ServiceState& state, std::string& error);
// The whole state as a configuration file, via a temporary file renamed over it.
bool SaveConfig(const std::string& path, const ServiceState& state, std::string& error);

std::string Narrow(const std::wstring& text);

// One value as the configuration file and the replies hold it: OE, OI, CA, DA, ST, WriteST.
template <class Writer>
void WriteConfigValue(Writer& writer, const ValueKey& key, const ConfigValue& value) {
  writer.StartObject();
  writer.Key("OE");
  writer.Uint(key.oe);
  writer.Key("OI");
  writer.Uint(key.oi);
  writer.Key("CA");
  writer.Uint(key.ca);
  writer.Key("DA");
  const std::string data = Narrow(value.data);
  writer.RawValue(data.c_str(), data.size(), rapidjson::kNumberType);
  writer.Key("ST");
  writer.Int(value.status);
  writer.Key("WriteST");
  writer.Int(value.writeStatus);
  writer.EndObject();
}
std::wstring Wide(const std::string& text);

}  // namespace mgtcore

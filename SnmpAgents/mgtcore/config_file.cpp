#include "config_file.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "management_settings.h"

namespace mgtcore {
namespace {

const struct {
  const char* name;
  DWORD code;
  int64_t initial;
} kSettings[] = {
    {"ShutdownIsAllowed", kCodeShutdownIsAllowed, 0}, {"SetAllowed", kCodeSetAllowed, 0},
    {"DoAccountCheck", kCodeDoAccountCheck, 1},       {"Trap2EventLog", kCodeTrap2EventLog, 0},
    {"TrapToAdminAlert", kCodeTrapToAdminAlert, 0},
};

bool Fail(std::string& error, const std::string& message) {
  error = message;
  return false;
}

std::string JsonText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

bool ReadCode(const rapidjson::Value& entry, const char* name, DWORD& code) {
  auto member = entry.FindMember(name);
  if (member == entry.MemberEnd() || !member->value.IsInt64()) return false;
  const int64_t value = member->value.GetInt64();
  if (value < 0 || value > 0xFFFFFFFFll) return false;
  code = static_cast<DWORD>(value);
  return true;
}

bool ReadStatus(const rapidjson::Value& entry, const char* name, LONG& status) {
  auto member = entry.FindMember(name);
  if (member == entry.MemberEnd()) return true;
  if (!member->value.IsInt()) return false;
  status = member->value.GetInt();
  return true;
}

bool LoadSettings(const rapidjson::Value& settings, ServiceState& state, std::string& error) {
  if (!settings.IsObject()) return Fail(error, "\"Settings\" must be an object");
  for (auto setting = settings.MemberBegin(); setting != settings.MemberEnd(); ++setting) {
    const std::string name = setting->name.GetString();
    const DWORD code = SettingCode(name);
    if (!code) return Fail(error, "unknown setting \"" + name + "\" (" + SettingNames() + ")");
    if (!setting->value.IsInt64() && !setting->value.IsBool()) {
      return Fail(error, "setting \"" + name + "\" must be a number");
    }
    state.settings[code] = setting->value.IsBool() ? (setting->value.GetBool() ? 1 : 0) : setting->value.GetInt64();
  }
  return true;
}

bool LoadValues(const rapidjson::Value& values, ServiceState& state, std::string& error) {
  if (!values.IsArray()) return Fail(error, "\"Values\" must be an array");
  for (const auto& entry : values.GetArray()) {
    ValueKey key;
    ConfigValue value;
    if (!entry.IsObject() || !ReadCode(entry, "OE", key.oe) || !ReadCode(entry, "OI", key.oi) ||
        !ReadCode(entry, "CA", key.ca)) {
      return Fail(error, "each of \"Values\" needs \"OE\", \"OI\" and \"CA\" (0 to 4294967295)");
    }
    auto data = entry.FindMember("DA");
    if (data == entry.MemberEnd()) return Fail(error, "a value without \"DA\"");
    value.data = WideFromUtf8(JsonText(data->value));
    if (!ReadStatus(entry, "ST", value.status) || !ReadStatus(entry, "WriteST", value.writeStatus)) {
      return Fail(error, "\"ST\" and \"WriteST\" must be integers");
    }
    state.values[key] = value;
  }
  return true;
}

template <class Writer>
void WriteState(Writer& writer, const ServiceState& state) {
  writer.StartObject();
  writer.Key("ServerCabinetNumber");
  writer.Int(state.cabinetNumber);
  writer.Key("Settings");
  writer.StartObject();
  for (const auto& setting : kSettings) {
    auto value = state.settings.find(setting.code);
    if (value == state.settings.end()) continue;
    writer.Key(setting.name);
    writer.Int64(value->second);
  }
  writer.EndObject();
  writer.Key("Values");
  writer.StartArray();
  for (const auto& [key, value] : state.values) WriteConfigValue(writer, key, value);
  writer.EndArray();
  writer.EndObject();
}

bool WriteFully(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

std::string Directory(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

DWORD SettingCode(const std::string& name) {
  for (const auto& setting : kSettings) {
    if (name == setting.name) return setting.code;
  }
  return 0;
}

const char* SettingNames() { return "ShutdownIsAllowed, SetAllowed, DoAccountCheck, Trap2EventLog, TrapToAdminAlert"; }

bool LoadConfig(const std::string& path, ServiceState& state, std::string& error) {
  for (const auto& setting : kSettings) state.settings[setting.code] = setting.initial;
  if (path.empty()) return true;
  std::ifstream file(path);
  if (!file) return Fail(error, "cannot read the configuration file " + path + ": " + std::strerror(errno));
  std::stringstream text;
  text << file.rdbuf();
  rapidjson::Document config;
  config.Parse<rapidjson::kParseIterativeFlag>(text.str().c_str());
  if (config.HasParseError()) {
    return Fail(error, path + ": not valid JSON at offset " + std::to_string(config.GetErrorOffset()) + ": " +
                           rapidjson::GetParseError_En(config.GetParseError()));
  }
  if (!config.IsObject()) return Fail(error, path + ": the configuration must be a JSON object");
  for (auto member = config.MemberBegin(); member != config.MemberEnd(); ++member) {
    const std::string key = member->name.GetString();
    std::string problem;
    if (key == "ServerCabinetNumber") {
      if (!member->value.IsInt()) return Fail(error, path + ": \"ServerCabinetNumber\" must be an integer");
      state.cabinetNumber = member->value.GetInt();
    } else if (key == "Settings") {
      if (!LoadSettings(member->value, state, problem)) return Fail(error, path + ": " + problem);
    } else if (key == "Values") {
      if (!LoadValues(member->value, state, problem)) return Fail(error, path + ": " + problem);
    } else {
      return Fail(error, path + ": unknown entry \"" + key +
                             "\" (expected \"ServerCabinetNumber\", a \"Settings\" object and a \"Values\" array)");
    }
  }
  return true;
}

bool SaveConfig(const std::string& path, const ServiceState& state, std::string& error) {
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
  WriteState(writer, state);
  const std::string text = std::string(buffer.GetString()) + "\n";
  const std::string temporary = path + ".tmp." + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(error, "cannot create " + temporary + ": " + std::strerror(errno));
  // On the disk before the rename, so that a crash leaves the old file or the new one.
  const bool written = WriteFully(fd, text) && fsync(fd) == 0;
  const int savedErrno = errno;
  close(fd);
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(written ? errno : savedErrno);
    unlink(temporary.c_str());
    return Fail(error, "cannot write " + path + ": " + reason);
  }
  const int directory = open(Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return true;
}

}  // namespace mgtcore

#include "event_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "descriptors.h"
#include "errors.h"
#include "paths.h"
#include "wide_text.h"

namespace winapi {
namespace {

std::string UtcTimestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];  // room for any int the compiler cannot bound
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void WriteText(Writer& writer, const std::wstring& text) {
  const std::string utf8 = Utf8FromWide(text);
  writer.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
}

// Closes the descriptor on every path out of Append.
class JournalFile {
 public:
  explicit JournalFile(const std::string& path) : fd_(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)) {}
  ~JournalFile() {
    if (fd_ >= 0) close(fd_);
  }
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string EventJournalFile() {
  if (const char* path = std::getenv("WINAPI_EVENTLOG"); path && *path) return path;
  return StateDir() + "/eventlog.jsonl";
}

JournalRecord::JournalRecord(std::string kind) : kind_(std::move(kind)) {}

JournalRecord& JournalRecord::Text(std::string name, std::wstring value) {
  JournalField field;
  field.name = std::move(name);
  field.text = std::move(value);
  fields_.push_back(std::move(field));
  return *this;
}

JournalRecord& JournalRecord::Number(std::string name, uint64_t value) {
  JournalField field;
  field.name = std::move(name);
  field.kind = JournalField::Kind::Number;
  field.number = value;
  fields_.push_back(std::move(field));
  return *this;
}

JournalRecord& JournalRecord::TextList(std::string name, std::vector<std::wstring> values) {
  JournalField field;
  field.name = std::move(name);
  field.kind = JournalField::Kind::TextList;
  field.list = std::move(values);
  fields_.push_back(std::move(field));
  return *this;
}

std::string JournalRecord::ToJson() const {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  writer.Key("time");
  const std::string time = UtcTimestamp();
  writer.String(time.c_str());
  writer.Key("pid");
  writer.Uint(static_cast<unsigned>(getpid()));
  writer.Key("kind");
  writer.String(kind_.c_str());
  for (const JournalField& field : fields_) {
    writer.Key(field.name.c_str());
    switch (field.kind) {
      case JournalField::Kind::Text:
        WriteText(writer, field.text);
        break;
      case JournalField::Kind::Number:
        writer.Uint64(field.number);
        break;
      case JournalField::Kind::TextList:
        writer.StartArray();
        for (const std::wstring& item : field.list) WriteText(writer, item);
        writer.EndArray();
        break;
    }
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

uint32_t JournalRecord::Append(int syslogPriority, const std::wstring& syslogText) const {
  syslog(LOG_USER | syslogPriority, "%s", Utf8FromWide(syslogText).c_str());
  const std::string path = EventJournalFile();
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirectories(path.substr(0, slash));
  JournalFile file(path);
  if (file.fd() < 0) return Win32ErrorFromErrno(errno);
  // O_APPEND keeps lines whole for small writes; the lock also covers long ones.
  flock(file.fd(), LOCK_EX);
  const bool written = WriteAll(file.fd(), ToJson() + "\n");
  const int error = errno;
  flock(file.fd(), LOCK_UN);
  return written ? 0 : Win32ErrorFromErrno(error ? error : EIO);
}

}  // namespace winapi

// Where the layer records event-log entries and administrator alerts: one JSON object a
// line appended to WINAPI_EVENTLOG (default <state>/eventlog.jsonl), and a copy to syslog.
// Several processes append to one file; a line is written whole, under an advisory lock.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace winapi {

struct JournalField {
  std::string name;
  enum class Kind { Text, Number, TextList } kind = Kind::Text;
  std::wstring text;
  uint64_t number = 0;
  std::vector<std::wstring> list;
};

class JournalRecord {
 public:
  explicit JournalRecord(std::string kind);
  JournalRecord& Text(std::string name, std::wstring value);
  JournalRecord& Number(std::string name, uint64_t value);
  JournalRecord& TextList(std::string name, std::vector<std::wstring> values);

  // The JSON line without its newline: "time", "pid", "kind" first, then the fields.
  std::string ToJson() const;
  // Appends the line to the journal file and sends `syslogText` to syslog at `priority`.
  // Returns 0 or the Win32 error of the failed append.
  uint32_t Append(int syslogPriority, const std::wstring& syslogText) const;

 private:
  std::string kind_;
  std::vector<JournalField> fields_;
};

// WINAPI_EVENTLOG, else <state>/eventlog.jsonl.
std::string EventJournalFile();

}  // namespace winapi

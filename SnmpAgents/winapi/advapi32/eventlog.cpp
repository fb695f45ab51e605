// Event log (advapi32). A report becomes one record of the layer's event journal: source,
// type, event id, insertion strings, raw data as hex, and the message text when the
// source's message files are registered under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source> ("EventMessageFile",
// several files separated by ";"), formatted the way an event viewer shows it.
#include <windows.h>
#include <winapi_ext.h>
#include <syslog.h>

#include <cstring>

#include <memory>
#include <string>
#include <vector>

#include "errors.h"
#include "event_journal.h"
#include "handles.h"
#include "local_machine.h"
#include "wide_text.h"

namespace {

constexpr const wchar_t* kApplicationLog = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
// Windows refuses longer insertion strings.
constexpr size_t kMaxInsertionLength = 31839;
// %1 ... %99 can appear in a message; inserts the report does not supply stay visible.
constexpr int kMaxInserts = 99;

class EventSource : public winapi::KernelObject {
 public:
  explicit EventSource(std::wstring name) : name_(std::move(name)) {}
  const char* TypeName() const override { return "EventSource"; }
  const std::wstring& Name() const { return name_; }

 private:
  std::wstring name_;
};

class RegistryValueKey {
 public:
  explicit RegistryValueKey(const std::wstring& path) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RegistryValueKey() {
    if (key_) RegCloseKey(key_);
  }
  RegistryValueKey(const RegistryValueKey&) = delete;
  RegistryValueKey& operator=(const RegistryValueKey&) = delete;

  std::wstring String(const wchar_t* name) const {
    if (!key_) return {};
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<LPBYTE>(value.data()), &size) != ERROR_SUCCESS)
      return {};
    value.resize(winapi::WideLength(value.c_str()));
    return value;
  }

 private:
  HKEY key_ = nullptr;
};

std::wstring Expand(const std::wstring& text) {
  const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (needed == 0) return text;
  std::wstring expanded(needed, L'\0');
  ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
  expanded.resize(winapi::WideLength(expanded.c_str()));
  return expanded;
}

std::vector<std::wstring> MessageFiles(const std::wstring& source) {
  const std::wstring list = RegistryValueKey(kApplicationLog + source).String(L"EventMessageFile");
  std::vector<std::wstring> files;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = list.find(L';', start);
    const std::wstring file = list.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (!file.empty()) files.push_back(Expand(file));
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return files;
}

class DataModule {
 public:
  explicit DataModule(const std::wstring& path) : module_(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
  ~DataModule() {
    if (module_) FreeLibrary(module_);
  }
  DataModule(const DataModule&) = delete;
  DataModule& operator=(const DataModule&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

std::wstring TrimEnd(std::wstring text) {
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  return text;
}

// The message of the first registered file that has it; empty when none has.
std::wstring MessageText(const std::wstring& source, DWORD eventId, const std::vector<std::wstring>& strings) {
  std::vector<std::wstring> placeholders;
  std::vector<DWORD_PTR> arguments;
  for (int i = 0; i < kMaxInserts; ++i) {
    if (static_cast<size_t>(i) < strings.size()) continue;
    placeholders.push_back(L"%" + std::to_wstring(i + 1));
  }
  for (const std::wstring& s : strings) arguments.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
  for (const std::wstring& p : placeholders) arguments.push_back(reinterpret_cast<DWORD_PTR>(p.c_str()));
  for (const std::wstring& file : MessageFiles(source)) {
    const DataModule module(file);
    if (!module.get()) continue;
    LPWSTR text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, module.get(),
        eventId, 0, reinterpret_cast<LPWSTR>(&text), 0, reinterpret_cast<va_list*>(arguments.data()));
    if (length == 0 || !text) continue;
    std::wstring result(text, length);
    LocalFree(text);
    return TrimEnd(std::move(result));
  }
  return {};
}

const wchar_t* TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS: return L"success";
    case EVENTLOG_ERROR_TYPE: return L"error";
    case EVENTLOG_WARNING_TYPE: return L"warning";
    case EVENTLOG_INFORMATION_TYPE: return L"information";
    case EVENTLOG_AUDIT_SUCCESS: return L"auditSuccess";
    case EVENTLOG_AUDIT_FAILURE: return L"auditFailure";
    default: return L"unknown";
  }
}

int SyslogPriority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_AUDIT_FAILURE: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

std::wstring EventIdText(DWORD eventId) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%08X", eventId);
  return text;
}

}  // namespace

// RegisterEventSourceW
extern "C" WINADVAPI HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  if (!lpSourceName || !*lpSourceName) {
    winapi::FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!winapi::IsLocalMachine(lpUNCServerName)) {
    winapi::FailWith(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  return winapi::GuardedHandle([&] { return winapi::InsertHandle(std::make_shared<EventSource>(lpSourceName)); });
}

// DeregisterEventSource
extern "C" WINADVAPI BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
  if (!winapi::LookupHandleAs<EventSource>(hEventLog) || !winapi::RemoveHandle(hEventLog))
    return winapi::FailWith(ERROR_INVALID_HANDLE);
  return TRUE;
}

// ReportEventW
extern "C" WINADVAPI BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                                              PSID /*lpUserSid*/, WORD wNumStrings, DWORD dwDataSize,
                                              LPCWSTR* lpStrings, LPVOID lpRawData) {
  const auto source = winapi::LookupHandleAs<EventSource>(hEventLog);
  if (!source) return winapi::FailWith(ERROR_INVALID_HANDLE);
  if ((wNumStrings && !lpStrings) || (dwDataSize && !lpRawData)) return winapi::FailWith(ERROR_INVALID_PARAMETER);
  return winapi::GuardedBool([&] {
    std::vector<std::wstring> strings;
    for (WORD i = 0; i < wNumStrings; ++i) {
      if (!lpStrings[i]) return winapi::FailWith(ERROR_INVALID_PARAMETER);
      strings.emplace_back(lpStrings[i]);
      if (strings.back().size() > kMaxInsertionLength) return winapi::FailWith(ERROR_INVALID_PARAMETER);
    }
    const std::wstring text = MessageText(source->Name(), dwEventID, strings);
    winapi::JournalRecord record("event");
    record.Text("log", L"Application")
        .Text("source", source->Name())
        .Text("type", TypeName(wType))
        .Number("category", wCategory)
        .Number("eventId", dwEventID)
        .Text("eventIdHex", EventIdText(dwEventID))
        .TextList("strings", strings);
    if (!text.empty()) record.Text("text", text);
    if (dwDataSize) record.Text("data", winapi::LowerHex(lpRawData, dwDataSize));
    std::wstring summary = source->Name() + L": " + TypeName(wType) + L" " + EventIdText(dwEventID) + L": ";
    if (!text.empty()) {
      summary += text;
    } else {
      for (size_t i = 0; i < strings.size(); ++i) summary += (i ? L" | " : L"") + strings[i];
    }
    if (const uint32_t error = record.Append(SyslogPriority(wType), summary)) return winapi::FailWith(error);
    return TRUE;
  });
}

// WinapiEventJournalFile
extern "C" WINAPI_EXPORT DWORD WINAPI WinapiEventJournalFile(LPWSTR lpPath, DWORD cchPath) {
  return winapi::GuardedLastError<DWORD>(0, [&] {
    const std::wstring path = winapi::WideFromUtf8(winapi::EventJournalFile());
    if (!lpPath || cchPath <= path.size()) return static_cast<DWORD>(path.size() + 1);
    std::memcpy(lpPath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(path.size());
  });
}

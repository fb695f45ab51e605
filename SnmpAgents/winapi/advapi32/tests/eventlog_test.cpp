// Event log conformance: source handles, argument checks, and (on our layer) the
// journal record of a report with its formatted message text.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "conformance.h"
#include "journal.h"

namespace {

using conformance::kSentinel;
using conformance::OnOurLayer;
using conformance::OnWine;

constexpr const wchar_t* kSource = L"FerrowindEventTest";
constexpr const wchar_t* kSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\FerrowindEventTest";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring BinaryDir() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

class EventSourceHandle {
 public:
  explicit EventSourceHandle(const wchar_t* source, const wchar_t* server = nullptr)
      : handle_(RegisterEventSourceW(server, source)) {}
  ~EventSourceHandle() {
    if (handle_) DeregisterEventSource(handle_);
  }
  EventSourceHandle(const EventSourceHandle&) = delete;
  EventSourceHandle& operator=(const EventSourceHandle&) = delete;
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Registers the test's message file for kSource, as an installer registers a source.
void RegisterMessageFile(const std::wstring& file) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                           &key, nullptr));
  RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                 static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

BOOL Report(HANDLE source, WORD type, DWORD id, std::vector<const wchar_t*> strings, const std::string& data = {}) {
  return ReportEventW(source, type, 0, id, nullptr, static_cast<WORD>(strings.size()),
                      static_cast<DWORD>(data.size()), strings.empty() ? nullptr : strings.data(),
                      data.empty() ? nullptr : const_cast<char*>(data.data()));
}

TEST(EventLog, SourceHandles) {
  {
    EventSourceHandle source(kSource);
    ASSERT_NE(source.Get(), nullptr) << GetLastError();
  }
  conformance::ExpectKnownGap(conformance::OnWine(), "Wine hands out one fake handle and accepts every deregistration", [&] {
    const struct {
      const char* what;
      const wchar_t* server;
      const wchar_t* source;
      DWORD error;
    } refused[] = {
        {"remote server", L"\\\\no-such-host-fw", kSource, RPC_S_SERVER_UNAVAILABLE},
        {"null source", nullptr, nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : refused) {
      SetLastError(kSentinel);
      EXPECT_EQ(RegisterEventSourceW(c.server, c.source), nullptr) << c.what;
      EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    HANDLE once = RegisterEventSourceW(L"", kSource);
    ASSERT_NE(once, nullptr) << "an empty server name is the local machine";
    EXPECT_TRUE(DeregisterEventSource(once));
    SetLastError(kSentinel);
    EXPECT_FALSE(DeregisterEventSource(once));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  });
}

TEST(EventLog, BadReportsAreRefused) {
  conformance::ExpectKnownGap(conformance::OnWine(), "Wine's ReportEventW accepts anything", [&] {
    EventSourceHandle source(kSource);
    ASSERT_NE(source.Get(), nullptr);
    const std::wstring tooLong(31840, L'x');
    LPCWSTR nullEntry[] = {L"first", nullptr};
    LPCWSTR longEntry[] = {tooLong.c_str()};
    const struct {
      const char* what;
      HANDLE handle;
      WORD count;
      LPCWSTR* strings;
      DWORD dataSize;
      DWORD error;
    } cases[] = {
        {"closed handle", reinterpret_cast<HANDLE>(0x7FF0), 0, nullptr, 0, ERROR_INVALID_HANDLE},
        {"count without strings", source.Get(), 2, nullptr, 0, ERROR_INVALID_PARAMETER},
        {"null string", source.Get(), 2, nullEntry, 0, ERROR_INVALID_PARAMETER},
        {"string over the limit", source.Get(), 1, longEntry, 0, ERROR_INVALID_PARAMETER},
        {"data size without data", source.Get(), 0, nullptr, 4, ERROR_INVALID_PARAMETER},
    };
    const size_t before = conformance::JournalLines().size();
    for (const auto& c : cases) {
      SetLastError(kSentinel);
      EXPECT_FALSE(ReportEventW(c.handle, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, c.count, c.dataSize, c.strings, nullptr))
          << c.what;
      EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_EQ(conformance::JournalLines().size(), before) << "a refused report writes nothing";
  });
}

TEST(EventLog, ReportCarriesItsFormattedMessage) {
  RegisterMessageFile(BinaryDir() + L"format_test_messages.dll");
  EventSourceHandle source(kSource);
  ASSERT_NE(source.Get(), nullptr);
  const size_t before = conformance::JournalLines().size();
  ASSERT_TRUE(Report(source.Get(), EVENTLOG_INFORMATION_TYPE, 0x40002A3B, {L"Cl\u00fcster-1"})) << GetLastError();
  ASSERT_TRUE(Report(source.Get(), EVENTLOG_ERROR_TYPE, 0xC0002A3C, {L"G1"}, std::string("\x01\xfe", 2)));
  ASSERT_TRUE(Report(source.Get(), EVENTLOG_WARNING_TYPE, 0x80000077, {L"a \"quoted\"\nline", L"two"}));
  if (!OnOurLayer()) return;
  const auto lines = conformance::JournalLines();
  ASSERT_EQ(lines.size(), before + 3);
  const struct {
    std::string type;
    uint64_t id;
    std::string text;
    std::vector<std::string> strings;
    std::string data;
  } expected[] = {
      {"information", 0x40002A3B, "Cluster Cl\xc3\xbcster-1 is up.\r\nSecond line.", {"Cl\xc3\xbcster-1"}, ""},
      // Inserts the report does not supply stay visible, as an event viewer shows them.
      {"error", 0xC0002A3C, "Group G1 failed\r\non node %2.", {"G1"}, "01fe"},
      // No message with this id: the record holds the strings only.
      {"warning", 0x80000077, "", {"a \"quoted\"\nline", "two"}, ""},
  };
  for (size_t i = 0; i < std::size(expected); ++i) {
    const auto record = conformance::ParseRecord(lines[before + i]);
    ASSERT_FALSE(record.HasParseError()) << lines[before + i];
    const auto& e = expected[i];
    EXPECT_EQ(conformance::Field(record, "kind"), "event");
    EXPECT_EQ(conformance::Field(record, "source"), Narrow(kSource));
    EXPECT_EQ(conformance::Field(record, "type"), e.type) << i;
    EXPECT_EQ(record["eventId"].GetUint64(), e.id) << i;
    EXPECT_EQ(conformance::Field(record, "text"), e.text) << i;
    EXPECT_EQ(conformance::Field(record, "data"), e.data) << i;
    ASSERT_TRUE(record["strings"].IsArray());
    ASSERT_EQ(record["strings"].Size(), e.strings.size()) << i;
    for (rapidjson::SizeType k = 0; k < record["strings"].Size(); ++k)
      EXPECT_EQ(record["strings"][k].GetString(), e.strings[k]) << i;
  }
}

TEST(EventLog, ConcurrentReportsKeepWholeLines) {
  if (!OnOurLayer()) GTEST_SKIP() << "reads the layer's journal";
  constexpr int kThreads = 4;
  constexpr int kReports = 150;
  const size_t before = conformance::JournalLines().size();
  const std::wstring payload(6000, L'p');  // longer than one atomic pipe write
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&payload] {
      EventSourceHandle source(kSource);
      for (int i = 0; i < kReports; ++i) Report(source.Get(), EVENTLOG_INFORMATION_TYPE, 7, {payload.c_str()});
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = conformance::JournalLines();
  ASSERT_EQ(lines.size(), before + kThreads * kReports);
  for (size_t i = before; i < lines.size(); ++i) {
    ASSERT_FALSE(conformance::ParseRecord(lines[i]).HasParseError()) << "torn line " << i;
  }
}

}  // namespace

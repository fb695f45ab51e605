// The installation seed registers the event source "Vornekt Agents" with the messages
// library in the file root, so that a reported trap carries its text.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "journal.h"

namespace {

constexpr const wchar_t* kFileRoot = L"C:\\Program Files\\Morvasten\\Agents";

std::wstring BuiltLibrary() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  dir = dir.substr(0, dir.find_last_of(L"\\/"));
  return dir.substr(0, dir.find_last_of(L"\\/")) + L"/lib/Messages.dll";
}

void CreateTree(const std::wstring& path) {
  for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  CreateDirectoryW(path.c_str(), nullptr);
}

TEST(Installation, SeededEventSourceFormatsTrapTexts) {
  const std::string import = std::string(WINREG_TOOL) + " import " + SEED_FILE + " >/dev/null";
  ASSERT_EQ(std::system(import.c_str()), 0) << import;
  CreateTree(kFileRoot);
  ASSERT_TRUE(CopyFileW(BuiltLibrary().c_str(), (std::wstring(kFileRoot) + L"\\Messages.dll").c_str(), FALSE))
      << GetLastError();

  HANDLE source = RegisterEventSourceW(nullptr, L"Vornekt Agents");
  ASSERT_NE(source, nullptr);
  LPCWSTR strings[] = {L"NODE-A", L"1700000000"};
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0xC0002A3C, nullptr, 2, 0, strings, nullptr));
  DeregisterEventSource(source);

  const auto lines = conformance::JournalLines();
  ASSERT_FALSE(lines.empty());
  const auto record = conformance::ParseRecord(lines.back());
  EXPECT_EQ(conformance::Field(record, "text"),
            "The cluster agent on NODE-A has lost the connection to the cluster service (time 1700000000).");
}

}  // namespace

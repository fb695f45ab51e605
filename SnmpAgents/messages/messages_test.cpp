// The messages library holds one text per trap, under the id and severity its trap
// number gives, and its insertions take the trap's varbinds.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "Messages.h"

namespace {

constexpr DWORD kCodeBase = 10000;
constexpr DWORD kLastTrap = 2603;
constexpr DWORD kSeverityShift = 30;

constexpr DWORD Id(DWORD severity, DWORD trap) { return (severity << kSeverityShift) | (kCodeBase + trap); }

std::wstring LibraryPath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  dir = dir.substr(0, dir.find_last_of(L"\\/"));
  return dir.substr(0, dir.find_last_of(L"\\/")) + L"\\lib\\Messages.dll";
}

class MessagesLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(LibraryPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << "cannot load Messages.dll: " << GetLastError();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  // The formatted text, or empty when the library has no such message.
  std::wstring Format(DWORD id, const wchar_t* a = L"HOST", const wchar_t* b = L"1700000000",
                      const wchar_t* c = L"OBJ") const {
    const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(a), reinterpret_cast<DWORD_PTR>(b),
                              reinterpret_cast<DWORD_PTR>(c)};
    wchar_t text[1000] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module_, id, 0,
                                        text, 1000, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
    return std::wstring(text, length);
  }

  HMODULE module_ = nullptr;
};

TEST_F(MessagesLibrary, EveryTrapHasExactlyOneMessage) {
  int found = 0;
  int counts[4] = {};
  for (DWORD trap = 0; trap <= kLastTrap; ++trap) {
    int severities = 0;
    for (DWORD severity = 0; severity < 4; ++severity) {
      if (Format(Id(severity, trap)).empty()) continue;
      ++severities;
      ++counts[severity];
    }
    EXPECT_LE(severities, 1) << "trap " << trap << " has messages of several severities";
    found += severities;
  }
  EXPECT_EQ(found, 464);
  EXPECT_EQ(counts[0], 0) << "no trap message is a success message";
  EXPECT_EQ(counts[1], 281);
  EXPECT_EQ(counts[2], 35);
  EXPECT_EQ(counts[3], 148);
}

TEST_F(MessagesLibrary, ClusterTrapsNameTheirObject) {
  const struct {
    DWORD id;
    const wchar_t* text;
  } cases[] = {
      {MSG_CLUSTER_NOT_REACHED, L"The cluster agent on HOST has not reached the cluster service since it started; "
                                L"it keeps trying (time 1700000000).\r\n"},
      {0x40002A3B, L"The cluster agent on HOST reaches the cluster service again (time 1700000000).\r\n"},
      {0xC0002A3C, L"The cluster agent on HOST has lost the connection to the cluster service (time 1700000000).\r\n"},
      {Id(1, 925), L"Cluster node OBJ is down (reported by HOST, time 1700000000).\r\n"},
      {Id(3, 932), L"Cluster group OBJ has failed (reported by HOST, time 1700000000).\r\n"},
      {Id(2, 2001), L"Agent event 2001 (warning) reported by HOST (time 1700000000).\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Format(c.id), c.text) << std::hex << c.id;
}

}  // namespace

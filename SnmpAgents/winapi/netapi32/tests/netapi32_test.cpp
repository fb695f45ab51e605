// netapi32 conformance: the buffer allocator and administrator alerts, whose variable
// part is read within the size the caller gives.
#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "conformance.h"
#include "journal.h"

namespace {

using conformance::OnOurLayer;
using conformance::OnWine;

// An ADMIN_OTHER_INFO block: header, then the strings with their terminators.
std::vector<BYTE> AdminBlock(DWORD errorCode, DWORD claimedStrings, const std::vector<std::wstring>& strings) {
  ADMIN_OTHER_INFO header{errorCode, claimedStrings};
  std::vector<BYTE> block(sizeof header);
  std::memcpy(block.data(), &header, sizeof header);
  for (const std::wstring& s : strings) {
    const auto* bytes = reinterpret_cast<const BYTE*>(s.c_str());
    block.insert(block.end(), bytes, bytes + (s.size() + 1) * sizeof(WCHAR));
  }
  return block;
}

TEST(NetApiBuffer, AllocateZeroedSizedAndFree) {
  for (DWORD size : {0u, 1u, 14u, 4096u}) {
    LPVOID buffer = nullptr;
    ASSERT_EQ(NetApiBufferAllocate(size, &buffer), static_cast<DWORD>(NERR_Success)) << size;
    ASSERT_NE(buffer, nullptr) << size;
    DWORD reported = 0;
    EXPECT_EQ(NetApiBufferSize(buffer, &reported), static_cast<DWORD>(NERR_Success));
    EXPECT_GE(reported, size);
    std::memset(buffer, 0xAB, size);
    EXPECT_EQ(NetApiBufferFree(buffer), static_cast<DWORD>(NERR_Success));
  }
  EXPECT_EQ(NetApiBufferFree(nullptr), static_cast<DWORD>(NERR_Success));
  EXPECT_EQ(NetApiBufferAllocate(8, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(NetAlert, AdminAlertIsRecordedWithItsText) {
  if (OnWine()) GTEST_SKIP() << "Wine's NetAlertRaiseEx is a stub that aborts the process";
  const std::wstring text = L"Cluster CL1 is reachable again (\u00e9).";
  // Laid out as an agent raises it: header with error code 0xFFFFFFFF and one string.
  LPVOID block = nullptr;
  const DWORD size = static_cast<DWORD>(sizeof(ADMIN_OTHER_INFO) + (text.size() + 1) * sizeof(WCHAR));
  ASSERT_EQ(NetApiBufferAllocate(size, &block), static_cast<DWORD>(NERR_Success));
  auto* info = static_cast<ADMIN_OTHER_INFO*>(block);
  info->alrtad_errcode = 0xFFFFFFFF;
  info->alrtad_numstrings = 1;
  std::memcpy(ALERT_VAR_DATA(info), text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  const size_t before = OnOurLayer() ? conformance::JournalLines().size() : 0;
  EXPECT_EQ(NetAlertRaiseEx(ALERT_ADMIN_EVENT, block, size, L"Ostrel"), static_cast<DWORD>(NERR_Success));
  NetApiBufferFree(block);
  if (!OnOurLayer()) return;
  const auto lines = conformance::JournalLines();
  ASSERT_EQ(lines.size(), before + 1);
  const auto record = conformance::ParseRecord(lines.back());
  ASSERT_FALSE(record.HasParseError()) << lines.back();
  EXPECT_EQ(conformance::Field(record, "kind"), "alert");
  EXPECT_EQ(conformance::Field(record, "alertType"), "ADMIN");
  EXPECT_EQ(conformance::Field(record, "service"), "Ostrel");
  EXPECT_EQ(record["errcode"].GetUint64(), 0xFFFFFFFFu);
  ASSERT_EQ(record["strings"].Size(), 1u);
  EXPECT_STREQ(record["strings"][0].GetString(), "Cluster CL1 is reachable again (\xc3\xa9).");
}

TEST(NetAlert, MalformedBlocksAreRefusedWithoutReadingPastThem) {
  if (OnWine()) GTEST_SKIP() << "Wine's NetAlertRaiseEx is a stub that aborts the process";
  std::vector<BYTE> unterminated = AdminBlock(1, 1, {L"abc"});
  unterminated.resize(unterminated.size() - sizeof(WCHAR));
  const struct {
    const char* what;
    std::vector<BYTE> block;
    DWORD size;  // 0: the block's own size
  } cases[] = {
      {"shorter than the header", AdminBlock(1, 0, {}), 7},
      {"fewer strings than claimed", AdminBlock(1, 2, {L"one"}), 0},
      {"string without terminator", unterminated, 0},
      {"huge string count", AdminBlock(1, 0xFFFFFFFF, {L"x"}), 0},
      {"size cuts the string", AdminBlock(1, 1, {L"abcdef"}), sizeof(ADMIN_OTHER_INFO) + 2 * sizeof(WCHAR)},
  };
  const size_t before = OnOurLayer() ? conformance::JournalLines().size() : 0;
  for (const auto& c : cases) {
    // Copied to an exact-size heap block so that ASan sees any read past it.
    const DWORD size = c.size ? c.size : static_cast<DWORD>(c.block.size());
    std::vector<BYTE> exact(c.block.begin(), c.block.begin() + std::min<size_t>(size, c.block.size()));
    EXPECT_EQ(NetAlertRaiseEx(ALERT_ADMIN_EVENT, exact.data(), static_cast<DWORD>(exact.size()), L"Ostrel"),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << c.what;
  }
  EXPECT_EQ(NetAlertRaiseEx(nullptr, nullptr, 0, L"Ostrel"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  if (OnOurLayer()) {
    EXPECT_EQ(conformance::JournalLines().size(), before) << "a refused alert records nothing";
  }
}

}  // namespace

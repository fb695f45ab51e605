// Token and privilege conformance: lookups, sizing, and AdjustTokenPrivileges results
// judged against what the token actually holds, so that the same table holds for any
// account (root or not on Linux, Wine's administrator token).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "conformance.h"

namespace {

using conformance::kSentinel;
using conformance::OnWine;

class Handle {
 public:
  Handle() = default;
  ~Handle() {
    if (handle_) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  PHANDLE Out() { return &handle_; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

LUID Lookup(const wchar_t* name) {
  LUID luid{};
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, name, &luid)) << "error " << GetLastError();
  return luid;
}

std::vector<LUID_AND_ATTRIBUTES> HeldPrivileges(HANDLE token) {
  DWORD size = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  std::vector<BYTE> buffer(size);
  EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) << "error " << GetLastError();
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  EXPECT_EQ(offsetof(TOKEN_PRIVILEGES, Privileges) + privileges->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES), size);
  return std::vector<LUID_AND_ATTRIBUTES>(privileges->Privileges, privileges->Privileges + privileges->PrivilegeCount);
}

std::optional<DWORD> AttributesOf(HANDLE token, const LUID& luid) {
  for (const auto& p : HeldPrivileges(token)) {
    if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart) return p.Attributes;
  }
  return std::nullopt;
}

// Sets one privilege; returns the call's result and last error.
std::pair<BOOL, DWORD> Adjust(HANDLE token, const LUID& luid, DWORD attributes, TOKEN_PRIVILEGES* previous = nullptr,
                              DWORD previousSize = 0, DWORD* returned = nullptr) {
  TOKEN_PRIVILEGES change{};
  change.PrivilegeCount = 1;
  change.Privileges[0].Luid = luid;
  change.Privileges[0].Attributes = attributes;
  SetLastError(kSentinel);
  const BOOL ok = AdjustTokenPrivileges(token, FALSE, &change, previousSize, previous, returned);
  return {ok, GetLastError()};
}

TEST(Privileges, LookupByNameUsesWindowsLuids) {
  struct NameCase {
    const wchar_t* name;
    DWORD expectedError;
    DWORD luid;
  };
  const NameCase cases[] = {
      {L"SeDebugPrivilege", ERROR_SUCCESS, 20},
      {L"sedebugprivilege", ERROR_SUCCESS, 20},
      {L"SeShutdownPrivilege", ERROR_SUCCESS, 19},
      {L"SeChangeNotifyPrivilege", ERROR_SUCCESS, 23},
      {L"SeBackupPrivilege", ERROR_SUCCESS, 17},
      {L"SeTcbPrivilege", ERROR_SUCCESS, 7},
      {L"SeNoSuchPrivilege", ERROR_NO_SUCH_PRIVILEGE, 0},
      {L"", ERROR_NO_SUCH_PRIVILEGE, 0},
  };
  for (const auto& c : cases) {
    const std::string label(c.name, c.name + wcslen(c.name));
    LUID luid{0x1111, 0x2222};
    SetLastError(kSentinel);
    const BOOL ok = LookupPrivilegeValueW(nullptr, c.name, &luid);
    if (c.expectedError != ERROR_SUCCESS) {
      EXPECT_FALSE(ok) << label;
      EXPECT_EQ(c.expectedError, GetLastError()) << label;
      continue;
    }
    ASSERT_TRUE(ok) << label << " error " << GetLastError();
    EXPECT_EQ(c.luid, luid.LowPart) << label;
    EXPECT_EQ(0, luid.HighPart) << label;
  }
}

TEST(Privileges, LookupByLuidSizesItsBuffer) {
  LUID debug{20, 0};
  WCHAR name[64];
  DWORD chars = 4;
  SetLastError(kSentinel);
  EXPECT_FALSE(LookupPrivilegeNameW(nullptr, &debug, name, &chars));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(17u, chars) << "16 characters and the terminator";
  chars = 64;
  ASSERT_TRUE(LookupPrivilegeNameW(nullptr, &debug, name, &chars)) << "error " << GetLastError();
  EXPECT_EQ(std::wstring(L"SeDebugPrivilege"), name);
  EXPECT_EQ(16u, chars);
  LUID unknown{999, 0};
  chars = 64;
  SetLastError(kSentinel);
  EXPECT_FALSE(LookupPrivilegeNameW(nullptr, &unknown, name, &chars));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE), GetLastError());
}

TEST(Privileges, TokenInformationNeedsQueryAccessAndAValidHandle) {
  Handle adjustOnly;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, adjustOnly.Out()));
  DWORD size = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetTokenInformation(adjustOnly.Get(), TokenPrivileges, nullptr, 0, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

  Handle queryOnly;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, queryOnly.Out()));
  EXPECT_FALSE(HeldPrivileges(queryOnly.Get()).empty());
  const auto [ok, error] = Adjust(queryOnly.Get(), Lookup(L"SeShutdownPrivilege"), SE_PRIVILEGE_ENABLED);
  EXPECT_FALSE(ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);

  SetLastError(kSentinel);
  EXPECT_FALSE(GetTokenInformation(nullptr, TokenPrivileges, nullptr, 0, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Privileges, AdjustResultFollowsWhatTheTokenHolds) {
  Handle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Out()));
  for (const wchar_t* name : {L"SeDebugPrivilege", L"SeShutdownPrivilege", L"SeChangeNotifyPrivilege",
                              L"SeCreateTokenPrivilege", L"SeTcbPrivilege", L"SeBackupPrivilege"}) {
    const std::string label(name, name + wcslen(name));
    const LUID luid = Lookup(name);
    const std::optional<DWORD> before = AttributesOf(token.Get(), luid);
    const DWORD expected = before ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;

    auto [ok, error] = Adjust(token.Get(), luid, SE_PRIVILEGE_ENABLED);
    EXPECT_TRUE(ok) << label << ": a privilege not held is no failure of the call";
    EXPECT_EQ(expected, error) << label;
    const std::optional<DWORD> enabled = AttributesOf(token.Get(), luid);
    ASSERT_EQ(before.has_value(), enabled.has_value()) << label << ": enabling never adds a privilege";
    if (!before) continue;
    EXPECT_NE(0u, *enabled & SE_PRIVILEGE_ENABLED) << label;

    std::tie(ok, error) = Adjust(token.Get(), luid, 0);
    EXPECT_TRUE(ok) << label;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error) << label;
    EXPECT_EQ(0u, *AttributesOf(token.Get(), luid) & SE_PRIVILEGE_ENABLED) << label;

    // Put it back as it was.
    std::tie(ok, error) = Adjust(token.Get(), luid, *before & SE_PRIVILEGE_ENABLED);
    EXPECT_EQ(*before, *AttributesOf(token.Get(), luid)) << label;
  }
}

TEST(Privileges, AdjustReportsThePreviousState) {
  Handle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Out()));
  const LUID shutdown = Lookup(L"SeShutdownPrivilege");
  ASSERT_TRUE(AttributesOf(token.Get(), shutdown).has_value()) << "every account holds SeShutdownPrivilege";
  Adjust(token.Get(), shutdown, 0);

  struct {
    TOKEN_PRIVILEGES header;
    LUID_AND_ATTRIBUTES more[4];
  } previous{};
  DWORD returned = 0;
  auto [ok, error] = Adjust(token.Get(), shutdown, SE_PRIVILEGE_ENABLED, &previous.header, 1, &returned);
  // Wine adjusts anyway and reports success here.
  if (!OnWine()) {
    EXPECT_FALSE(ok) << "a previous-state buffer that is too small changes nothing";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), error);
    EXPECT_EQ(sizeof(TOKEN_PRIVILEGES), returned);
    EXPECT_EQ(0u, *AttributesOf(token.Get(), shutdown) & SE_PRIVILEGE_ENABLED);
  }
  Adjust(token.Get(), shutdown, 0);

  std::tie(ok, error) =
      Adjust(token.Get(), shutdown, SE_PRIVILEGE_ENABLED, &previous.header, sizeof previous, &returned);
  ASSERT_TRUE(ok) << "error " << error;
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error);
  ASSERT_EQ(1u, previous.header.PrivilegeCount);
  EXPECT_EQ(shutdown.LowPart, previous.header.Privileges[0].Luid.LowPart);
  EXPECT_EQ(0u, previous.header.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) << "it was disabled before";

  // Restoring from the previous state undoes the change.
  SetLastError(kSentinel);
  EXPECT_TRUE(AdjustTokenPrivileges(token.Get(), FALSE, &previous.header, 0, nullptr, nullptr));
  EXPECT_EQ(0u, *AttributesOf(token.Get(), shutdown) & SE_PRIVILEGE_ENABLED);
}

TEST(Privileges, RemovedPrivilegeCannotBeEnabledAgain) {
  Handle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Out()));
  const LUID undock = Lookup(L"SeUndockPrivilege");
  if (!AttributesOf(token.Get(), undock)) GTEST_SKIP() << "this account does not hold SeUndockPrivilege";
  auto [ok, error] = Adjust(token.Get(), undock, SE_PRIVILEGE_REMOVED);
  EXPECT_TRUE(ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error);
  EXPECT_FALSE(AttributesOf(token.Get(), undock).has_value());
  std::tie(ok, error) = Adjust(token.Get(), undock, SE_PRIVILEGE_ENABLED);
  EXPECT_TRUE(ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED), error);
}

}  // namespace

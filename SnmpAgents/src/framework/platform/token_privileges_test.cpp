#include "token_privileges.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class ProcessToken {
 public:
  ProcessToken() { OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &m_token); }
  ~ProcessToken() {
    if (m_token) CloseHandle(m_token);
  }
  ProcessToken(const ProcessToken&) = delete;
  ProcessToken& operator=(const ProcessToken&) = delete;
  HANDLE Get() const { return m_token; }

  std::string Privileges() const {
    DWORD size = 0;
    GetTokenInformation(m_token, TokenPrivileges, nullptr, 0, &size);
    std::string bytes(size, '\0');
    if (!GetTokenInformation(m_token, TokenPrivileges, bytes.data(), size, &size)) return {};
    return bytes;
  }

 private:
  HANDLE m_token = nullptr;
};

TEST(TokenPrivilege, RefusedRequestsChangeNothing) {
  ProcessToken token;
  ASSERT_NE(token.Get(), nullptr) << GetLastError();
  const std::string before = token.Privileges();
  const struct {
    const char* what;
    HANDLE token;
    const wchar_t* name;
  } cases[] = {
      {"unknown privilege", token.Get(), L"SeNoSuchPrivilegeFw"},
      {"null name", token.Get(), nullptr},
      {"empty name", token.Get(), L""},
      {"null token", nullptr, L"SeChangeNotifyPrivilege"},
      {"invalid token", INVALID_HANDLE_VALUE, L"SeChangeNotifyPrivilege"},
  };
  for (const auto& c : cases) {
    bool wasEnabled = true;
    EXPECT_FALSE(CTokenPrivileges::SetPrivilege(c.token, c.name, true, &wasEnabled)) << c.what;
    EXPECT_EQ(token.Privileges(), before) << c.what;
  }
}

TEST(TokenPrivilege, HeldPrivilegeReportsItsFormerState) {
  ProcessToken token;
  ASSERT_NE(token.Get(), nullptr) << GetLastError();
  // Every token holds this one, enabled by default.
  bool wasEnabled = false;
  EXPECT_TRUE(CTokenPrivileges::SetPrivilege(token.Get(), L"SeChangeNotifyPrivilege", true, &wasEnabled));
  EXPECT_TRUE(wasEnabled);
}

}  // namespace

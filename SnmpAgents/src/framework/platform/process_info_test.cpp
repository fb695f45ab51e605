#include "process_info.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

namespace {

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  return text;
}

TEST(ProcessName, OwnProcessAndMissingOne) {
  std::wstring name;
  ASSERT_TRUE(CProcess::GetName(GetCurrentProcessId(), name));
  EXPECT_EQ(Lower(name).rfind(L"framework_platform_test", 0), 0u);

  std::wstring untouched = L"unchanged";
  EXPECT_FALSE(CProcess::GetName(0x7FFFFFF0u, untouched));
  EXPECT_EQ(untouched, L"unchanged");
}

}  // namespace

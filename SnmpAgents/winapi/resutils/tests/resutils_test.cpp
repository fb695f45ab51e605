// ResUtilFind...Property conformance on hand-built CLUSPROP lists: values, the
// LocalAlloc contract, and malformed lists that must be refused without reading past
// the buffer (each list is copied into a buffer of exactly its size).
#include <windows.h>
#include <clusapi.h>
#include <resapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "conformance.h"

namespace {

// Builds lists the way the cluster service lays them out.
class ListBuilder {
 public:
  ListBuilder& Count(DWORD n) {
    count_ = n;
    return *this;
  }
  ListBuilder& Raw(DWORD value) {
    Append(&value, sizeof value);
    return *this;
  }
  ListBuilder& Value(DWORD syntax, const void* data, DWORD length, DWORD declared = ~0u) {
    Raw(syntax);
    Raw(declared == ~0u ? length : declared);
    Append(data, length);
    while (body_.size() % 4) body_.push_back(0);
    return *this;
  }
  ListBuilder& Name(const std::wstring& name) {
    return Value(CLUSPROP_SYNTAX_NAME, name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)));
  }
  ListBuilder& Sz(const std::wstring& name, const std::wstring& text) {
    Name(name);
    Value(CLUSPROP_SYNTAX_LIST_VALUE_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
    return Raw(CLUSPROP_SYNTAX_ENDMARK);
  }
  ListBuilder& Dword(const std::wstring& name, DWORD value) {
    Name(name);
    Value(CLUSPROP_SYNTAX_LIST_VALUE_DWORD, &value, sizeof value);
    return Raw(CLUSPROP_SYNTAX_ENDMARK);
  }
  ListBuilder& MultiSz(const std::wstring& name, const std::wstring& block) {
    Name(name);
    Value(CLUSPROP_SYNTAX_LIST_VALUE_MULTI_SZ, block.data(), static_cast<DWORD>(block.size() * sizeof(WCHAR)));
    return Raw(CLUSPROP_SYNTAX_ENDMARK);
  }
  std::vector<BYTE> Bytes() const {
    std::vector<BYTE> list(sizeof(DWORD));
    std::memcpy(list.data(), &count_, sizeof count_);
    list.insert(list.end(), body_.begin(), body_.end());
    return list;
  }

 private:
  void Append(const void* data, size_t size) {
    const auto* p = static_cast<const BYTE*>(data);
    body_.insert(body_.end(), p, p + size);
  }
  DWORD count_ = 0;
  std::vector<BYTE> body_;
};

// A heap copy of exactly the list's size, so that a read past it is caught.
std::unique_ptr<BYTE[]> Exact(const std::vector<BYTE>& list) {
  auto copy = std::make_unique<BYTE[]>(list.size() ? list.size() : 1);
  if (!list.empty()) std::memcpy(copy.get(), list.data(), list.size());
  return copy;
}

class ResUtil : public ::testing::Test {
 protected:
  void SetUp() override {
    // Its resutils.dll has the exports as stubs that abort the process.
    if (conformance::OnWine()) GTEST_SKIP() << "Wine does not implement the ResUtilFind...Property functions";
  }
};

std::vector<BYTE> SampleList() {
  return ListBuilder()
      .Count(3)
      .Sz(L"Address", L"10.0.0.1")
      .Dword(L"EnableNetBIOS", 1)
      .MultiSz(L"AdminExtensions", std::wstring(L"{A}\0{B}\0\0", 9))
      .Bytes();
}

TEST_F(ResUtil, FindsValuesOfEachSyntax) {
  const auto list = SampleList();
  auto buffer = Exact(list);
  const auto size = static_cast<DWORD>(list.size());
  LPWSTR text = nullptr;
  ASSERT_EQ(ResUtilFindSzProperty(buffer.get(), size, L"address", &text), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(text, L"10.0.0.1");
  LocalFree(text);
  DWORD number = 0;
  ASSERT_EQ(ResUtilFindDwordProperty(buffer.get(), size, L"EnableNetBIOS", &number), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(number, 1u);
  LPWSTR multi = nullptr;
  DWORD bytes = 0;
  ASSERT_EQ(ResUtilFindMultiSzProperty(buffer.get(), size, L"AdminExtensions", &multi, &bytes),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(bytes, 9 * sizeof(WCHAR));
  EXPECT_EQ(std::wstring(multi, 9), std::wstring(L"{A}\0{B}\0\0", 9));
  LocalFree(multi);

  text = reinterpret_cast<LPWSTR>(0x1);
  EXPECT_EQ(ResUtilFindSzProperty(buffer.get(), size, L"Network", &text), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(text, reinterpret_cast<LPWSTR>(0x1));
  // A value of another syntax is not converted.
  EXPECT_NE(ResUtilFindDwordProperty(buffer.get(), size, L"Address", &number), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(ResUtil, RefusesMalformedLists) {
  const DWORD three = 3;
  const std::wstring unterminated = L"abc";
  struct Case {
    const char* what;
    std::vector<BYTE> list;
  };
  const Case cases[] = {
      {"empty buffer", {}},
      {"count larger than the entries", ListBuilder().Count(2).Sz(L"Other", L"x").Bytes()},
      {"value length past the buffer",
       ListBuilder().Count(1).Name(L"Address").Value(CLUSPROP_SYNTAX_LIST_VALUE_SZ, L"1", 2 * sizeof(WCHAR), 4096).Bytes()},
      {"name length past the buffer",
       ListBuilder().Count(1).Value(CLUSPROP_SYNTAX_NAME, L"Address", 8 * sizeof(WCHAR), 0x7FFFFFF0).Bytes()},
      {"first entry is not a name", ListBuilder().Count(1).Value(CLUSPROP_SYNTAX_LIST_VALUE_DWORD, &three, 4).Bytes()},
      {"unterminated name",
       ListBuilder().Count(1).Value(CLUSPROP_SYNTAX_NAME, unterminated.data(), 3 * sizeof(WCHAR)).Raw(0).Bytes()},
      {"missing end mark", ListBuilder().Count(1).Name(L"Address").Value(CLUSPROP_SYNTAX_LIST_VALUE_DWORD, &three, 4).Bytes()},
  };
  for (const auto& c : cases) {
    auto buffer = Exact(c.list);
    LPWSTR text = nullptr;
    const DWORD status = ResUtilFindSzProperty(c.list.empty() ? nullptr : buffer.get(),
                                               static_cast<DWORD>(c.list.size()), L"Address", &text);
    EXPECT_NE(status, static_cast<DWORD>(ERROR_SUCCESS)) << c.what;
    EXPECT_EQ(text, nullptr) << c.what;
  }
  // An SZ value without its terminator, and a DWORD of the wrong size.
  const auto badText = ListBuilder().Count(1).Name(L"Address").Value(CLUSPROP_SYNTAX_LIST_VALUE_SZ,
                                                                    unterminated.data(), 3 * sizeof(WCHAR)).Raw(0).Bytes();
  auto textBuffer = Exact(badText);
  LPWSTR text = nullptr;
  EXPECT_EQ(ResUtilFindSzProperty(textBuffer.get(), static_cast<DWORD>(badText.size()), L"Address", &text),
            static_cast<DWORD>(ERROR_INVALID_DATA));
  const WORD shortValue = 1;
  const auto badDword = ListBuilder().Count(1).Name(L"N").Value(CLUSPROP_SYNTAX_LIST_VALUE_DWORD, &shortValue, 2).Raw(0).Bytes();
  auto dwordBuffer = Exact(badDword);
  DWORD number = 0;
  EXPECT_EQ(ResUtilFindDwordProperty(dwordBuffer.get(), static_cast<DWORD>(badDword.size()), L"N", &number),
            static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(ResUtil, EveryTruncationIsRefusedOrStillComplete) {
  const auto list = SampleList();
  for (size_t size = 0; size < list.size(); ++size) {
    std::vector<BYTE> prefix(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(size));
    auto buffer = Exact(prefix);
    LPWSTR multi = nullptr;
    DWORD bytes = 0;
    const DWORD status = ResUtilFindMultiSzProperty(buffer.get(), static_cast<DWORD>(size), L"AdminExtensions", &multi, &bytes);
    EXPECT_NE(status, static_cast<DWORD>(ERROR_SUCCESS)) << "prefix of " << size << " bytes";
    if (status == ERROR_SUCCESS) LocalFree(multi);
  }
}

}  // namespace

// Registry conformance: the same checks against our layer and against Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "conformance.h"

namespace {

using Bytes = std::vector<BYTE>;
using conformance::OnWine;

Bytes RawBytes(const void* data, size_t size) {
  const auto* p = static_cast<const BYTE*>(data);
  return Bytes(p, p + size);
}

// A string with its terminator, in the API's units.
Bytes StringBytes(std::wstring_view text) {
  std::wstring terminated(text);
  return RawBytes(terminated.c_str(), (terminated.size() + 1) * sizeof(WCHAR));
}

// Embedded zeros included, no terminator added (REG_MULTI_SZ lists carry their own).
Bytes ListBytes(const std::wstring& list) { return RawBytes(list.data(), list.size() * sizeof(WCHAR)); }

class Key {
 public:
  Key() = default;
  ~Key() { Reset(); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  PHKEY Out() {
    Reset();
    return &handle_;
  }
  HKEY Get() const { return handle_; }
  // For a handle the test closed itself.
  void Forget() { handle_ = nullptr; }
  void Reset() {
    if (handle_) RegCloseKey(handle_);
    handle_ = nullptr;
  }

 private:
  HKEY handle_ = nullptr;
};

std::wstring CurrentTestName() {
  const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  return std::wstring(name.begin(), name.end());
}

// Every test works below its own key HKCU\Software\FerrowindConformance\<test>.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = L"Software\\FerrowindConformance\\" + CurrentTestName();
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, root_.Out(), nullptr));
  }
  void TearDown() override {
    root_.Reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }

  HKEY Root() const { return root_.Get(); }

  LSTATUS Create(const wchar_t* sub, Key& key, DWORD options = 0, DWORD* disposition = nullptr) {
    return RegCreateKeyExW(Root(), sub, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, key.Out(), disposition);
  }
  void SetBytes(HKEY key, const wchar_t* name, DWORD type, const Bytes& data) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())));
  }
  Bytes Read(HKEY key, const wchar_t* name, DWORD* type = nullptr) {
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, type, nullptr, &size));
    Bytes data(size);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, type, data.data(), &size));
    data.resize(size);
    return data;
  }

  std::wstring path_;
  Key root_;
};

TEST_F(RegistryTest, CreateAndOpenReportDispositionAndMissingKeys) {
  Key key;
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"Level1\\Level2\\Level3", key, 0, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  ASSERT_EQ(ERROR_SUCCESS, Create(L"Level1\\Level2\\Level3", key, 0, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  ASSERT_EQ(ERROR_SUCCESS, Create(L"Level1", key, 0, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition) << "intermediate keys must exist";

  struct OpenCase {
    const wchar_t* sub;
    REGSAM access;
    LSTATUS expected;
  };
  const OpenCase cases[] = {
      {L"Level1\\Level2\\Level3", KEY_READ, ERROR_SUCCESS},
      {L"Level1\\Level2", KEY_READ | KEY_WOW64_64KEY, ERROR_SUCCESS},
      {L"Level1\\Level2", KEY_READ | KEY_WOW64_32KEY, ERROR_SUCCESS},
      {L"Level1\\Missing", KEY_READ, ERROR_FILE_NOT_FOUND},
      {L"Missing\\Level2", KEY_READ, ERROR_FILE_NOT_FOUND},
      {L"", KEY_READ, ERROR_SUCCESS},
  };
  for (const auto& c : cases) {
    HKEY opened = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
    const LSTATUS status = RegOpenKeyExW(Root(), c.sub, 0, c.access, &opened);
    EXPECT_EQ(c.expected, status) << "open \"" << std::string(c.sub, c.sub + wcslen(c.sub)) << "\"";
    if (status == ERROR_SUCCESS) {
      EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(opened));
    } else {
      EXPECT_EQ(nullptr, opened) << "a failed open must clear the result";
    }
  }
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndCasePreserving) {
  Key key;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"MixedCaseKey", key));
  SetBytes(key.Get(), L"MixedCaseValue", REG_DWORD, RawBytes("\x01\x00\x00\x00", 4));
  // Writing through another spelling changes the data, not the stored name.
  const DWORD two = 2;
  SetBytes(key.Get(), L"MIXEDCASEVALUE", REG_DWORD, RawBytes(&two, sizeof two));

  Key upper;
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"MIXEDCASEKEY", upper, 0, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  EXPECT_EQ(RawBytes(&two, sizeof two), Read(upper.Get(), L"mixedcasevalue"));

  WCHAR name[64];
  DWORD chars = 64;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(Root(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::wstring(L"MixedCaseKey"), name);
  EXPECT_EQ(12u, chars);
  chars = 64;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(key.Get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::wstring(L"MixedCaseValue"), name);
}

TEST_F(RegistryTest, ValuesKeepTypeAndBytes) {
  const DWORD dword = 0x12345678;
  const ULONGLONG qword = 0x1122334455667788ULL;
  const BYTE binary[] = {0x00, 0xff, 0x10, 0x00, 0x7f};
  struct ValueCase {
    const wchar_t* name;
    DWORD type;
    Bytes data;
  };
  const ValueCase cases[] = {
      {L"sz", REG_SZ, StringBytes(L"plain text")},
      {L"sz-empty", REG_SZ, StringBytes(L"")},
      {L"sz-wide", REG_SZ, StringBytes(L"\u00e4\u03b1\U0001F600z")},
      {L"expand", REG_EXPAND_SZ, StringBytes(L"%SystemRoot%\\system32")},
      {L"multi", REG_MULTI_SZ, ListBytes(std::wstring(L"one\0two\0\0", 9))},
      {L"dword", REG_DWORD, RawBytes(&dword, sizeof dword)},
      {L"qword", REG_QWORD, RawBytes(&qword, sizeof qword)},
      {L"binary", REG_BINARY, RawBytes(binary, sizeof binary)},
      {L"none-empty", REG_NONE, Bytes()},
      {L"none-data", REG_NONE, RawBytes(binary, 3)},
      {L"custom-type", 0x4321, RawBytes(binary, sizeof binary)},
      {L"dword-short", REG_DWORD, RawBytes(binary, 2)},
      {nullptr, REG_SZ, StringBytes(L"default value")},
  };
  for (const auto& c : cases) SetBytes(Root(), c.name, c.type, c.data);
  for (const auto& c : cases) {
    const std::string label = c.name ? std::string(c.name, c.name + wcslen(c.name)) : "(default)";
    DWORD type = 0xdeadbeef;
    EXPECT_EQ(c.data, Read(Root(), c.name, &type)) << label;
    EXPECT_EQ(c.type, type) << label;
  }
  EXPECT_EQ(StringBytes(L"default value"), Read(Root(), L"")) << "\"\" names the default value too";

  // Windows adds a forgotten terminator when a zero follows the data; "d" follows here.
  static const wchar_t kUnterminated[] = L"abcd";
  const DWORD size = 3 * sizeof(WCHAR);
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(Root(), L"sz-unterminated", 0, REG_SZ, reinterpret_cast<const BYTE*>(kUnterminated), size));
  EXPECT_EQ(RawBytes(kUnterminated, size), Read(Root(), L"sz-unterminated"));
}

TEST_F(RegistryTest, QueryValueSizeContract) {
  SetBytes(Root(), L"text", REG_SZ, StringBytes(L"abc"));
  const DWORD needed = 4 * sizeof(WCHAR);
  constexpr BYTE kGuard = 0xcc;
  struct SizeCase {
    const char* what;
    bool withBuffer;
    DWORD capacity;
    LSTATUS expected;
  };
  const SizeCase cases[] = {
      {"size query", false, 0, ERROR_SUCCESS},
      {"zero-size buffer", true, 0, ERROR_MORE_DATA},
      {"one byte short", true, needed - 1, ERROR_MORE_DATA},
      {"exact", true, needed, ERROR_SUCCESS},
      {"larger", true, needed + 8, ERROR_SUCCESS},
  };
  for (const auto& c : cases) {
    Bytes buffer(needed + 16, kGuard);
    DWORD size = c.capacity;
    DWORD type = 0xdeadbeef;
    const LSTATUS status =
        RegQueryValueExW(Root(), L"text", nullptr, &type, c.withBuffer ? buffer.data() : nullptr, &size);
    EXPECT_EQ(c.expected, status) << c.what;
    EXPECT_EQ(needed, size) << c.what << ": the needed size is always reported";
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type) << c.what;
    const size_t written = status == ERROR_SUCCESS && c.withBuffer ? needed : 0;
    if (written) {
      EXPECT_EQ(StringBytes(L"abc"), Bytes(buffer.begin(), buffer.begin() + needed)) << c.what;
    }
    EXPECT_TRUE(std::all_of(buffer.begin() + written, buffer.end(), [](BYTE b) { return b == kGuard; }))
        << c.what << ": bytes beyond the data must stay untouched";
  }

  DWORD size = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(Root(), L"missing", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(Root(), nullptr, nullptr, nullptr, nullptr, &size))
      << "no default value was set";
  BYTE byte = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(Root(), L"text", nullptr, nullptr, &byte, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(Root(), L"text", nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryTest, EnumerationCoversEverythingThenEnds) {
  for (const wchar_t* name : {L"beta", L"Alpha", L"gamma", L"DELTA"}) {
    Key child;
    ASSERT_EQ(ERROR_SUCCESS, Create(name, child));
  }
  std::vector<std::wstring> keys;
  for (DWORD i = 0;; ++i) {
    WCHAR name[32];
    DWORD chars = 32;
    const LSTATUS status = RegEnumKeyExW(Root(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, status) << "index " << i;
    EXPECT_EQ(wcslen(name), chars);
    keys.emplace_back(name);
    ASSERT_LT(i, 10u);
  }
  const std::vector<std::wstring> sorted = {L"Alpha", L"beta", L"DELTA", L"gamma"};
  EXPECT_EQ(sorted, keys) << "subkeys enumerate in case-insensitive order";
  WCHAR small[5];
  DWORD chars = 5;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(Root(), 0, small, &chars, nullptr, nullptr, nullptr, nullptr))
      << "\"Alpha\" needs 6 characters";

  const DWORD one = 1;
  const std::set<std::wstring> names = {L"v1", L"value2", L"", L"third"};
  for (const auto& name : names) SetBytes(Root(), name.c_str(), REG_DWORD, RawBytes(&one, sizeof one));
  std::set<std::wstring> seen;
  for (DWORD i = 0;; ++i) {
    WCHAR name[32];
    DWORD chars = 32, type = 0, data = 0, size = sizeof data;
    const LSTATUS status =
        RegEnumValueW(Root(), i, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, status) << "index " << i;
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(1u, data);
    EXPECT_EQ(sizeof data, size);
    EXPECT_TRUE(seen.insert(name).second) << "value enumerated twice";
    ASSERT_LT(i, 10u);
  }
  EXPECT_EQ(names, seen);

  SetBytes(Root(), L"v1", REG_SZ, StringBytes(L"longer than four bytes"));
  for (DWORD i = 0;; ++i) {
    WCHAR name[32];
    DWORD chars = 32, data = 0, size = sizeof data;
    const LSTATUS status =
        RegEnumValueW(Root(), i, name, &chars, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
    ASSERT_NE(ERROR_NO_MORE_ITEMS, status) << "v1 not found";
    if (std::wstring(name) != L"v1") continue;
    EXPECT_EQ(ERROR_MORE_DATA, status);
    EXPECT_EQ(StringBytes(L"longer than four bytes").size(), size) << "the needed size is reported";
    break;
  }
}

TEST_F(RegistryTest, QueryInfoKeyCountsAndMaxima) {
  for (const wchar_t* name : {L"x", L"longer"}) {
    Key child;
    ASSERT_EQ(ERROR_SUCCESS, Create(name, child));
  }
  SetBytes(Root(), L"v", REG_SZ, StringBytes(L"hello"));
  SetBytes(Root(), L"longname", REG_BINARY, Bytes(10, 0x5a));
  DWORD subKeys = 0, maxSubKey = 0, maxClass = 0, values = 0, maxValueName = 0, maxValue = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(Root(), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, &maxClass,
                                            &values, &maxValueName, &maxValue, nullptr, nullptr));
  EXPECT_EQ(2u, subKeys);
  EXPECT_EQ(6u, maxSubKey) << "characters of \"longer\"";
  EXPECT_EQ(2u, values);
  EXPECT_EQ(8u, maxValueName) << "characters of \"longname\"";
  EXPECT_EQ(std::max<DWORD>(6 * sizeof(WCHAR), 10), maxValue) << "bytes of the largest data";

  Key empty;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"x", empty));
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(empty.Get(), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr,
                                            &values, &maxValueName, &maxValue, nullptr, nullptr));
  EXPECT_EQ(0u, subKeys);
  EXPECT_EQ(0u, values);
  EXPECT_EQ(0u, maxValue);
}

TEST_F(RegistryTest, DeleteKeyRefusesKeysWithSubkeys) {
  Key child;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"parent\\child", child));
  child.Reset();
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(Root(), L"parent"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(Root(), L"parent\\child"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(Root(), L"PARENT"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(Root(), L"parent"));
  Key gone;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(Root(), L"parent", 0, KEY_READ, gone.Out()));

  SetBytes(Root(), L"value", REG_SZ, StringBytes(L"x"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(Root(), L"VALUE"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(Root(), L"value"));
}

TEST_F(RegistryTest, DeleteTreeRemovesSubtreeOrContents) {
  const DWORD one = 1;
  for (const wchar_t* sub : {L"tree\\a\\deep", L"tree\\b", L"keep\\inner"}) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(sub, key));
    SetBytes(key.Get(), L"v", REG_DWORD, RawBytes(&one, sizeof one));
  }
  SetBytes(Root(), L"rootvalue", REG_DWORD, RawBytes(&one, sizeof one));

  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(Root(), L"tree"));
  Key probe;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(Root(), L"tree", 0, KEY_READ, probe.Out()));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(Root(), L"keep\\inner", 0, KEY_READ, probe.Out()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeW(Root(), L"tree"));

  Key keep;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"keep", keep));
  SetBytes(keep.Get(), L"v2", REG_DWORD, RawBytes(&one, sizeof one));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(keep.Get(), nullptr));
  DWORD subKeys = 99, values = 99;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(keep.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                            &values, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, subKeys) << "a NULL subkey empties the key";
  EXPECT_EQ(0u, values);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(Root(), L"keep", 0, KEY_READ, probe.Out())) << "the key itself stays";
  DWORD size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(Root(), L"rootvalue", nullptr, nullptr, nullptr, &size));
}

TEST_F(RegistryTest, HandleOfDeletedKeyReportsKeyDeleted) {
  Key victim;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"victim", victim));
  SetBytes(victim.Get(), L"v", REG_SZ, StringBytes(L"x"));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(Root(), L"victim"));

  const BYTE data[4] = {};
  DWORD size = sizeof data;
  WCHAR name[16];
  DWORD chars = 16;
  Key child;
  struct AfterDelete {
    const char* call;
    LSTATUS status;
  };
  const AfterDelete cases[] = {
      {"RegSetValueExW", RegSetValueExW(victim.Get(), L"v", 0, REG_BINARY, data, sizeof data)},
      {"RegQueryValueExW", RegQueryValueExW(victim.Get(), L"v", nullptr, nullptr, nullptr, &size)},
      {"RegEnumKeyExW", RegEnumKeyExW(victim.Get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr)},
      {"RegEnumValueW", RegEnumValueW(victim.Get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr)},
      {"RegCreateKeyExW",
       RegCreateKeyExW(victim.Get(), L"sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, child.Out(), nullptr)},
      {"RegDeleteValueW", RegDeleteValueW(victim.Get(), L"v")},
  };
  for (const auto& c : cases) EXPECT_EQ(ERROR_KEY_DELETED, c.status) << c.call;

  // A new key of the same name is a different key: the old handle does not reach it.
  Key again;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"victim", again));
  EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(victim.Get(), L"v", 0, REG_BINARY, data, sizeof data));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(victim.Get()));
  victim.Forget();
}

TEST_F(RegistryTest, VolatileKeysOnlyHoldVolatileChildren) {
  struct VolatileCase {
    const wchar_t* sub;
    DWORD options;
    LSTATUS expected;
  };
  const VolatileCase cases[] = {
      {L"vol", REG_OPTION_VOLATILE, ERROR_SUCCESS},
      {L"vol\\stable", REG_OPTION_NON_VOLATILE, ERROR_CHILD_MUST_BE_VOLATILE},
      {L"vol\\child", REG_OPTION_VOLATILE, ERROR_SUCCESS},
      {L"vol\\child", REG_OPTION_NON_VOLATILE, ERROR_SUCCESS},  // opens the existing key
      {L"stable", REG_OPTION_NON_VOLATILE, ERROR_SUCCESS},
      {L"stable\\vol", REG_OPTION_VOLATILE, ERROR_SUCCESS},
      {L"stable\\vol\\a\\b", REG_OPTION_NON_VOLATILE, ERROR_CHILD_MUST_BE_VOLATILE},
  };
  for (const auto& c : cases) {
    Key key;
    EXPECT_EQ(c.expected, Create(c.sub, key, c.options))
        << std::string(c.sub, c.sub + wcslen(c.sub)) << " options " << c.options;
  }
  Key probe;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(Root(), L"stable\\vol\\a", 0, KEY_READ, probe.Out()))
      << "a refused create leaves no intermediate keys behind";
}

TEST_F(RegistryTest, HandleAccessRightsAreEnforced) {
  SetBytes(Root(), L"v", REG_SZ, StringBytes(L"x"));
  Key child;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"child", child));
  const BYTE data[1] = {1};
  DWORD size = 0;
  WCHAR name[16];
  DWORD chars = 16;

  Key readOnly, writeOnly, queryOnly;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(Root(), nullptr, 0, KEY_READ, readOnly.Out()));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(Root(), nullptr, 0, KEY_SET_VALUE, writeOnly.Out()));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(Root(), nullptr, 0, KEY_QUERY_VALUE, queryOnly.Out()));
  struct AccessCase {
    const char* what;
    LSTATUS status;
    LSTATUS expected;
  };
  const AccessCase cases[] = {
      {"set with KEY_READ", RegSetValueExW(readOnly.Get(), L"v", 0, REG_BINARY, data, 1), ERROR_ACCESS_DENIED},
      {"delete value with KEY_READ", RegDeleteValueW(readOnly.Get(), L"v"), ERROR_ACCESS_DENIED},
      {"query with KEY_READ", RegQueryValueExW(readOnly.Get(), L"v", nullptr, nullptr, nullptr, &size),
       ERROR_SUCCESS},
      {"query with KEY_SET_VALUE", RegQueryValueExW(writeOnly.Get(), L"v", nullptr, nullptr, nullptr, &size),
       ERROR_ACCESS_DENIED},
      {"set with KEY_SET_VALUE", RegSetValueExW(writeOnly.Get(), L"w", 0, REG_BINARY, data, 1), ERROR_SUCCESS},
      {"enum keys with KEY_QUERY_VALUE",
       RegEnumKeyExW(queryOnly.Get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.status) << c.what;
}

TEST_F(RegistryTest, InvalidHandlesAreRejected) {
  Key key;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"short-lived", key));
  const HKEY closed = key.Get();
  ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(closed));
  key.Forget();
  DWORD size = 0;
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(closed, L"v", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(closed));
  Key child;
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(closed, L"x", 0, KEY_READ, child.Out()));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE)) << "closing a predefined key is harmless";
}

TEST_F(RegistryTest, PredefinedKeysOpen) {
  struct PredefinedCase {
    HKEY root;
    const wchar_t* sub;
  };
  const PredefinedCase cases[] = {
      {HKEY_LOCAL_MACHINE, L"SOFTWARE"},
      {HKEY_LOCAL_MACHINE, L"system\\currentcontrolset\\services"},
      {HKEY_CURRENT_USER, L"Software"},
      {HKEY_USERS, L".DEFAULT"},
      {HKEY_CLASSES_ROOT, L""},
      {HKEY_CURRENT_CONFIG, L""},
  };
  for (const auto& c : cases) {
    Key key;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(c.root, c.sub, 0, KEY_READ, key.Out()))
        << std::hex << reinterpret_cast<ULONG_PTR>(c.root) << " \\ " << std::string(c.sub, c.sub + wcslen(c.sub));
  }

  // HKEY_CLASSES_ROOT shows HKLM\SOFTWARE\Classes.
  const std::wstring classes = L"SOFTWARE\\Classes\\FerrowindConformance";
  Key created, viaRoot;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, classes.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, created.Out(), nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, classes.c_str() + wcslen(L"SOFTWARE\\Classes\\"), 0,
                                         KEY_READ, viaRoot.Out()));
  created.Reset();
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, classes.c_str()));
}

TEST_F(RegistryTest, GetValueTerminatesStringsAndFiltersTypes) {
  static const wchar_t kUnterminated[] = L"abcd";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(Root(), L"unterminated", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(kUnterminated), 3 * sizeof(WCHAR)));
  SetBytes(Root(), L"bin4", REG_BINARY, Bytes(4, 7));
  SetBytes(Root(), L"expand", REG_EXPAND_SZ, StringBytes(L"%NOT_A_VARIABLE_FW%"));
  Key sub;
  ASSERT_EQ(ERROR_SUCCESS, Create(L"sub", sub));
  const DWORD seven = 7;
  SetBytes(sub.Get(), L"n", REG_DWORD, RawBytes(&seven, sizeof seven));

  struct GetCase {
    const wchar_t* sub;
    const wchar_t* value;
    DWORD flags;
    LSTATUS expected;
    DWORD type;
    Bytes data;
  };
  const GetCase cases[] = {
      {nullptr, L"unterminated", RRF_RT_REG_DWORD, ERROR_UNSUPPORTED_TYPE, 0, {}},
      {nullptr, L"bin4", RRF_RT_DWORD, ERROR_SUCCESS, REG_BINARY, Bytes(4, 7)},
      {nullptr, L"bin4", RRF_RT_REG_SZ, ERROR_UNSUPPORTED_TYPE, 0, {}},
      {nullptr, L"expand", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, ERROR_SUCCESS, REG_EXPAND_SZ,
       StringBytes(L"%NOT_A_VARIABLE_FW%")},
      {nullptr, L"expand", RRF_RT_REG_EXPAND_SZ, ERROR_INVALID_PARAMETER, 0, {}},
      {L"sub", L"n", RRF_RT_REG_DWORD, ERROR_SUCCESS, REG_DWORD, RawBytes(&seven, sizeof seven)},
      {L"missing", L"n", RRF_RT_ANY, ERROR_FILE_NOT_FOUND, 0, {}},
  };
  for (const auto& c : cases) {
    const std::string label(c.value, c.value + wcslen(c.value));
    BYTE buffer[256] = {};
    DWORD size = sizeof buffer, type = 0;
    const LSTATUS status = RegGetValueW(Root(), c.sub, c.value, c.flags, &type, buffer, &size);
    EXPECT_EQ(c.expected, status) << label << " flags " << std::hex << c.flags;
    if (status != ERROR_SUCCESS || c.expected != ERROR_SUCCESS) continue;
    EXPECT_EQ(c.type, type) << label;
    EXPECT_EQ(c.data, Bytes(buffer, buffer + size)) << label;
  }

  // Wine returns the stored bytes without the terminator that Windows guarantees.
  if (!OnWine()) {
    BYTE buffer[64] = {};
    DWORD size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(Root(), nullptr, L"unterminated", RRF_RT_REG_SZ, nullptr, buffer, &size));
    EXPECT_EQ(StringBytes(L"abc"), Bytes(buffer, buffer + size));
  }
}

}  // namespace

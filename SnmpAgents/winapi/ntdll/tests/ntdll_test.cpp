// ntdll conformance: the functions are looked up by name, as the system's code does.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

typedef LONG NtStatus;
constexpr NtStatus kSuccess = 0;
constexpr NtStatus kBufferOverflow = static_cast<NtStatus>(0x80000005u);
constexpr NtStatus kInvalidHandle = static_cast<NtStatus>(0xC0000008u);
constexpr NtStatus kInvalidParameter = static_cast<NtStatus>(0xC000000Du);
constexpr NtStatus kBufferTooSmall = static_cast<NtStatus>(0xC0000023u);
constexpr int kKeyNameInformation = 3;

struct Ipv6Address {
  BYTE bytes[16];
};

struct KeyNameInformation {
  ULONG NameLength;
  WCHAR Name[1];
};

using NtQueryKeyFn = NtStatus(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
using StringToAddressFn = NtStatus(WINAPI*)(PCWSTR, PCWSTR*, Ipv6Address*);
using AddressToStringFn = PWSTR(WINAPI*)(const Ipv6Address*, PWSTR);

template <class Fn>
Fn NtdllFunction(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, name))) : nullptr;
}

std::string Narrow(std::wstring_view text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (towupper(a[i]) != towupper(b[i])) return false;
  }
  return true;
}

class NtQueryKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    query_ = NtdllFunction<NtQueryKeyFn>("NtQueryKey");
    ASSERT_NE(nullptr, query_) << "ntdll.dll must export NtQueryKey";
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kPath, 0, nullptr, 0, KEY_READ, nullptr, &key_,
                                             nullptr));
  }
  void TearDown() override {
    if (key_) RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\FerrowindConformance\\NtQueryKey");
  }

  std::wstring NameOf(HKEY key) {
    ULONG needed = 0;
    EXPECT_EQ(kBufferTooSmall, query_(key, kKeyNameInformation, nullptr, 0, &needed));
    std::vector<BYTE> buffer(needed);
    ULONG returned = 0;
    EXPECT_EQ(kSuccess, query_(key, kKeyNameInformation, buffer.data(), needed, &returned));
    EXPECT_EQ(needed, returned);
    const auto* info = reinterpret_cast<const KeyNameInformation*>(buffer.data());
    EXPECT_EQ(needed, offsetof(KeyNameInformation, Name) + info->NameLength);
    return std::wstring(info->Name, info->NameLength / sizeof(WCHAR));
  }

  static constexpr const wchar_t* kPath = L"Software\\FerrowindConformance\\NtQueryKey\\Sub";
  NtQueryKeyFn query_ = nullptr;
  HKEY key_ = nullptr;
};

TEST_F(NtQueryKeyTest, NamesUserKeysBelowTheUsersSid) {
  const std::wstring name = NameOf(key_);
  const std::wstring prefix = L"\\REGISTRY\\USER\\S-";
  const std::wstring suffix = L"\\Software\\FerrowindConformance\\NtQueryKey\\Sub";
  ASSERT_GT(name.size(), prefix.size() + suffix.size()) << Narrow(name);
  EXPECT_TRUE(EqualsNoCase(name.substr(0, prefix.size()), prefix)) << Narrow(name);
  EXPECT_TRUE(EqualsNoCase(name.substr(name.size() - suffix.size()), suffix)) << Narrow(name);
}

TEST_F(NtQueryKeyTest, NamesMachineKeysBelowRegistryMachine) {
  HKEY software = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software", 0, KEY_READ, &software));
  const std::wstring name = NameOf(software);
  RegCloseKey(software);
  EXPECT_TRUE(EqualsNoCase(name, L"\\REGISTRY\\MACHINE\\SOFTWARE")) << Narrow(name);
}

TEST_F(NtQueryKeyTest, SizesAndBadHandles) {
  const std::wstring full = NameOf(key_);
  const ULONG header = offsetof(KeyNameInformation, Name);
  const ULONG needed = header + static_cast<ULONG>(full.size() * sizeof(WCHAR));
  struct SizeCase {
    ULONG length;
    NtStatus expected;
  };
  const SizeCase cases[] = {
      {0, kBufferTooSmall},
      {header - 1, kBufferTooSmall},
      {header + 2 * static_cast<ULONG>(sizeof(WCHAR)), kBufferOverflow},
      {needed, kSuccess},
  };
  for (const auto& c : cases) {
    std::vector<BYTE> buffer(needed + 8, 0xcc);
    ULONG returned = 0;
    const NtStatus status = query_(key_, kKeyNameInformation, buffer.data(), c.length, &returned);
    EXPECT_EQ(c.expected, status) << "length " << c.length;
    EXPECT_EQ(needed, returned) << "length " << c.length;
    if (c.expected == kBufferOverflow) {
      const auto* info = reinterpret_cast<const KeyNameInformation*>(buffer.data());
      EXPECT_EQ(full.size() * sizeof(WCHAR), info->NameLength) << "the full length, not what fitted";
      EXPECT_EQ(full.substr(0, 2), std::wstring(info->Name, 2));
    }
    EXPECT_EQ(0xcc, buffer[c.length]) << "nothing written past the given length " << c.length;
  }
  ULONG returned = 0;
  BYTE buffer[64];
  EXPECT_EQ(kInvalidHandle, query_(nullptr, kKeyNameInformation, buffer, sizeof buffer, &returned));
}

struct RoundTrip {
  const wchar_t* text;
  const wchar_t* canonical;
  BYTE bytes[16];
};

TEST(Ipv6Text, RoundTripsInWindowsForm) {
  const auto toAddress = NtdllFunction<StringToAddressFn>("RtlIpv6StringToAddressW");
  const auto toString = NtdllFunction<AddressToStringFn>("RtlIpv6AddressToStringW");
  ASSERT_NE(nullptr, toAddress);
  ASSERT_NE(nullptr, toString);
  const RoundTrip cases[] = {
      {L"::", L"::", {}},
      {L"::1", L"::1", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
      {L"1::", L"1::", {0, 1}},
      {L"FE80:0:0:0:0:0:0:ABCD", L"fe80::abcd", {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xab, 0xcd}},
      {L"2001:db8:0:0:1:0:0:1", L"2001:db8::1:0:0:1", {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}},
      {L"1:2:3:4:5:6:7:8", L"1:2:3:4:5:6:7:8", {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
      {L"0001:0002:0:0:0:0:0:0", L"1:2::", {0, 1, 0, 2}},
      {L"::ffff:192.168.1.2", L"::ffff:192.168.1.2", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 2}},
      {L"::FFFF:c0a8:102", L"::ffff:192.168.1.2", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 2}},
      {L"1:0:0:2:0:0:0:3", L"1:0:0:2::3", {0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3}},
      {L"1:0:2:3:4:5:6:7", L"1:0:2:3:4:5:6:7", {0, 1, 0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7}},
      {L"0:0:1:0:0:0:0:0", L"0:0:1::", {0, 0, 0, 0, 0, 1}},
      {L"1:2:3:4:5:6:7::", L"1:2:3:4:5:6:7:0", {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 0}},
      {L"::1.2.3.4", L"::1.2.3.4", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}},
      {L"::0.0.1.2", L"::102", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2}},
      {L"::ffff:0:1.2.3.4", L"::ffff:0:1.2.3.4", {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 1, 2, 3, 4}},
      {L"fe80::5efe:1.2.3.4", L"fe80::5efe:1.2.3.4", {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x5e, 0xfe, 1, 2, 3, 4}},
      {L"1:2:3:4:5:6:1.2.3.4", L"1:2:3:4:5:6:102:304", {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    const std::string label = Narrow(c.text);
    Ipv6Address address{};
    std::memset(address.bytes, 0x5a, sizeof address.bytes);
    PCWSTR end = nullptr;
    ASSERT_EQ(kSuccess, toAddress(c.text, &end, &address)) << label;
    EXPECT_EQ(c.text + wcslen(c.text), end) << label << ": the terminator points at the end";
    EXPECT_EQ(0, std::memcmp(c.bytes, address.bytes, 16)) << label;
    WCHAR text[64];
    const PWSTR textEnd = toString(&address, text);
    EXPECT_EQ(std::wstring(c.canonical), text) << label;
    EXPECT_EQ(text + wcslen(text), textEnd) << label << ": returns the end of the text";
  }
}

TEST(Ipv6Text, RejectsMalformedTextAndStopsAtTheEnd) {
  const auto toAddress = NtdllFunction<StringToAddressFn>("RtlIpv6StringToAddressW");
  ASSERT_NE(nullptr, toAddress);
  for (const wchar_t* bad : {L"", L":", L":1::", L"12345::", L"g::", L"1:2:3:4:5:6:7", L"::ffff:256.1.1.1",
                             L"1:2:3:4:5:6:7:", L"::1:", L"[::1]", L"1.2.3.4", L"::1.2.3"}) {
    Ipv6Address address{};
    PCWSTR end = nullptr;
    EXPECT_EQ(kInvalidParameter, toAddress(bad, &end, &address)) << "\"" << Narrow(bad) << "\"";
  }
  // What follows a complete address ends it without failing it; the caller checks *end.
  struct TrailingCase {
    const wchar_t* text;
    size_t addressLength;
  };
  const TrailingCase trailing[] = {
      {L"fe80::1%4", 7}, {L"::1 and more", 3}, {L"1:::2", 3}, {L":::", 2},
      {L"1::2::3", 4},   {L"1:2:3:4:5:6:7:8:9", 15}, {L"1:2:3:4::5:6:7:8", 14}, {L"::ffff:1.2.3.4.5", 14},
  };
  for (const auto& c : trailing) {
    Ipv6Address address{};
    PCWSTR end = nullptr;
    EXPECT_EQ(kSuccess, toAddress(c.text, &end, &address)) << Narrow(c.text);
    EXPECT_EQ(c.text + c.addressLength, end) << Narrow(c.text);
  }
}

}  // namespace

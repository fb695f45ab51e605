// IPv6 address text conversions with Windows' text forms.
#include <ip2string.h>
#include <winternl.h>

#include <cstdint>
#include <cwchar>
#include <string>

namespace {

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// True when the text at p is a run of decimal digits followed by a dot.
bool StartsIpv4(const wchar_t* p) {
  if (!IsDigit(*p)) return false;
  while (IsDigit(*p)) ++p;
  return *p == L'.';
}

// Four dotted decimal octets; p is advanced past them.
bool ParseIpv4(const wchar_t*& p, uint16_t& high, uint16_t& low) {
  unsigned octets[4] = {};
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*p != L'.') return false;
      ++p;
    }
    int digits = 0;
    unsigned value = 0;
    while (IsDigit(*p) && digits < 4) {
      value = value * 10 + static_cast<unsigned>(*p - L'0');
      ++p;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    octets[i] = value;
  }
  high = static_cast<uint16_t>(octets[0] << 8 | octets[1]);
  low = static_cast<uint16_t>(octets[2] << 8 | octets[3]);
  return true;
}

class Ipv6Parser {
 public:
  explicit Ipv6Parser(const wchar_t* text) : p_(text) {}

  // Reads as much of the text as forms an address, as Windows does: a third colon, a
  // second "::" or a ninth group ends the address rather than failing it. On failure
  // p_ is where the text stopped making sense.
  bool Parse(uint16_t words[8]) {
    if (*p_ == L':') {
      if (p_[1] != L':') return false;
      p_ += 2;
      gap_ = 0;
      if (*p_ == L':' || HexValue(*p_) < 0) return Finish(words);
    }
    for (;;) {
      if (count_ <= 6 && StartsIpv4(p_)) {
        uint16_t high = 0, low = 0;
        if (!ParseIpv4(p_, high, low)) return false;
        groups_[count_++] = high;
        groups_[count_++] = low;
        return Finish(words);
      }
      if (!ParseGroup()) return false;
      if (count_ == (gap_ >= 0 ? 7 : 8) || *p_ != L':') return Finish(words);
      if (p_[1] == L':') {
        if (gap_ >= 0) return Finish(words);
        p_ += 2;
        gap_ = count_;
        if (*p_ == L':' || HexValue(*p_) < 0) return Finish(words);
        continue;
      }
      ++p_;
      if (HexValue(*p_) < 0) return false;  // a colon must lead to a group
    }
  }

  const wchar_t* Position() const { return p_; }

 private:
  bool ParseGroup() {
    unsigned value = 0;
    int digits = 0;
    for (int v; (v = HexValue(*p_)) >= 0; ++p_) {
      if (++digits > 4) return false;
      value = value << 4 | static_cast<unsigned>(v);
    }
    if (digits == 0) return false;
    groups_[count_++] = static_cast<uint16_t>(value);
    return true;
  }

  bool Finish(uint16_t words[8]) {
    if (gap_ < 0 && count_ != 8) return false;
    const int zeros = 8 - count_;
    int out = 0;
    for (int i = 0; i < count_; ++i) {
      if (i == gap_) {
        for (int z = 0; z < zeros; ++z) words[out++] = 0;
      }
      words[out++] = groups_[i];
    }
    if (gap_ == count_) {
      for (int z = 0; z < zeros; ++z) words[out++] = 0;
    }
    return true;
  }

  const wchar_t* p_;
  uint16_t groups_[8] = {};
  int count_ = 0;
  int gap_ = -1;  // index of the group that "::" precedes
};

void AppendHex(std::wstring& out, unsigned value) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  wchar_t buffer[4];
  int n = 0;
  do {
    buffer[n++] = kDigits[value & 0xf];
    value >>= 4;
  } while (value);
  while (n) out += buffer[--n];
}

// The first `count` groups with the longest run of two or more zero groups as "::".
std::wstring FormatGroups(const uint16_t* words, int count) {
  int bestStart = -1, bestLength = 1;
  for (int i = 0; i < count;) {
    if (words[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < count && words[j] == 0) ++j;
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  std::wstring out;
  for (int i = 0; i < count; ++i) {
    if (i == bestStart) {
      out += L"::";
      i += bestLength - 1;
      continue;
    }
    if (!out.empty() && out.back() != L':') out += L':';
    AppendHex(out, words[i]);
  }
  return out;
}

bool HasEmbeddedIpv4(const uint16_t w[8]) {
  const bool firstFourZero = !w[0] && !w[1] && !w[2] && !w[3];
  if (firstFourZero && !w[4] && w[5] == 0xffff) return true;           // IPv4-mapped
  if (firstFourZero && w[4] == 0xffff && !w[5]) return true;           // IPv4-translated
  if (firstFourZero && !w[4] && !w[5] && w[6]) return true;            // IPv4-compatible
  return w[5] == 0x5efe && (w[4] == 0 || w[4] == 0x0200);              // ISATAP
}

}  // namespace

// RtlIpv6StringToAddressW
extern "C" NTSYSAPI NTSTATUS NTAPI RtlIpv6StringToAddressW(PCWSTR S, PCWSTR* Terminator, struct in6_addr* Addr) {
  if (!S || !Terminator || !Addr) return STATUS_INVALID_PARAMETER;
  Ipv6Parser parser(S);
  uint16_t words[8] = {};
  const bool parsed = parser.Parse(words);
  *Terminator = parser.Position();
  if (!parsed) return STATUS_INVALID_PARAMETER;
  for (int i = 0; i < 8; ++i) {
    Addr->u.Byte[2 * i] = static_cast<UCHAR>(words[i] >> 8);
    Addr->u.Byte[2 * i + 1] = static_cast<UCHAR>(words[i] & 0xff);
  }
  return STATUS_SUCCESS;
}

// RtlIpv6AddressToStringW
extern "C" NTSYSAPI PWSTR NTAPI RtlIpv6AddressToStringW(const struct in6_addr* Addr, PWSTR S) {
  if (!Addr || !S) return nullptr;
  uint16_t words[8];
  for (int i = 0; i < 8; ++i) words[i] = static_cast<uint16_t>(Addr->u.Byte[2 * i] << 8 | Addr->u.Byte[2 * i + 1]);
  std::wstring text;
  if (HasEmbeddedIpv4(words)) {
    text = FormatGroups(words, 6);
    if (text.empty() || text.back() != L':') text += L':';
    text += std::to_wstring(Addr->u.Byte[12]) + L'.' + std::to_wstring(Addr->u.Byte[13]) + L'.' +
            std::to_wstring(Addr->u.Byte[14]) + L'.' + std::to_wstring(Addr->u.Byte[15]);
  } else {
    text = FormatGroups(words, 8);
  }
  std::wmemcpy(S, text.c_str(), text.size() + 1);
  return S + text.size();
}

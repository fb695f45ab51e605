// Code pages: UTF-8 exactly, 1252 as the ANSI and 437 as the OEM code page. Characters a
// single-byte code page lacks become the default character; no best-fit mapping is done.
#include <windows.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "codepage.h"
#include "errors.h"
#include "wide_text.h"

namespace winapi {
namespace {

using HighHalf = std::array<char16_t, 128>;

// Bytes 0x80..0xFF. The five bytes 1252 leaves undefined map to the C1 controls, as Windows does.
constexpr HighHalf kCp1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152,
    0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122,
    0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF, 0x00B0, 0x00B1, 0x00B2, 0x00B3,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0,
    0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD,
    0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA,
    0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4,
    0x00F5, 0x00F6, 0x00F7, 0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF};

constexpr HighHalf kCp437 = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

constexpr UINT kAnsiCodePage = 1252;
constexpr UINT kOemCodePage = 437;

const HighHalf* SingleByteTable(UINT codePage) {
  switch (codePage) {
    case CP_ACP:
    case CP_THREAD_ACP:
    case kAnsiCodePage: return &kCp1252;
    case CP_OEMCP:
    case kOemCodePage: return &kCp437;
    default: return nullptr;
  }
}

bool IsUtf8(UINT codePage) { return codePage == CP_UTF8; }

wchar_t DecodeSingle(const HighHalf& table, unsigned char byte) {
  return byte < 0x80 ? static_cast<wchar_t>(byte) : static_cast<wchar_t>(table[byte - 0x80]);
}

std::optional<char> EncodeSingle(const HighHalf& table, char32_t c) {
  if (c < 0x80) return static_cast<char>(c);
  for (size_t i = 0; i < table.size(); ++i)
    if (table[i] == c) return static_cast<char>(0x80 + i);
  return std::nullopt;
}

bool IsScalar(char32_t c) { return c < 0x110000 && (c < 0xD800 || c > 0xDFFF); }

// One UTF-8 sequence; nullopt for a malformed one, of which `length` bytes are consumed.
std::optional<char32_t> DecodeUtf8(const unsigned char* p, size_t n, size_t& length) {
  length = 1;
  const unsigned char lead = p[0];
  if (lead < 0x80) return lead;
  int extra = 0;
  char32_t c = 0;
  if ((lead & 0xE0) == 0xC0) extra = 1, c = lead & 0x1F;
  else if ((lead & 0xF0) == 0xE0) extra = 2, c = lead & 0x0F;
  else if ((lead & 0xF8) == 0xF0) extra = 3, c = lead & 0x07;
  else return std::nullopt;
  for (int k = 1; k <= extra; ++k) {
    if (static_cast<size_t>(k) >= n || (p[k] & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (p[k] & 0x3F);
    length = static_cast<size_t>(k) + 1;
  }
  static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  if (c < kMinimum[extra] || !IsScalar(c)) return std::nullopt;
  return c;
}

// Wide text as code points: a UTF-16 surrogate pair held in two wchar_t joins up.
char32_t NextCodePoint(const wchar_t* text, size_t n, size_t& i) {
  char32_t c = static_cast<char32_t>(text[i++]);
  if (c >= 0xD800 && c <= 0xDBFF && i < n) {
    const auto low = static_cast<char32_t>(text[i]);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      ++i;
      return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  return c;
}

// The converted text, or the Win32 error that stops the conversion.
struct Converted {
  std::wstring wide;
  std::string bytes;
  DWORD error = ERROR_SUCCESS;
  bool usedDefault = false;
};

Converted ToWide(UINT codePage, DWORD flags, const char* text, size_t n) {
  Converted out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  if (IsUtf8(codePage)) {
    for (size_t i = 0; i < n;) {
      size_t length = 0;
      const auto c = DecodeUtf8(p + i, n - i, length);
      i += length;
      if (!c && (flags & MB_ERR_INVALID_CHARS)) return {L"", "", ERROR_NO_UNICODE_TRANSLATION};
      out.wide += static_cast<wchar_t>(c ? *c : 0xFFFD);
    }
    return out;
  }
  const HighHalf& table = *SingleByteTable(codePage);
  for (size_t i = 0; i < n; ++i) out.wide += DecodeSingle(table, p[i]);
  return out;
}

Converted ToBytes(UINT codePage, DWORD flags, const wchar_t* text, size_t n, char defaultChar) {
  Converted out;
  if (IsUtf8(codePage)) {
    for (size_t i = 0; i < n;) {
      const char32_t c = NextCodePoint(text, n, i);
      if (!IsScalar(c) && (flags & WC_ERR_INVALID_CHARS)) return {L"", "", ERROR_NO_UNICODE_TRANSLATION};
      AppendUtf8(out.bytes, IsScalar(c) ? c : 0xFFFD);
    }
    return out;
  }
  const HighHalf& table = *SingleByteTable(codePage);
  for (size_t i = 0; i < n;) {
    const auto encoded = EncodeSingle(table, NextCodePoint(text, n, i));
    if (!encoded) out.usedDefault = true;
    out.bytes += encoded.value_or(defaultChar);
  }
  return out;
}

bool IsSupported(UINT codePage) { return IsUtf8(codePage) || SingleByteTable(codePage) != nullptr; }

}  // namespace

std::wstring WideFromAnsi(std::string_view text) { return ToWide(CP_ACP, 0, text.data(), text.size()).wide; }

std::string AnsiFromWide(std::wstring_view text) { return ToBytes(CP_ACP, 0, text.data(), text.size(), '?').bytes; }

}  // namespace winapi

using namespace winapi;

// MultiByteToWideChar
extern "C" WINBASEAPI int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                                     int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
  return winapi::GuardedLastError<int>(0, [&]() -> int {
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (lpWideCharStr && static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr))) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (!IsSupported(CodePage)) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    constexpr DWORD kKnown = MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
    if ((dwFlags & ~kKnown) || (IsUtf8(CodePage) && (dwFlags & ~MB_ERR_INVALID_CHARS))) {
      FailWith(ERROR_INVALID_FLAGS);
      return 0;
    }
    const size_t n = cbMultiByte == -1 ? std::char_traits<char>::length(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const Converted converted = ToWide(CodePage, dwFlags, lpMultiByteStr, n);
    if (converted.error) {
      FailWith(converted.error);
      return 0;
    }
    const auto needed = static_cast<int>(converted.wide.size());
    if (cchWideChar == 0) return needed;
    if (needed > cchWideChar) {
      std::copy_n(converted.wide.begin(), cchWideChar, lpWideCharStr);
      FailWith(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::copy(converted.wide.begin(), converted.wide.end(), lpWideCharStr);
    return needed;
  });
}

// WideCharToMultiByte
extern "C" WINBASEAPI int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                                                     int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                                     LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  return winapi::GuardedLastError<int>(0, [&]() -> int {
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (lpMultiByteStr && static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr))) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (!IsSupported(CodePage)) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (IsUtf8(CodePage)) {
      // UTF-8 has no default character.
      if (lpDefaultChar || lpUsedDefaultChar) {
        FailWith(ERROR_INVALID_PARAMETER);
        return 0;
      }
      if (dwFlags & ~WC_ERR_INVALID_CHARS) {
        FailWith(ERROR_INVALID_FLAGS);
        return 0;
      }
    } else {
      constexpr DWORD kKnown = WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_COMPOSITECHECK |
                               WC_NO_BEST_FIT_CHARS | WC_ERR_INVALID_CHARS;
      if (dwFlags & ~kKnown) {
        FailWith(ERROR_INVALID_FLAGS);
        return 0;
      }
    }
    const size_t n = cchWideChar == -1 ? std::char_traits<wchar_t>::length(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    const Converted converted = ToBytes(CodePage, dwFlags, lpWideCharStr, n, lpDefaultChar ? *lpDefaultChar : '?');
    if (converted.error) {
      FailWith(converted.error);
      return 0;
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = converted.usedDefault ? TRUE : FALSE;
    const auto needed = static_cast<int>(converted.bytes.size());
    if (cbMultiByte == 0) return needed;
    if (needed > cbMultiByte) {
      std::copy_n(converted.bytes.begin(), cbMultiByte, lpMultiByteStr);
      FailWith(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::copy(converted.bytes.begin(), converted.bytes.end(), lpMultiByteStr);
    return needed;
  });
}

// GetACP
extern "C" WINBASEAPI UINT WINAPI GetACP(void) { return kAnsiCodePage; }

// GetOEMCP
extern "C" WINBASEAPI UINT WINAPI GetOEMCP(void) { return kOemCodePage; }

// IsValidCodePage
extern "C" WINBASEAPI BOOL WINAPI IsValidCodePage(UINT CodePage) {
  return CodePage != CP_ACP && CodePage != CP_OEMCP && CodePage != CP_THREAD_ACP && IsSupported(CodePage);
}

// lstrcmpiW
extern "C" WINBASEAPI int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  // A null string sorts before every other one.
  if (!lpString1 || !lpString2) return lpString1 ? 1 : (lpString2 ? -1 : 0);
  return winapi::CompareNoCase(lpString1, lpString2);
}

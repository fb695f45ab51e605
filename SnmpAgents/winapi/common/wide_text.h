// Text conversions between the layer's wide strings (UTF-32 wchar_t), UTF-8 for the
// host system and UTF-16 for data that Windows lays out in 16-bit units.
#pragma once
#include <string>
#include <string_view>

namespace winapi {

// Invalid code points become U+FFFD; nothing here throws on bad input.
std::string Utf8FromWide(std::wstring_view text);
std::wstring WideFromUtf8(std::string_view text);
std::u16string Utf16FromWide(std::wstring_view text);
std::wstring WideFromUtf16(std::u16string_view text);
// Reads UTF-16 LE from raw bytes (any alignment).
std::wstring WideFromUtf16Bytes(const void* bytes, size_t units);
// Bytes as lower-case hexadecimal digits, two a byte.
std::wstring LowerHex(const void* data, size_t size);
// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t c);

std::wstring UpperCase(std::wstring_view text);
// Ordinal comparison after upper-casing, as Windows compares registry and object names.
int CompareNoCase(std::wstring_view a, std::wstring_view b);
inline bool EqualsNoCase(std::wstring_view a, std::wstring_view b) { return CompareNoCase(a, b) == 0; }

// Length of a possibly null wide C string.
inline size_t WideLength(const wchar_t* text) { return text ? std::char_traits<wchar_t>::length(text) : 0; }

}  // namespace winapi

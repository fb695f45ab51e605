// Conversions between the layer's wide strings and the Windows code pages, for the
// areas that read or write ANSI text (profile files, narrow message inserts, ...).
#pragma once
#include <string>
#include <string_view>

namespace winapi {

// Code page 1252 (the ANSI code page here).
std::wstring WideFromAnsi(std::string_view text);
// Characters 1252 cannot hold become '?'.
std::string AnsiFromWide(std::wstring_view text);

}  // namespace winapi

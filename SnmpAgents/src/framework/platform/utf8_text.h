// The one conversion between UTF-8 and wide text for the system and its tools, through
// the Win32 code-page functions: a path, a name or a setting keeps every character.
#pragma once

#include <string>
#include <string_view>

std::string Utf8FromWide(std::wstring_view text);
// Invalid sequences become U+FFFD.
std::wstring WideFromUtf8(std::string_view text);

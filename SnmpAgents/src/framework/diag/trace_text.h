// Byte forms of a trace line for the trace files: newlines become "\r\n", text is UTF-16 LE
// whatever the width of wchar_t.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fw::diag {

// Calls piece(text, isNewline) for each run of text between newlines and for each newline,
// in order; a newline piece carries "\r\n".
template <class Piece>
void ForEachTracePiece(std::wstring_view line, Piece&& piece) {
  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t newline = line.find(L'\n', start);
    const std::size_t end = newline == std::wstring_view::npos ? line.size() : newline;
    if (end > start) piece(line.substr(start, end - start), false);
    if (newline == std::wstring_view::npos) break;
    piece(std::wstring_view(L"\r\n"), true);
    start = newline + 1;
  }
}

// Appends the UTF-16 LE bytes of text (characters above U+FFFF as surrogate pairs).
void AppendUtf16Le(std::string& bytes, std::wstring_view text);

inline constexpr char kUtf16LeBom[] = "\xFF\xFE";

}  // namespace fw::diag

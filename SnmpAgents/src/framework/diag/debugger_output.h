// Trace lines for the debugger: one OutputDebugStringW call per line of text.
#pragma once

#include <string_view>

namespace fw::diag {

// Longest text handed to OutputDebugStringW in one call.
inline constexpr std::size_t kMaxDebuggerPiece = 65790;

// Drops one leading newline, then passes each newline-separated piece with a newline
// appended; a piece longer than kMaxDebuggerPiece is passed in parts.
void WriteToDebugger(std::wstring_view line);

}  // namespace fw::diag

#include "debugger_output.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace fw::diag {

namespace {

void OutputPiece(std::wstring& buffer, std::wstring_view piece) {
  do {
    const std::size_t count = std::min(piece.size(), kMaxDebuggerPiece);
    buffer.assign(piece.substr(0, count));
    buffer.push_back(L'\n');
    OutputDebugStringW(buffer.c_str());
    piece.remove_prefix(count);
  } while (!piece.empty());
}

}  // namespace

void WriteToDebugger(std::wstring_view line) {
  if (!line.empty() && line.front() == L'\n') line.remove_prefix(1);
  std::wstring buffer;
  while (!line.empty()) {
    const std::size_t newline = line.find(L'\n');
    OutputPiece(buffer, line.substr(0, newline));
    if (newline == std::wstring_view::npos) break;
    line.remove_prefix(newline + 1);
  }
}

}  // namespace fw::diag

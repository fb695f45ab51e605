#include "trace_text.h"

namespace fw::diag {

namespace {

void AppendUnit(std::string& bytes, unsigned unit) {
  bytes.push_back(static_cast<char>(unit & 0xFF));
  bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

}  // namespace

void AppendUtf16Le(std::string& bytes, std::wstring_view text) {
  bytes.reserve(bytes.size() + text.size() * 2);
  for (const wchar_t c : text) {
    const auto cp = static_cast<unsigned long>(c);
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      const unsigned long rest = cp - 0x10000;
      AppendUnit(bytes, static_cast<unsigned>(0xD800 + (rest >> 10)));
      AppendUnit(bytes, static_cast<unsigned>(0xDC00 + (rest & 0x3FF)));
      continue;
    }
    AppendUnit(bytes, cp > 0x10FFFF ? 0xFFFDu : static_cast<unsigned>(cp));
  }
}

}  // namespace fw::diag

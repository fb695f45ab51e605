// FormatMessageW. Insert specifications are formatted here, never by the C library: a
// wide format must not reach vswprintf, which reads %s as a narrow string on glibc.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "codepage.h"
#include "errors.h"
#include "loader.h"
#include "messages.h"
#include "peimage.h"
#include "wide_text.h"

namespace winapi {
namespace {

constexpr int kMaxInsert = 99;

// The insert arguments: a DWORD_PTR array, or a va_list read one slot per insert number
// as far as the highest number used so far.
class InsertArguments {
 public:
  InsertArguments(DWORD flags, va_list* list)
      : array_((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? reinterpret_cast<const DWORD_PTR*>(list) : nullptr),
        list_((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? nullptr : list) {}

  bool Present() const { return array_ || list_; }

  DWORD_PTR Get(int number) {
    if (array_) return array_[number - 1];
    while (static_cast<int>(fetched_.size()) < number) fetched_.push_back(va_arg(*list_, DWORD_PTR));
    return fetched_[static_cast<size_t>(number - 1)];
  }

 private:
  const DWORD_PTR* array_;
  va_list* list_;
  std::vector<DWORD_PTR> fetched_;
};

struct Spec {
  bool leftAlign = false, plus = false, space = false, alternate = false, zeroPad = false;
  std::optional<int> width;
  std::optional<int> precision;
  bool starWidth = false, starPrecision = false;
  enum Size { kDefault, kShort, kLong, kLongLong, kPointer } size = kDefault;
  bool narrowText = false;  // 'S', "hs", 'C', "hc"
  bool wideText = false;    // "ls", "ws", "lc"
  wchar_t conversion = L's';
};

// Parses the text between the two '!' of "%n!spec!"; false for anything FormatMessageW
// does not support (floating point among it).
bool ParseSpec(std::wstring_view text, Spec& spec) {
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c == L'-') spec.leftAlign = true;
    else if (c == L'+') spec.plus = true;
    else if (c == L' ') spec.space = true;
    else if (c == L'#') spec.alternate = true;
    else if (c == L'0') spec.zeroPad = true;
    else break;
  }
  auto readNumber = [&](std::optional<int>& out, bool& star) {
    if (i < text.size() && text[i] == L'*') {
      star = true;
      ++i;
      return;
    }
    int value = 0;
    bool any = false;
    while (i < text.size() && text[i] >= L'0' && text[i] <= L'9' && value < 100000) {
      value = value * 10 + (text[i++] - L'0');
      any = true;
    }
    if (any) out = value;
  };
  readNumber(spec.width, spec.starWidth);
  if (i < text.size() && text[i] == L'.') {
    ++i;
    readNumber(spec.precision, spec.starPrecision);
    if (!spec.precision && !spec.starPrecision) spec.precision = 0;
  }
  auto consume = [&](std::wstring_view prefix) {
    if (!text.substr(i).starts_with(prefix)) return false;
    i += prefix.size();
    return true;
  };
  if (consume(L"I64") || consume(L"ll")) spec.size = Spec::kLongLong;
  else if (consume(L"I32")) spec.size = Spec::kDefault;
  else if (consume(L"I")) spec.size = Spec::kPointer;
  else if (consume(L"h")) spec.size = Spec::kShort, spec.narrowText = true;
  else if (consume(L"l") || consume(L"w")) spec.size = Spec::kLong, spec.wideText = true;
  if (i + 1 != text.size()) return false;
  spec.conversion = text[i];
  switch (spec.conversion) {
    case L'd': case L'i': case L'u': case L'x': case L'X': case L'o': case L'p': return true;
    case L's': case L'c': return true;
    case L'S': case L'C': spec.narrowText = !spec.wideText; return true;
    default: return false;
  }
}

std::wstring Pad(std::wstring body, const Spec& spec, bool numeric) {
  const size_t width = spec.width && *spec.width > 0 ? static_cast<size_t>(*spec.width) : 0;
  if (body.size() >= width) return body;
  const size_t fill = width - body.size();
  if (spec.leftAlign) return body + std::wstring(fill, L' ');
  if (numeric && spec.zeroPad && !spec.precision) {
    // Zeros go after a sign or radix prefix.
    size_t prefix = 0;
    if (!body.empty() && (body[0] == L'-' || body[0] == L'+' || body[0] == L' ')) prefix = 1;
    if (body.size() >= prefix + 2 && body[prefix] == L'0' && (body[prefix + 1] == L'x' || body[prefix + 1] == L'X'))
      prefix += 2;
    return body.substr(0, prefix) + std::wstring(fill, L'0') + body.substr(prefix);
  }
  return std::wstring(fill, L' ') + body;
}

std::wstring Digits(uint64_t value, unsigned base, bool upper) {
  const wchar_t* digits = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
  std::wstring out;
  do {
    out += digits[value % base];
    value /= base;
  } while (value);
  std::reverse(out.begin(), out.end());
  return out;
}

std::wstring FormatInteger(DWORD_PTR raw, const Spec& spec) {
  const wchar_t conversion = spec.conversion;
  if (conversion == L'p') {
    std::wstring digits = Digits(raw, 16, true);
    return Pad(std::wstring(16 - std::min<size_t>(16, digits.size()), L'0') + digits, spec, false);
  }
  const bool isSigned = conversion == L'd' || conversion == L'i';
  uint64_t magnitude = 0;
  bool negative = false;
  switch (spec.size) {
    case Spec::kShort:
      if (isSigned) {
        const auto v = static_cast<int16_t>(raw);
        negative = v < 0;
        magnitude = negative ? 0ull - static_cast<uint64_t>(static_cast<int64_t>(v)) : static_cast<uint64_t>(v);
      } else {
        magnitude = static_cast<uint16_t>(raw);
      }
      break;
    case Spec::kLongLong:
    case Spec::kPointer:
      if (isSigned) {
        const auto v = static_cast<int64_t>(raw);
        negative = v < 0;
        magnitude = negative ? 0ull - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
      } else {
        magnitude = raw;
      }
      break;
    default:
      if (isSigned) {
        const auto v = static_cast<int32_t>(raw);
        negative = v < 0;
        magnitude = negative ? 0ull - static_cast<uint64_t>(static_cast<int64_t>(v)) : static_cast<uint64_t>(v);
      } else {
        magnitude = static_cast<uint32_t>(raw);
      }
      break;
  }
  const unsigned base = (conversion == L'x' || conversion == L'X') ? 16 : conversion == L'o' ? 8 : 10;
  std::wstring digits = Digits(magnitude, base, conversion == L'X');
  if (spec.precision) {
    if (*spec.precision == 0 && magnitude == 0) digits.clear();
    if (digits.size() < static_cast<size_t>(*spec.precision))
      digits.insert(0, static_cast<size_t>(*spec.precision) - digits.size(), L'0');
  }
  std::wstring prefix;
  if (negative) prefix = L"-";
  else if (isSigned && spec.plus) prefix = L"+";
  else if (isSigned && spec.space) prefix = L" ";
  if (spec.alternate && magnitude != 0) {
    if (base == 16) prefix += conversion == L'X' ? L"0X" : L"0x";
    else if (base == 8 && (digits.empty() || digits[0] != L'0')) digits.insert(0, 1, L'0');
  }
  return Pad(prefix + digits, spec, true);
}

std::wstring FormatText(DWORD_PTR raw, const Spec& spec) {
  std::wstring text;
  if (spec.conversion == L'c' || spec.conversion == L'C') {
    if (spec.narrowText) text = WideFromAnsi(std::string(1, static_cast<char>(raw & 0xFF)));
    else text = std::wstring(1, static_cast<wchar_t>(raw & 0xFFFFFFFFu));
  } else if (!raw) {
    text = L"(null)";
  } else if (spec.narrowText) {
    text = WideFromAnsi(reinterpret_cast<const char*>(raw));
  } else {
    text = reinterpret_cast<const wchar_t*>(raw);
  }
  if (spec.precision && text.size() > static_cast<size_t>(*spec.precision) && spec.conversion != L'c' &&
      spec.conversion != L'C')
    text.resize(static_cast<size_t>(*spec.precision));
  return Pad(text, spec, false);
}

// Formats the message text. Line breaks of the text are kept (width 0) or become spaces
// (any other width); %n is a hard break. With IGNORE_INSERTS only %n, %r, %t and %0 are
// interpreted; every other sequence passes through as it stands.
class MessageFormatter {
 public:
  MessageFormatter(DWORD flags, va_list* arguments)
      : ignoreInserts_(flags & FORMAT_MESSAGE_IGNORE_INSERTS),
        width_(flags & FORMAT_MESSAGE_MAX_WIDTH_MASK),
        arguments_(flags, arguments) {}

  // ERROR_SUCCESS or ERROR_INVALID_PARAMETER.
  DWORD Format(std::wstring_view text, std::wstring& out) {
    for (size_t i = 0; i < text.size();) {
      const wchar_t c = text[i];
      if (c == L'\r' || c == L'\n') {
        const size_t length = (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ? 2 : 1;
        // A line break of the text comes out as CR LF, or as a space when lines are rewrapped.
        if (width_ == 0) out.append(c == L'\n' || length == 2 ? std::wstring_view(L"\r\n") : text.substr(i, 1));
        else out += L' ';
        i += length;
        continue;
      }
      if (c != L'%') {
        out += c;
        ++i;
        continue;
      }
      if (i + 1 >= text.size()) return ERROR_INVALID_PARAMETER;
      const wchar_t next = text[i + 1];
      if (next == L'0') break;
      if (DWORD error = Escape(text, i, out)) return error;
    }
    if (width_ != 0 && width_ != FORMAT_MESSAGE_MAX_WIDTH_MASK) out = Wrap(out, width_);
    return ERROR_SUCCESS;
  }

 private:
  // Handles the sequence at text[i] == '%', advancing i past it.
  DWORD Escape(std::wstring_view text, size_t& i, std::wstring& out) {
    const wchar_t next = text[i + 1];
    switch (next) {
      case L'n': out += L"\r\n"; i += 2; return ERROR_SUCCESS;
      case L'r': out += L'\r'; i += 2; return ERROR_SUCCESS;
      case L't': out += L'\t'; i += 2; return ERROR_SUCCESS;
      default: break;
    }
    if (next < L'1' || next > L'9') {
      // %%, %., %!, "% " and any other character stand for that character.
      out.append(ignoreInserts_ ? text.substr(i, 2) : text.substr(i + 1, 1));
      i += 2;
      return ERROR_SUCCESS;
    }
    size_t end = i + 2;
    int number = next - L'0';
    if (end < text.size() && text[end] >= L'0' && text[end] <= L'9') number = number * 10 + (text[end++] - L'0');
    if (ignoreInserts_) {
      out.append(text.substr(i, end - i));
      i = end;
      return ERROR_SUCCESS;
    }
    Spec spec;
    if (end < text.size() && text[end] == L'!') {
      const auto close = text.find(L'!', end + 1);
      if (close == std::wstring_view::npos || !ParseSpec(text.substr(end + 1, close - end - 1), spec))
        return ERROR_INVALID_PARAMETER;
      end = close + 1;
    }
    i = end;
    return Insert(number, spec, out);
  }

  DWORD Insert(int number, Spec spec, std::wstring& out) {
    if (!arguments_.Present()) return ERROR_INVALID_PARAMETER;
    // A '*' takes the insert's own argument, and the value moves to the next number.
    if (spec.starWidth) {
      if (number > kMaxInsert) return ERROR_INVALID_PARAMETER;
      const auto width = static_cast<int32_t>(arguments_.Get(number++));
      spec.width = width < 0 ? -width : width;
      if (width < 0) spec.leftAlign = true;
    }
    if (spec.starPrecision) {
      if (number > kMaxInsert) return ERROR_INVALID_PARAMETER;
      spec.precision = std::max<int32_t>(0, static_cast<int32_t>(arguments_.Get(number++)));
    }
    if (number > kMaxInsert) return ERROR_INVALID_PARAMETER;
    const DWORD_PTR value = arguments_.Get(number);
    switch (spec.conversion) {
      case L's': case L'S': case L'c': case L'C': out += FormatText(value, spec); break;
      default: out += FormatInteger(value, spec); break;
    }
    return ERROR_SUCCESS;
  }

  // Breaks lines longer than `width` at their last space, or hard where there is none.
  static std::wstring Wrap(const std::wstring& text, size_t width) {
    std::wstring out;
    size_t lineStart = 0;
    while (lineStart <= text.size()) {
      auto lineEnd = text.find(L"\r\n", lineStart);
      const bool last = lineEnd == std::wstring::npos;
      if (last) lineEnd = text.size();
      std::wstring_view line(text.data() + lineStart, lineEnd - lineStart);
      while (line.size() > width) {
        auto cut = line.substr(0, width + 1).find_last_of(L' ');
        if (cut == std::wstring_view::npos || cut == 0) {
          out.append(line.substr(0, width)).append(L"\r\n");
          line.remove_prefix(width);
        } else {
          out.append(line.substr(0, cut)).append(L"\r\n");
          line.remove_prefix(cut + 1);
        }
      }
      out.append(line);
      if (last) break;
      out.append(L"\r\n");
      lineStart = lineEnd + 2;
    }
    return out;
  }

  bool ignoreInserts_;
  DWORD width_;
  InsertArguments arguments_;
};

// Message `id` from a module's message table: a PE image's RT_MESSAGETABLE or a raw
// message table file. The layer itself answers with the system's table.
DWORD ModuleMessage(HMODULE module, DWORD id, DWORD language, std::wstring& text) {
  if (module == LayerModule()) {
    const wchar_t* system = SystemErrorText(id);
    if (!system) return ERROR_MR_MID_NOT_FOUND;
    text = system;
    return ERROR_SUCCESS;
  }
  const auto bytes = DataModuleBytes(module);
  if (bytes.empty()) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (bytes.size() >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F')
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (!LooksLikePeImage(bytes)) return FindMessageText(bytes, id, text);
  std::span<const uint8_t> table;
  const DWORD error = FindPeResource(bytes, kResourceTypeMessageTable, 1, static_cast<uint16_t>(language), table);
  if (error == ERROR_RESOURCE_NAME_NOT_FOUND) {
    if (DWORD any = FindPeResource(bytes, kResourceTypeMessageTable, 0, static_cast<uint16_t>(language), table))
      return any == ERROR_RESOURCE_DATA_NOT_FOUND ? ERROR_RESOURCE_TYPE_NOT_FOUND : any;
  } else if (error) {
    return error == ERROR_RESOURCE_DATA_NOT_FOUND ? ERROR_RESOURCE_TYPE_NOT_FOUND : error;
  }
  return FindMessageText(table, id, text);
}

DWORD MessageSource(DWORD flags, LPCVOID source, DWORD id, DWORD language, std::wstring& text) {
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (!source) return ERROR_INVALID_PARAMETER;
    text = static_cast<const wchar_t*>(source);
    return ERROR_SUCCESS;
  }
  DWORD error = ERROR_MR_MID_NOT_FOUND;
  if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    HMODULE module = source ? static_cast<HMODULE>(const_cast<void*>(source)) : MainModule();
    if (!source && (flags & FORMAT_MESSAGE_FROM_SYSTEM)) module = LayerModule();
    error = ModuleMessage(module, id, language, text);
    if (error == ERROR_SUCCESS || !(flags & FORMAT_MESSAGE_FROM_SYSTEM)) return error;
  }
  if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    // The system table speaks English whatever language is asked for.
    const wchar_t* system = SystemErrorText(id);
    if (!system) return ERROR_MR_MID_NOT_FOUND;
    text = system;
    return ERROR_SUCCESS;
  }
  return error;
}

DWORD Deliver(const std::wstring& text, DWORD flags, LPWSTR buffer, DWORD size) {
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto* target = reinterpret_cast<LPWSTR*>(buffer);
    *target = nullptr;
    const size_t units = std::max<size_t>(size, text.size() + 1);
    auto* block = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR)));
    if (!block) {
      FailWith(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::copy(text.begin(), text.end(), block);
    block[text.size()] = L'\0';
    *target = block;
    return static_cast<DWORD>(text.size());
  }
  if (text.size() + 1 > size) {
    FailWith(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = L'\0';
  return static_cast<DWORD>(text.size());
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// FormatMessageW
extern "C" WINBASEAPI DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                                  DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize,
                                                  va_list* Arguments) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    constexpr DWORD kSources = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;
    if (!lpBuffer || !(dwFlags & kSources) ||
        ((dwFlags & FORMAT_MESSAGE_FROM_STRING) && (dwFlags & (kSources & ~FORMAT_MESSAGE_FROM_STRING)))) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) *reinterpret_cast<LPWSTR*>(lpBuffer) = nullptr;
    std::wstring text;
    if (DWORD error = MessageSource(dwFlags, lpSource, dwMessageId, dwLanguageId, text)) {
      FailWith(error);
      return 0;
    }
    std::wstring formatted;
    MessageFormatter formatter(dwFlags, Arguments);
    if (DWORD error = formatter.Format(text, formatted)) {
      FailWith(error);
      return 0;
    }
    return Deliver(formatted, dwFlags, lpBuffer, nSize);
  });
}

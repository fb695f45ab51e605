#include "trace_format.h"

#include <algorithm>
#include <charconv>
#include <cwchar>

namespace fw::diag {

namespace {

constexpr wchar_t kBadArgument[] = L"<?>";
constexpr wchar_t kNullString[] = L"(null)";

// Writes into a bounded buffer and counts everything, so a caller learns the full length.
class BoundedWriter {
 public:
  BoundedWriter(wchar_t* buffer, std::size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}

  void Put(wchar_t c) {
    if (m_length + 1 < m_capacity) m_buffer[m_length] = c;
    ++m_length;
  }
  void Put(const wchar_t* text, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) Put(text[i]);
  }
  void Fill(wchar_t c, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) Put(c);
  }
  std::size_t Finish() {
    if (m_capacity > 0) m_buffer[std::min(m_length, m_capacity - 1)] = L'\0';
    return m_length;
  }

 private:
  wchar_t* m_buffer;
  std::size_t m_capacity;
  std::size_t m_length = 0;
};

struct Spec {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool narrow = false;
  bool wide = false;
  std::size_t width = 0;
  int precision = -1;  // -1: none given
  wchar_t conversion = 0;
};

class ArgCursor {
 public:
  explicit ArgCursor(std::span<const TraceArg> args) : m_args(args) {}
  const TraceArg& Next() {
    static const TraceArg kMissing{};
    return m_next < m_args.size() ? m_args[m_next++] : kMissing;
  }

 private:
  std::span<const TraceArg> m_args;
  std::size_t m_next = 0;
};

void PutPadded(BoundedWriter& out, const Spec& spec, const wchar_t* text, std::size_t count) {
  const std::size_t pad = spec.width > count ? spec.width - count : 0;
  if (!spec.left) out.Fill(L' ', pad);
  out.Put(text, count);
  if (spec.left) out.Fill(L' ', pad);
}

void PutMarker(BoundedWriter& out, const Spec& spec, const wchar_t* marker) {
  PutPadded(out, spec, marker, std::wcslen(marker));
}

// Narrow text is read as UTF-8; a byte that does not start a valid sequence stands for itself.
std::size_t Utf8SequenceLength(const unsigned char* bytes, std::size_t available, char32_t& cp) {
  const unsigned char lead = bytes[0];
  std::size_t length = 0;
  if (lead >= 0xC2 && lead < 0xE0) length = 2, cp = lead & 0x1Fu;
  else if (lead >= 0xE0 && lead < 0xF0) length = 3, cp = lead & 0x0Fu;
  else if (lead >= 0xF0 && lead < 0xF5) length = 4, cp = lead & 0x07u;
  if (length == 0 || length > available) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((bytes[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (bytes[k] & 0x3Fu);
  }
  const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
  const bool outOfRange = (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF;
  return overlong || outOfRange ? 0 : length;
}

void AppendCodePoint(std::wstring& text, char32_t cp) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      text.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      text.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
      return;
    }
  }
  text.push_back(static_cast<wchar_t>(cp));
}

std::wstring WidenNarrow(const char* text, std::size_t length) {
  std::wstring result;
  result.reserve(length);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (std::size_t i = 0; i < length;) {
    char32_t cp = 0;
    const std::size_t sequence = bytes[i] < 0x80 ? 0 : Utf8SequenceLength(bytes + i, length - i, cp);
    if (sequence == 0) {
      result.push_back(static_cast<wchar_t>(bytes[i++]));
      continue;
    }
    AppendCodePoint(result, cp);
    i += sequence;
  }
  return result;
}

void FormatString(BoundedWriter& out, const Spec& spec, const TraceArg& arg) {
  std::wstring widened;
  const wchar_t* text = nullptr;
  std::size_t count = 0;
  if (arg.kind() == TraceArg::Kind::WideString) {
    text = arg.wide();
    if (text) count = arg.length() == TraceArg::kTerminated ? std::wcslen(text) : arg.length();
  } else if (arg.kind() == TraceArg::Kind::NarrowString) {
    if (arg.narrow()) {
      const std::size_t bytes =
          arg.length() == TraceArg::kTerminated ? std::char_traits<char>::length(arg.narrow()) : arg.length();
      widened = WidenNarrow(arg.narrow(), bytes);
      text = widened.c_str();
      count = widened.size();
    }
  } else {
    PutMarker(out, spec, kBadArgument);
    return;
  }
  if (!text) {
    PutMarker(out, spec, kNullString);
    return;
  }
  if (spec.precision >= 0) count = std::min(count, static_cast<std::size_t>(spec.precision));
  PutPadded(out, spec, text, count);
}

bool IsIntegerKind(const TraceArg& arg) {
  return arg.kind() == TraceArg::Kind::Signed || arg.kind() == TraceArg::Kind::Unsigned ||
         arg.kind() == TraceArg::Kind::Pointer;
}

void FormatChar(BoundedWriter& out, const Spec& spec, const TraceArg& arg) {
  std::int64_t value = 0;
  bool isSigned = false;
  if (!IsIntegerKind(arg) || !arg.AsInteger(value, isSigned)) {
    PutMarker(out, spec, kBadArgument);
    return;
  }
  // %hc and %C take a single byte, as the wide runtime does.
  const bool narrowChar = spec.narrow || spec.conversion == L'C';
  const auto code = narrowChar ? static_cast<wchar_t>(value & 0xFF) : static_cast<wchar_t>(value);
  PutPadded(out, spec, &code, code == L'\0' ? 0 : 1);
}

std::uint64_t MaskToWidth(std::uint64_t value, std::size_t bytes) {
  return bytes >= 8 ? value : value & ((std::uint64_t{1} << (bytes * 8)) - 1);
}

void FormatInteger(BoundedWriter& out, const Spec& spec, const TraceArg& arg) {
  std::int64_t value = 0;
  bool isSigned = false;
  if (!IsIntegerKind(arg) || !arg.AsInteger(value, isSigned)) {
    PutMarker(out, spec, kBadArgument);
    return;
  }
  const wchar_t conv = spec.conversion;
  const bool decimal = conv == L'd' || conv == L'i';
  bool negative = false;
  std::uint64_t magnitude = 0;
  if (decimal && isSigned && value < 0) {
    negative = true;
    magnitude = 0 - static_cast<std::uint64_t>(value);
  } else if (isSigned) {
    // %u/%x/%o of a signed value show its two's complement at the value's own width.
    magnitude = decimal ? static_cast<std::uint64_t>(value) : MaskToWidth(static_cast<std::uint64_t>(value), arg.size());
  } else {
    magnitude = static_cast<std::uint64_t>(value);
  }

  const unsigned base = conv == L'x' || conv == L'X' ? 16 : conv == L'o' ? 8 : 10;
  const wchar_t* digitSet = conv == L'X' ? L"0123456789ABCDEF" : L"0123456789abcdef";
  wchar_t digits[24];
  std::size_t count = 0;
  for (std::uint64_t v = magnitude; v != 0; v /= base) digits[count++] = digitSet[v % base];
  std::reverse(digits, digits + count);
  const std::size_t minDigits = spec.precision >= 0 ? static_cast<std::size_t>(spec.precision) : 1;
  std::size_t leadingZeros = minDigits > count ? minDigits - count : 0;
  if (base == 8 && spec.alternate && leadingZeros == 0 && (count == 0 || digits[0] != L'0')) leadingZeros = 1;

  wchar_t prefix[2];
  std::size_t prefixLength = 0;
  if (decimal && negative) prefix[prefixLength++] = L'-';
  else if (decimal && spec.plus) prefix[prefixLength++] = L'+';
  else if (decimal && spec.space) prefix[prefixLength++] = L' ';
  if (base == 16 && spec.alternate && magnitude != 0) {
    prefix[prefixLength++] = L'0';
    prefix[prefixLength++] = conv;
  }

  const std::size_t body = prefixLength + leadingZeros + count;
  const std::size_t pad = spec.width > body ? spec.width - body : 0;
  const bool zeroPad = spec.zero && !spec.left && spec.precision < 0;
  if (!spec.left && !zeroPad) out.Fill(L' ', pad);
  out.Put(prefix, prefixLength);
  if (zeroPad) out.Fill(L'0', pad);
  out.Fill(L'0', leadingZeros);
  out.Put(digits, count);
  if (spec.left) out.Fill(L' ', pad);
}

void FormatPointer(BoundedWriter& out, const Spec& spec, const TraceArg& arg) {
  std::int64_t value = 0;
  bool isSigned = false;
  if (!IsIntegerKind(arg) || !arg.AsInteger(value, isSigned)) {
    PutMarker(out, spec, kBadArgument);
    return;
  }
  wchar_t digits[16];
  auto v = static_cast<std::uint64_t>(value);
  for (int i = 15; i >= 0; --i, v >>= 4) digits[i] = L"0123456789ABCDEF"[v & 0xF];
  PutPadded(out, spec, digits, 16);
}

void FormatFloat(BoundedWriter& out, const Spec& spec, const TraceArg& arg) {
  double value = 0;
  std::int64_t integer = 0;
  bool isSigned = false;
  if (arg.kind() == TraceArg::Kind::Double) {
    value = arg.AsDouble();
  } else if ((arg.kind() == TraceArg::Kind::Signed || arg.kind() == TraceArg::Kind::Unsigned) &&
             arg.AsInteger(integer, isSigned)) {
    value = isSigned ? static_cast<double>(integer) : static_cast<double>(static_cast<std::uint64_t>(integer));
  } else {
    PutMarker(out, spec, kBadArgument);
    return;
  }
  const wchar_t conv = spec.conversion;
  const wchar_t lower = static_cast<wchar_t>(conv | 0x20);
  const auto format = lower == L'e' ? std::chars_format::scientific
                      : lower == L'g' ? std::chars_format::general
                                      : std::chars_format::fixed;
  const int precision = spec.precision >= 0 ? std::min(spec.precision, 100) : 6;
  char text[400];
  char* begin = text;
  if (spec.plus && !(value < 0)) *begin++ = '+';
  else if (spec.space && !(value < 0)) *begin++ = ' ';
  const auto result = std::to_chars(begin, text + sizeof(text), value, format, precision);
  if (result.ec != std::errc{}) {
    PutMarker(out, spec, kBadArgument);
    return;
  }
  wchar_t wide[400];
  const auto count = static_cast<std::size_t>(result.ptr - text);
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[i];
    wide[i] = static_cast<wchar_t>(conv == lower || c < 'a' || c > 'z' ? c : c - 'a' + 'A');
  }
  // Zero padding goes after the sign.
  if (spec.zero && !spec.left && spec.width > count) {
    std::size_t signLength = (wide[0] == L'-' || wide[0] == L'+' || wide[0] == L' ') ? 1 : 0;
    out.Put(wide, signLength);
    out.Fill(L'0', spec.width - count);
    out.Put(wide + signLength, count - signLength);
    return;
  }
  PutPadded(out, spec, wide, count);
}

// Reads flags, width, precision and size prefix; returns the position of the conversion.
const wchar_t* ParseSpec(const wchar_t* p, Spec& spec, ArgCursor& args) {
  for (;; ++p) {
    if (*p == L'-') spec.left = true;
    else if (*p == L'0') spec.zero = true;
    else if (*p == L'+') spec.plus = true;
    else if (*p == L' ') spec.space = true;
    else if (*p == L'#') spec.alternate = true;
    else break;
  }
  auto starValue = [&args](std::int64_t& value) {
    bool isSigned = false;
    const TraceArg& arg = args.Next();
    value = 0;
    return (arg.kind() == TraceArg::Kind::Signed || arg.kind() == TraceArg::Kind::Unsigned) &&
           arg.AsInteger(value, isSigned);
  };
  constexpr std::size_t kMaxWidth = 4096;  // keeps a wild width from flooding a line
  if (*p == L'*') {
    std::int64_t value = 0;
    starValue(value);
    if (value < 0) {
      spec.left = true;
      value = -value;
    }
    spec.width = static_cast<std::size_t>(std::min<std::int64_t>(value, kMaxWidth));
    ++p;
  } else {
    while (*p >= L'0' && *p <= L'9') spec.width = std::min(spec.width * 10 + (*p++ - L'0'), kMaxWidth);
  }
  if (*p == L'.') {
    ++p;
    spec.precision = 0;
    if (*p == L'*') {
      std::int64_t value = 0;
      starValue(value);
      spec.precision = value < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(value, kMaxWidth));
      ++p;
    } else {
      while (*p >= L'0' && *p <= L'9') spec.precision = std::min<int>(spec.precision * 10 + (*p++ - L'0'), kMaxWidth);
    }
  }
  for (;;) {
    if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') p += 3;
    else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') p += 3;
    else if (*p == L'h') { spec.narrow = true; ++p; }
    else if (*p == L'l' || *p == L'w') { spec.wide = true; ++p; }
    else if (*p == L'I' || *p == L'L' || *p == L'z' || *p == L'j' || *p == L't' || *p == L'q') ++p;
    else break;
  }
  return p;
}

void FormatConversion(BoundedWriter& out, const Spec& spec, ArgCursor& args) {
  switch (spec.conversion) {
    case L's':
    case L'S':
      FormatString(out, spec, args.Next());
      return;
    case L'c':
    case L'C':
      FormatChar(out, spec, args.Next());
      return;
    case L'd':
    case L'i':
    case L'u':
    case L'x':
    case L'X':
    case L'o':
      FormatInteger(out, spec, args.Next());
      return;
    case L'p':
      FormatPointer(out, spec, args.Next());
      return;
    case L'f':
    case L'F':
    case L'e':
    case L'E':
    case L'g':
    case L'G':
      FormatFloat(out, spec, args.Next());
      return;
    default:
      // Unknown conversions, and %n, which never writes through a pointer here.
      PutMarker(out, spec, kBadArgument);
      return;
  }
}

}  // namespace

bool TraceArg::AsInteger(std::int64_t& value, bool& isSigned) const {
  switch (m_kind) {
    case Kind::Signed:
      value = m_signed;
      isSigned = true;
      return true;
    case Kind::Unsigned:
      value = static_cast<std::int64_t>(m_unsigned);
      isSigned = false;
      return true;
    case Kind::Pointer:
      value = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(m_pointer));
      isSigned = false;
      return true;
    default:
      return false;
  }
}

std::size_t FormatTraceText(wchar_t* buffer, std::size_t capacity, const wchar_t* format,
                            std::span<const TraceArg> args) {
  BoundedWriter out(buffer, capacity);
  if (!format) return out.Finish();
  ArgCursor cursor(args);
  for (const wchar_t* p = format; *p;) {
    if (*p != L'%') {
      out.Put(*p++);
      continue;
    }
    if (p[1] == L'%') {
      out.Put(L'%');
      p += 2;
      continue;
    }
    Spec spec;
    p = ParseSpec(p + 1, spec, cursor);
    if (*p == L'\0') {
      PutMarker(out, Spec{}, kBadArgument);
      break;
    }
    spec.conversion = *p++;
    // In a wide format %S names the other width: a narrow string.
    if (spec.conversion == L'S') spec.narrow = true;
    FormatConversion(out, spec, cursor);
  }
  return out.Finish();
}

std::wstring FormatTraceString(const wchar_t* format, std::span<const TraceArg> args) {
  wchar_t stackBuffer[256];
  const std::size_t length = FormatTraceText(stackBuffer, std::size(stackBuffer), format, args);
  if (length < std::size(stackBuffer)) return std::wstring(stackBuffer, length);
  std::wstring result(length, L'\0');
  FormatTraceText(result.data(), length + 1, format, args);
  return result;
}

}  // namespace fw::diag

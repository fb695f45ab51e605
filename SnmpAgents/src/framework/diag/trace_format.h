// Type-safe wide formatter with the wide-printf meaning of the Microsoft runtime, the same
// on every target. Arguments are captured as tagged values, so nothing goes through C
// varargs and a wrong argument cannot crash the formatter.
//
// Conversions: %s %ls %ws (wide string), %hs %S (narrow string; the argument's own type
// decides how it is read), %c %lc %hc %C, %d %i %u %x %X %o with any of the size prefixes
// h hh l ll I I32 I64 z j t w (the argument's own width is used), %p, %f %F %e %E %g %G,
// %%; flags - 0 + space #, width and precision, both also as *.
// Markers: a null string pointer prints "(null)"; a missing argument, an argument of the
// wrong kind or an unknown conversion prints "<?>", and the rest of the format goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace fw::diag {

template <class T, bool = std::is_enum_v<T>>
struct TraceIntegerOf {
  using type = T;
};
template <class T>
struct TraceIntegerOf<T, true> {
  using type = std::underlying_type_t<T>;
};

class TraceArg {
 public:
  enum class Kind : std::uint8_t { None, Signed, Unsigned, WideString, NarrowString, Pointer, Double };

  constexpr TraceArg() = default;

  template <class T>
    requires(std::is_integral_v<T> || std::is_enum_v<T>)
  constexpr TraceArg(T value) {  // NOLINT: implicit by design, built from a parameter pack
    using U = typename TraceIntegerOf<T>::type;
    const U raw = static_cast<U>(value);
    m_size = sizeof(U);
    if constexpr (std::is_same_v<U, bool>) {
      m_kind = Kind::Unsigned;
      m_unsigned = raw ? 1u : 0u;
    } else if constexpr (std::is_signed_v<U>) {
      m_kind = Kind::Signed;
      m_signed = raw;
    } else {
      m_kind = Kind::Unsigned;
      m_unsigned = raw;
    }
  }
  constexpr TraceArg(double value) : m_kind(Kind::Double), m_size(sizeof(double)), m_double(value) {}
  constexpr TraceArg(float value) : TraceArg(static_cast<double>(value)) {}
  constexpr TraceArg(const wchar_t* text) : m_kind(Kind::WideString), m_wide(text), m_length(kTerminated) {}
  constexpr TraceArg(const char* text) : m_kind(Kind::NarrowString), m_narrow(text), m_length(kTerminated) {}
  constexpr TraceArg(std::wstring_view text)
      : m_kind(Kind::WideString), m_wide(text.data()), m_length(text.size()) {}
  constexpr TraceArg(std::string_view text)
      : m_kind(Kind::NarrowString), m_narrow(text.data()), m_length(text.size()) {}
  TraceArg(const std::wstring& text) : TraceArg(std::wstring_view(text)) {}
  TraceArg(const std::string& text) : TraceArg(std::string_view(text)) {}
  constexpr TraceArg(std::nullptr_t) : m_kind(Kind::Pointer), m_size(sizeof(void*)), m_pointer(nullptr) {}
  template <class T>
    requires(!std::is_same_v<std::remove_cv_t<T>, wchar_t> && !std::is_same_v<std::remove_cv_t<T>, char>)
  constexpr TraceArg(T* pointer)
      : m_kind(Kind::Pointer), m_size(sizeof(void*)), m_pointer(static_cast<const volatile void*>(pointer)) {}

  Kind kind() const { return m_kind; }
  std::size_t size() const { return m_size; }
  // The integer value: signed kinds sign-extended, pointers as their address.
  bool AsInteger(std::int64_t& value, bool& isSigned) const;
  double AsDouble() const { return m_double; }
  // Strings: the pointer and the length (kTerminated for a terminated C string).
  const wchar_t* wide() const { return m_wide; }
  const char* narrow() const { return m_narrow; }
  std::size_t length() const { return m_length; }

  static constexpr std::size_t kTerminated = static_cast<std::size_t>(-1);

 private:
  Kind m_kind = Kind::None;
  std::uint8_t m_size = 0;
  union {
    std::int64_t m_signed = 0;
    std::uint64_t m_unsigned;
    double m_double;
    const wchar_t* m_wide;
    const char* m_narrow;
    const volatile void* m_pointer;
  };
  std::size_t m_length = 0;
};

// Formats into buffer (capacity in characters, including the terminator; 0 only counts).
// Returns the full length of the result, which may exceed capacity - 1: the output is then
// cut and still terminated.
std::size_t FormatTraceText(wchar_t* buffer, std::size_t capacity, const wchar_t* format,
                            std::span<const TraceArg> args);

// The same into a string, for callers that build texts (paths, names) in the trace style.
std::wstring FormatTraceString(const wchar_t* format, std::span<const TraceArg> args);

template <class... Args>
std::wstring FormatWide(const wchar_t* format, const Args&... args) {
  const TraceArg argv[sizeof...(Args) + 1] = {TraceArg(args)...};
  return FormatTraceString(format, std::span<const TraceArg>(argv, sizeof...(Args)));
}

}  // namespace fw::diag

#include "trace_format.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <limits>
#include <string>

namespace {

using fw::diag::FormatTraceText;
using fw::diag::FormatWide;
using fw::diag::TraceArg;

struct FormatCase {
  const char* what;
  std::wstring actual;
  std::wstring expected;
};

void ExpectAll(const FormatCase* begin, const FormatCase* end) {
  for (const FormatCase* c = begin; c != end; ++c) {
    EXPECT_EQ(c->actual, c->expected) << c->what;
  }
}

TEST(TraceFormat, Conversions) {
  const LONG hresult = static_cast<LONG>(0x80010106);
  const int local = 0;
  const FormatCase cases[] = {
      {"%d negative", FormatWide(L"%d", -42), L"-42"},
      {"%i", FormatWide(L"%i", 7), L"7"},
      {"%u of a large DWORD", FormatWide(L"%u", DWORD{4000000000u}), L"4000000000"},
      {"%u of -1 shows 32 bits", FormatWide(L"%u", -1), L"4294967295"},
      {"%x", FormatWide(L"%x", 255), L"ff"},
      {"%X", FormatWide(L"%X", 0xBEEFu), L"BEEF"},
      {"%X of a negative HRESULT", FormatWide(L"0x%X", hresult), L"0x80010106"},
      {"%08X of a small value", FormatWide(L"%08X", 0x2A), L"0000002A"},
      {"%o", FormatWide(L"%o", 8), L"10"},
      {"%ld %lu %lx", FormatWide(L"%ld %lu %lx", LONG{-5}, ULONG{5}, ULONG{0x1F}), L"-5 5 1f"},
      {"%I64d", FormatWide(L"%I64d", std::int64_t{-9000000000}), L"-9000000000"},
      {"%I64u max", FormatWide(L"%I64u", std::numeric_limits<std::uint64_t>::max()), L"18446744073709551615"},
      {"%I64x", FormatWide(L"%I64x", std::uint64_t{0x123456789ABCDEF0}), L"123456789abcdef0"},
      {"%I64X of -1", FormatWide(L"%I64X", std::int64_t{-1}), L"FFFFFFFFFFFFFFFF"},
      {"%lld %llu", FormatWide(L"%lld %llu", -1LL, 2ULL), L"-1 2"},
      {"int64 given to %d keeps its value", FormatWide(L"%d", std::int64_t{5000000000}), L"5000000000"},
      {"short given to %x shows 16 bits", FormatWide(L"%x", static_cast<short>(-1)), L"ffff"},
      {"bool", FormatWide(L"%d", true), L"1"},
      {"%s wide", FormatWide(L"%s", L"wide"), L"wide"},
      {"%ls", FormatWide(L"%ls", L"ls"), L"ls"},
      {"%ws", FormatWide(L"%ws", L"ws"), L"ws"},
      {"%hs narrow", FormatWide(L"%hs", "narrow"), L"narrow"},
      {"%S narrow", FormatWide(L"%S", "capital"), L"capital"},
      {"std::wstring", FormatWide(L"[%s]", std::wstring(L"owned")), L"[owned]"},
      {"wstring_view is not read past its end", FormatWide(L"[%s]", std::wstring_view(L"abcdef", 3)), L"[abc]"},
      {"std::string", FormatWide(L"%hs", std::string("bytes")), L"bytes"},
      {"UTF-8 narrow text", FormatWide(L"%hs", "caf\xC3\xA9"), L"caf\u00E9"},
      {"invalid UTF-8 byte stands for itself", FormatWide(L"%hs", "a\xFFz"), L"a\u00FFz"},
      {"narrow astral", FormatWide(L"%hs", "\xF0\x9F\x98\x80"), L"\U0001F600"},
      {"%c wide char", FormatWide(L"%c", L'Z'), L"Z"},
      {"%c of an int", FormatWide(L"%c", 65), L"A"},
      {"%hc", FormatWide(L"%hc", 'q'), L"q"},
      {"%p", FormatWide(L"%p", reinterpret_cast<void*>(std::uintptr_t{0x1234})), L"0000000000001234"},
      {"%p null", FormatWide(L"%p", nullptr), L"0000000000000000"},
      {"%X of a handle", FormatWide(L"%X", reinterpret_cast<HANDLE>(std::uintptr_t{0xAB})), L"AB"},
      {"%p of a local is not null", std::wstring(FormatWide(L"%p", &local) == L"0000000000000000" ? L"null" : L"ok"), L"ok"},
      {"%f", FormatWide(L"%f", 3.14159), L"3.141590"},
      {"%.2f", FormatWide(L"%.2f", 2.5), L"2.50"},
      {"%8.3f", FormatWide(L"%8.3f", -1.5), L"  -1.500"},
      {"%e", FormatWide(L"%e", 1234.5), L"1.234500e+03"},
      {"%f of an int", FormatWide(L"%.1f", 3), L"3.0"},
      {"%%", FormatWide(L"100%%"), L"100%"},
      {"enum", FormatWide(L"%d", std::byte{9}), L"9"},
  };
  ExpectAll(std::begin(cases), std::end(cases));
}

TEST(TraceFormat, FlagsWidthAndPrecision) {
  const FormatCase cases[] = {
      {"right", FormatWide(L"%5d|", 42), L"   42|"},
      {"left", FormatWide(L"%-5d|", 42), L"42   |"},
      {"zero", FormatWide(L"%05d", 42), L"00042"},
      {"zero after sign", FormatWide(L"%05d", -42), L"-0042"},
      {"zero ignored with left", FormatWide(L"%-05d|", 1), L"1    |"},
      {"precision digits", FormatWide(L"%.3d", 7), L"007"},
      {"plus", FormatWide(L"%+d %+d", 5, -5), L"+5 -5"},
      {"space", FormatWide(L"% d", 5), L" 5"},
      {"alternate hex", FormatWide(L"%#x %#X %#x", 255, 255, 0), L"0xff 0XFF 0"},
      {"alternate octal", FormatWide(L"%#o", 8), L"010"},
      {"star width", FormatWide(L"%*d|", 6, 42), L"    42|"},
      {"negative star width is left", FormatWide(L"%*d|", -4, 1), L"1   |"},
      {"most negative star width is clamped", FormatWide(L"%*d|", INT64_MIN, 1),
       L"1" + std::wstring(4095, L' ') + L"|"},
      {"star precision", FormatWide(L"%.*s", 3, L"abcdef"), L"abc"},
      {"negative star precision is none", FormatWide(L"%.*s", -1, L"abc"), L"abc"},
      {"string width", FormatWide(L"%8s|", L"ab"), L"      ab|"},
      {"agent name field", FormatWide(L"%-20s: ", L"CSnmpMibTree"), L"CSnmpMibTree        : "},
      {"string precision", FormatWide(L"%.2s", L"abcdef"), L"ab"},
      {"app name prefix", FormatWide(L"%-13s  ", L"Ferrowind_MIB"), L"Ferrowind_MIB  "},
      {"date prefix year", FormatWide(L"[%02u-%02u-%02u] ", WORD{2026}, WORD{3}, WORD{9}), L"[2026-03-09] "},
      {"time prefix", FormatWide(L"[%02u:%02u:%02u.%03u] ", 7, 5, 3, 9), L"[07:05:03.009] "},
      {"huge width is bounded", std::to_wstring(FormatWide(L"%999999999d", 1).size()), L"4096"},
  };
  ExpectAll(std::begin(cases), std::end(cases));
}

TEST(TraceFormat, BadFormatsAndArgumentsLeaveMarkers) {
  const wchar_t* nullWide = nullptr;
  const char* nullNarrow = nullptr;
  const FormatCase cases[] = {
      {"%s given an integer", FormatWide(L"[%s]", 42), L"[<?>]"},
      {"%d given a string", FormatWide(L"[%d]", L"text"), L"[<?>]"},
      {"%d given a double", FormatWide(L"[%d]", 1.5), L"[<?>]"},
      {"%c given a string", FormatWide(L"[%c]", L"x"), L"[<?>]"},
      {"%p given a string", FormatWide(L"[%p]", "x"), L"[<?>]"},
      {"%f given a string", FormatWide(L"[%f]", L"x"), L"[<?>]"},
      {"null wide string", FormatWide(L"[%s]", nullWide), L"[(null)]"},
      {"null narrow string", FormatWide(L"[%hs]", nullNarrow), L"[(null)]"},
      {"null string keeps its width", FormatWide(L"[%-8s]", nullWide), L"[(null)  ]"},
      {"too few arguments", FormatWide(L"%d and %d", 1), L"1 and <?>"},
      {"no arguments at all", FormatWide(L"%s|%d"), L"<?>|<?>"},
      {"star without argument", FormatWide(L"%*d|"), L"<?>|"},
      {"unknown conversion goes on", FormatWide(L"a%yb%d", 3), L"a<?>b3"},
      {"%n never writes", FormatWide(L"x%ny", 0), L"x<?>y"},
      {"lone percent at the end", FormatWide(L"abc%"), L"abc<?>"},
      {"dangling size prefix", FormatWide(L"abc%I64"), L"abc<?>"},
      {"extra arguments are ignored", FormatWide(L"%d", 1, 2, L"three"), L"1"},
  };
  ExpectAll(std::begin(cases), std::end(cases));
}

TEST(TraceFormat, NullFormatGivesEmptyText) {
  wchar_t buffer[8] = {L'x', L'x'};
  EXPECT_EQ(FormatTraceText(buffer, std::size(buffer), nullptr, {}), 0u);
  EXPECT_EQ(buffer[0], L'\0');
}

TEST(TraceFormat, BoundedBufferCountsTheWholeResult) {
  const TraceArg args[] = {TraceArg(L"abcdefgh")};
  struct Case {
    std::size_t capacity;
    std::wstring kept;
  } cases[] = {{0, L""}, {1, L""}, {5, L"abcd"}, {9, L"abcdefgh"}, {64, L"abcdefgh"}};
  for (const Case& c : cases) {
    wchar_t buffer[80];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    const std::size_t length = FormatTraceText(buffer, c.capacity, L"%s", args);
    EXPECT_EQ(length, 8u) << "capacity " << c.capacity;
    if (c.capacity > 0) {
      EXPECT_EQ(std::wstring(buffer), c.kept) << "capacity " << c.capacity;
    }
    EXPECT_EQ(buffer[c.capacity], L'#') << "wrote past capacity " << c.capacity;
  }
}

TEST(TraceFormat, LongTextsArriveWhole) {
  const std::wstring text(3000, L'w');
  const std::wstring result = FormatWide(L"<%s|%s>", text, text);
  EXPECT_EQ(result.size(), 2 * text.size() + 3);
  EXPECT_EQ(result, L"<" + text + L"|" + text + L">");
}

}  // namespace

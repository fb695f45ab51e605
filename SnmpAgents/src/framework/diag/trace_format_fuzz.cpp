// Any format string with any mix of arguments must format without reading or writing
// outside the given buffer, and the result must always be terminated.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "trace_format.h"

using fw::diag::TraceArg;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t capacity = data[0];
  std::wstring format;
  for (size_t i = 1; i + 1 < size; i += 2) format += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  static const wchar_t kWide[] = L"wide \x00e9";
  static const char kNarrow[] = "narrow";
  const int local = 0;
  const TraceArg args[] = {TraceArg(-42),
                           TraceArg(0xFFFFFFFFu),
                           TraceArg(kWide),
                           TraceArg(kNarrow),
                           TraceArg(static_cast<const wchar_t*>(nullptr)),
                           TraceArg(3.5),
                           TraceArg(&local),
                           TraceArg(static_cast<std::int64_t>(-1) << 63),
                           TraceArg(static_cast<unsigned char>('x'))};
  // One sentinel past the buffer catches writes beyond the capacity.
  std::wstring buffer(capacity + 1, L'#');
  const size_t length = fw::diag::FormatTraceText(buffer.data(), capacity, format.c_str(), args);
  if (capacity > 0 && buffer[std::min(length, capacity - 1)] != L'\0') std::abort();
  if (buffer[capacity] != L'#') std::abort();
  return 0;
}

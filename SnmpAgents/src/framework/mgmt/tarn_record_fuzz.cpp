// Fuzz target: any text read as a Tarn record is refused or reads back into the same
// record, and its attributes, data and byte form can be taken without a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tarn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each 2 bytes are one UTF-16 unit or one code point below 0x10000, so surrogates occur.
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  if (size % 2) text.push_back(static_cast<wchar_t>(data[size - 1]));
  Tarn record;
  if (!record.FromJson(text)) return 0;
  const std::wstring written = record.ToJson();
  Tarn back;
  if (!back.FromJson(written) || !(back == record)) std::abort();
  for (size_t i = 0; i < record.CommandCount(); ++i) {
    record.SelectCommand(i);
    (void)record.Status();
    (void)record.DataValue();
    (void)record.DataBytes();
    (void)record.IsGoodReply();
    (void)record.DataValue32();
    (void)record.DataText();
    // The data as JSON reads back as the same data.
    const std::wstring data = record.DataJson();
    Tarn copy = Tarn::WithCommand();
    if (!data.empty() && (!copy.SetDataJson(data) || copy.DataJson() != data)) std::abort();
  }
  return 0;
}

// The Tarn request record: a JSON document {"SIP":{"CMD":[{...}, ...]}} worked on one
// command at a time. A command carries "CA" cabinet, "OC" object code, "OE" code
// extension, "OI" object id, "MI" method id, "ST" status, "TO" timeout in seconds and
// "DA" data.
//
// Data in byte form (the "CmdRequest" data): {"RAW":[b, ...]} gives its bytes; a
// string gives its UTF-8 bytes and a zero byte; an array of strings each string so; a
// number its 32-bit little-endian bytes (64-bit when it does not fit).
// The data value (events, settings) is a number, a boolean, a string of decimal
// digits, or the little-endian value of at most 8 RAW bytes.
#pragma once

#include <windows.h>

#include <rapidjson/document.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

class Tarn {
 public:
  // The wide encoding follows the width of wchar_t: UTF-16 on Windows, UTF-32 here.
  using Encoding = std::conditional_t<sizeof(wchar_t) == 2, rapidjson::UTF16<wchar_t>, rapidjson::UTF32<wchar_t>>;
  using Document = rapidjson::GenericDocument<Encoding>;
  using Value = rapidjson::GenericValue<Encoding>;

  static constexpr LONG kStatusNotAnswered = 22;
  // Deeper nesting is refused: the writer recurses per level.
  static constexpr int kMaxDepth = 32;

  // An empty record: no command at all.
  Tarn();
  Tarn(const Tarn& other);
  Tarn& operator=(const Tarn& other);

  // A record with one empty command, selected.
  static Tarn WithCommand();

  // Replaces the record by the text's; false (record unchanged) for text that is not
  // JSON, nests too deep, or lacks the "SIP" object with a "CMD" array of objects.
  bool FromJson(std::wstring_view text);
  std::wstring ToJson() const;

  bool IsEmpty() const { return CommandCount() == 0; }
  size_t CommandCount() const;
  size_t CommandIndex() const { return m_index; }
  bool SelectCommand(size_t index);
  // Appends an empty command and selects it.
  size_t AddCommand();

  // Integer attributes of the current command; absent, non-integer or out of range
  // values read as missing.
  std::optional<int64_t> Number(const wchar_t* name) const;
  DWORD Get(const wchar_t* name, DWORD fallback = 0) const;
  void Set(const wchar_t* name, int64_t value);
  void Remove(const wchar_t* name);
  bool Has(const wchar_t* name) const;
  LONG Status() const { return static_cast<LONG>(Get(L"ST", kStatusNotAnswered)); }

  bool HasData() const;
  std::optional<int64_t> DataValue() const;
  // The data value when it fits 32 bits, signed or unsigned (an unsigned value above
  // 0x7FFFFFFF keeps its bits); nothing for any other data.
  std::optional<LONG> DataValue32() const;
  std::vector<uint8_t> DataBytes() const;
  // The data as text: a string as it stands, RAW bytes up to the first zero as UTF-8, a
  // number or boolean in decimal; nothing for other data.
  std::optional<std::wstring> DataText() const;
  void SetRawData(std::span<const uint8_t> bytes);
  void SetNumberData(int64_t value);
  void SetStringData(std::wstring_view text);
  // The data as JSON text (empty without data), and data from JSON text; false (data
  // unchanged) for text that is not one JSON value.
  std::wstring DataJson() const;
  bool SetDataJson(std::wstring_view json);

  // ST is 0, 12, 21 or 255 and the current command has data that is neither null nor
  // an empty string.
  bool IsGoodReply() const;

  bool operator==(const Tarn& other) const;

 private:
  Value* Command();
  const Value* Command() const;
  const Value* Data() const;
  void SetData(Value&& data);

  Document m_document;
  size_t m_index = 0;
};

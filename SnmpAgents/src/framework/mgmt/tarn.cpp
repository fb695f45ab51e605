#include "tarn.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <set>

#include "utf8_text.h"

namespace {

using Value = Tarn::Value;
using Document = Tarn::Document;

// Counts brackets outside strings; the parser then never sees deep input.
bool NestsWithin(std::wstring_view text, int limit) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (inString) {
      if (c == L'\\') {
        ++i;
      } else if (c == L'"') {
        inString = false;
      }
      continue;
    }
    if (c == L'"') inString = true;
    if (c == L'[' || c == L'{') {
      if (++depth > limit) return false;
    }
    if (c == L']' || c == L'}') --depth;
  }
  return true;
}

// A counted wide text as a RapidJSON input stream (the counted Parse of RapidJSON 1.1
// takes only narrow text).
class CountedWideStream {
 public:
  using Ch = wchar_t;
  explicit CountedWideStream(std::wstring_view text) : m_begin(text.data()), m_cur(text.data()), m_end(text.data() + text.size()) {}
  Ch Peek() const { return m_cur < m_end ? *m_cur : Ch(0); }
  Ch Take() { return m_cur < m_end ? *m_cur++ : Ch(0); }
  size_t Tell() const { return static_cast<size_t>(m_cur - m_begin); }
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

 private:
  const Ch* m_begin;
  const Ch* m_cur;
  const Ch* m_end;
};

// Reads fractions and exponents again from their text, rounded correctly, so that a
// number written back reads as the same value (RapidJSON 1.1 reads some doubles a
// little off; its full-precision mode misreads a zero mantissa and its raw-number mode
// garbles wide text). The reader hands a number on right after consuming its text.
template <class Handler>
class ExactNumbers {
 public:
  using Ch = wchar_t;
  ExactNumbers(Handler& next, std::wstring_view text, const CountedWideStream& stream)
      : m_next(next), m_text(text), m_stream(stream) {}
  bool Null() { return m_next.Null(); }
  bool Bool(bool value) { return m_next.Bool(value); }
  bool Int(int value) { return m_next.Int(value); }
  bool Uint(unsigned value) { return m_next.Uint(value); }
  bool Int64(int64_t value) { return m_next.Int64(value); }
  bool Uint64(uint64_t value) { return m_next.Uint64(value); }
  bool Double(double value) {
    const size_t end = std::min(m_stream.Tell(), m_text.size());
    size_t begin = end;
    while (begin > 0 && IsNumberChar(m_text[begin - 1])) --begin;
    std::string number;
    for (size_t i = begin; i < end; ++i) number.push_back(static_cast<char>(m_text[i]));
    double exact = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), exact);
    if (result.ec == std::errc() && result.ptr == number.data() + number.size()) value = exact;
    return m_next.Double(value);
  }
  bool RawNumber(const Ch*, rapidjson::SizeType, bool) { return false; }
  bool String(const Ch* text, rapidjson::SizeType length, bool copy) { return m_next.String(text, length, copy); }
  bool StartObject() { return m_next.StartObject(); }
  bool Key(const Ch* text, rapidjson::SizeType length, bool copy) { return m_next.Key(text, length, copy); }
  bool EndObject(rapidjson::SizeType members) { return m_next.EndObject(members); }
  bool StartArray() { return m_next.StartArray(); }
  bool EndArray(rapidjson::SizeType elements) { return m_next.EndArray(elements); }

 private:
  static bool IsNumberChar(wchar_t c) {
    return (c >= L'0' && c <= L'9') || c == L'.' || c == L'e' || c == L'E' || c == L'+' || c == L'-';
  }
  Handler& m_next;
  std::wstring_view m_text;
  const CountedWideStream& m_stream;
};

// Parses the text into the document that Populate hands over.
struct ExactParse {
  std::wstring_view text;
  bool parsed = false;
  template <class Handler>
  bool operator()(Handler& document) {
    CountedWideStream stream(text);
    ExactNumbers<Handler> handler(document, text, stream);
    rapidjson::GenericReader<Tarn::Encoding, Tarn::Encoding> reader;
    constexpr unsigned kFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
    parsed = !reader.Parse<kFlags>(stream, handler).IsError();
    return parsed;
  }
};

// A member named twice is ambiguous (lookups find the first): such text is refused.
bool HasDuplicateNames(const Value& value) {
  if (value.IsArray()) {
    for (const auto& element : value.GetArray()) {
      if (HasDuplicateNames(element)) return true;
    }
    return false;
  }
  if (!value.IsObject()) return false;
  std::set<std::wstring_view> names;
  for (auto member = value.MemberBegin(); member != value.MemberEnd(); ++member) {
    if (!names.insert(std::wstring_view(member->name.GetString(), member->name.GetStringLength())).second) return true;
    if (HasDuplicateNames(member->value)) return true;
  }
  return false;
}

bool IsRecord(const Document& document) {
  if (!document.IsObject()) return false;
  auto sip = document.FindMember(L"SIP");
  if (sip == document.MemberEnd() || !sip->value.IsObject()) return false;
  auto cmd = sip->value.FindMember(L"CMD");
  if (cmd == sip->value.MemberEnd() || !cmd->value.IsArray()) return false;
  for (const auto& command : cmd->value.GetArray()) {
    if (!command.IsObject()) return false;
  }
  return true;
}

std::optional<int64_t> IntegerOf(const Value& value) {
  if (value.IsInt64()) return value.GetInt64();
  if (value.IsUint64()) return static_cast<int64_t>(value.GetUint64());  // all bits kept
  if (value.IsBool()) return value.GetBool() ? 1 : 0;
  return std::nullopt;
}

void AppendNarrow(std::vector<uint8_t>& bytes, const Value& text) {
  const std::string utf8 = Utf8FromWide(std::wstring_view(text.GetString(), text.GetStringLength()));
  bytes.insert(bytes.end(), utf8.begin(), utf8.end());
  bytes.push_back(0);
}

}  // namespace

Tarn::Tarn() { m_document.SetObject(); }

Tarn::Tarn(const Tarn& other) : m_index(other.m_index) { m_document.CopyFrom(other.m_document, m_document.GetAllocator()); }

Tarn& Tarn::operator=(const Tarn& other) {
  if (this == &other) return *this;
  Document copy;
  copy.CopyFrom(other.m_document, copy.GetAllocator());
  m_document.Swap(copy);
  m_index = other.m_index;
  return *this;
}

Tarn Tarn::WithCommand() {
  Tarn record;
  record.AddCommand();
  return record;
}

bool Tarn::FromJson(std::wstring_view text) {
  // A zero would end the parser's input early; JSON text never holds one.
  if (text.find(L'\0') != std::wstring_view::npos || !NestsWithin(text, kMaxDepth)) return false;
  Document parsed;
  ExactParse parse{text};
  parsed.Populate(parse);
  if (!parse.parsed || !IsRecord(parsed) || HasDuplicateNames(parsed)) return false;
  m_document.Swap(parsed);
  m_index = 0;
  return true;
}

std::wstring Tarn::ToJson() const {
  rapidjson::GenericStringBuffer<Encoding> buffer;
  rapidjson::Writer<rapidjson::GenericStringBuffer<Encoding>, Encoding, Encoding> writer(buffer);
  m_document.Accept(writer);
  return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(Encoding::Ch));
}

size_t Tarn::CommandCount() const {
  if (!IsRecord(m_document)) return 0;
  return m_document.FindMember(L"SIP")->value.FindMember(L"CMD")->value.Size();
}

bool Tarn::SelectCommand(size_t index) {
  if (index >= CommandCount()) return false;
  m_index = index;
  return true;
}

size_t Tarn::AddCommand() {
  auto& allocator = m_document.GetAllocator();
  if (!IsRecord(m_document)) {
    m_document.SetObject();
    Value sip(rapidjson::kObjectType);
    sip.AddMember(L"CMD", Value(rapidjson::kArrayType), allocator);
    m_document.AddMember(L"SIP", sip, allocator);
  }
  auto& commands = m_document.FindMember(L"SIP")->value.FindMember(L"CMD")->value;
  commands.PushBack(Value(rapidjson::kObjectType), allocator);
  m_index = commands.Size() - 1;
  return m_index;
}

Value* Tarn::Command() {
  if (m_index >= CommandCount()) return nullptr;
  return &m_document.FindMember(L"SIP")->value.FindMember(L"CMD")->value[static_cast<rapidjson::SizeType>(m_index)];
}

const Value* Tarn::Command() const { return const_cast<Tarn*>(this)->Command(); }

std::optional<int64_t> Tarn::Number(const wchar_t* name) const {
  const Value* command = Command();
  if (!command) return std::nullopt;
  auto member = command->FindMember(name);
  if (member == command->MemberEnd()) return std::nullopt;
  return IntegerOf(member->value);
}

DWORD Tarn::Get(const wchar_t* name, DWORD fallback) const {
  const auto number = Number(name);
  return number ? static_cast<DWORD>(*number) : fallback;
}

void Tarn::Set(const wchar_t* name, int64_t value) {
  if (!Command()) AddCommand();
  Value* command = Command();
  auto& allocator = m_document.GetAllocator();
  if (command->HasMember(name)) {
    (*command)[name].SetInt64(value);
    return;
  }
  command->AddMember(Value(name, allocator), Value(static_cast<int64_t>(value)), allocator);
}

void Tarn::Remove(const wchar_t* name) {
  if (Value* command = Command()) command->RemoveMember(name);
}

bool Tarn::Has(const wchar_t* name) const {
  const Value* command = Command();
  return command && command->FindMember(name) != command->MemberEnd();
}

const Value* Tarn::Data() const {
  const Value* command = Command();
  if (!command) return nullptr;
  auto member = command->FindMember(L"DA");
  return member == command->MemberEnd() ? nullptr : &member->value;
}

bool Tarn::HasData() const { return Data() != nullptr; }

std::optional<int64_t> Tarn::DataValue() const {
  const Value* data = Data();
  if (!data) return std::nullopt;
  if (auto number = IntegerOf(*data)) return number;
  if (data->IsString()) {
    const std::wstring_view text(data->GetString(), data->GetStringLength());
    if (text.empty() || text.size() > 19) return std::nullopt;
    int64_t value = 0;
    for (wchar_t c : text) {
      if (c < L'0' || c > L'9') return std::nullopt;
      value = value * 10 + (c - L'0');
    }
    return value;
  }
  const std::vector<uint8_t> bytes = data->IsObject() ? DataBytes() : std::vector<uint8_t>();
  if (bytes.empty() || bytes.size() > 8) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < bytes.size(); ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  return static_cast<int64_t>(value);
}

std::optional<LONG> Tarn::DataValue32() const {
  const Value* data = Data();
  if (!data) return std::nullopt;
  // DataValue reads a number above the signed 64-bit range as negative: such a number
  // is out of range here, not a small negative one.
  if (data->IsNumber() && !data->IsInt64()) return std::nullopt;
  const auto value = DataValue();
  if (value && data->IsObject() && *value < 0) return std::nullopt;  // RAW bytes are unsigned
  if (!value || *value < std::numeric_limits<int32_t>::min() || *value > std::numeric_limits<uint32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<LONG>(static_cast<uint32_t>(*value));
}

std::vector<uint8_t> Tarn::DataBytes() const {
  std::vector<uint8_t> bytes;
  const Value* data = Data();
  if (!data) return bytes;
  if (data->IsObject()) {
    auto raw = data->FindMember(L"RAW");
    if (raw == data->MemberEnd() || !raw->value.IsArray()) return bytes;
    for (const auto& element : raw->value.GetArray()) {
      if (element.IsUint()) bytes.push_back(static_cast<uint8_t>(element.GetUint()));
    }
    return bytes;
  }
  if (data->IsString()) {
    AppendNarrow(bytes, *data);
    return bytes;
  }
  if (data->IsArray()) {
    for (const auto& element : data->GetArray()) {
      if (element.IsString()) AppendNarrow(bytes, element);
    }
    return bytes;
  }
  if (const auto number = IntegerOf(*data)) {
    const bool wide = *number < std::numeric_limits<int32_t>::min() || *number > std::numeric_limits<uint32_t>::max();
    const uint64_t bits = static_cast<uint64_t>(*number);
    for (size_t i = 0; i < (wide ? 8u : 4u); ++i) bytes.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
  return bytes;
}

std::optional<std::wstring> Tarn::DataText() const {
  const Value* data = Data();
  if (!data) return std::nullopt;
  if (data->IsString()) return std::wstring(data->GetString(), data->GetStringLength());
  if (const auto number = IntegerOf(*data)) return std::to_wstring(*number);
  if (!data->IsObject() || !data->HasMember(L"RAW")) return std::nullopt;
  const std::vector<uint8_t> bytes = DataBytes();
  const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
  const int length = static_cast<int>(end - bytes.begin());
  if (length == 0) return std::wstring();
  return WideFromUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(length)));
}

void Tarn::SetData(Value&& data) {
  if (!Command()) AddCommand();
  Value* command = Command();
  auto& allocator = m_document.GetAllocator();
  if (command->HasMember(L"DA")) {
    (*command)[L"DA"] = data;
    return;
  }
  command->AddMember(L"DA", data, allocator);
}

void Tarn::SetRawData(std::span<const uint8_t> bytes) {
  auto& allocator = m_document.GetAllocator();
  Value raw(rapidjson::kArrayType);
  raw.Reserve(static_cast<rapidjson::SizeType>(bytes.size()), allocator);
  for (uint8_t byte : bytes) raw.PushBack(Value(static_cast<unsigned>(byte)), allocator);
  Value data(rapidjson::kObjectType);
  data.AddMember(L"RAW", raw, allocator);
  SetData(std::move(data));
}

void Tarn::SetNumberData(int64_t value) { SetData(Value(static_cast<int64_t>(value))); }

void Tarn::SetStringData(std::wstring_view text) {
  SetData(Value(text.data(), static_cast<rapidjson::SizeType>(text.size()), m_document.GetAllocator()));
}

std::wstring Tarn::DataJson() const {
  const Value* data = Data();
  if (!data) return std::wstring();
  rapidjson::GenericStringBuffer<Encoding> buffer;
  rapidjson::Writer<rapidjson::GenericStringBuffer<Encoding>, Encoding, Encoding> writer(buffer);
  data->Accept(writer);
  return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(Encoding::Ch));
}

bool Tarn::SetDataJson(std::wstring_view json) {
  // Parsed as the data of a record, so that it passes the same checks as a whole record.
  Tarn holder;
  if (!holder.FromJson(L"{\"SIP\":{\"CMD\":[{\"DA\":" + std::wstring(json) + L"}]}}") || holder.CommandCount() != 1 ||
      holder.Command()->MemberCount() != 1) {
    return false;
  }
  Value copy(*holder.Data(), m_document.GetAllocator());
  SetData(std::move(copy));
  return true;
}

bool Tarn::IsGoodReply() const {
  const LONG status = Status();
  if (status != 0 && status != 12 && status != 21 && status != 255) return false;
  const Value* data = Data();
  if (!data || data->IsNull()) return false;
  return !(data->IsString() && data->GetStringLength() == 0);
}

bool Tarn::operator==(const Tarn& other) const { return m_index == other.m_index && m_document == other.m_document; }

#include "property_list.h"

#include <cstring>

#include "wide_text.h"

namespace winapi::clusprop {

namespace {

constexpr std::size_t kHeader = sizeof(DWORD) * 2;  // syntax and length

DWORD ReadDword(const BYTE* at) {
  DWORD value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void AppendDword(std::vector<BYTE>& out, DWORD value) {
  const auto* bytes = reinterpret_cast<const BYTE*>(&value);
  out.insert(out.end(), bytes, bytes + sizeof value);
}

std::wstring Terminated(std::wstring_view text) {
  std::wstring copy(text);
  copy.push_back(L'\0');
  return copy;
}

// Walks one entry: syntax, length and padded data, all inside the buffer.
class Cursor {
 public:
  Cursor(const BYTE* data, std::size_t size) : data_(data), size_(size) {}

  bool ReadCount(DWORD& count) {
    if (size_ - offset_ < sizeof(DWORD)) return false;
    count = ReadDword(data_ + offset_);
    offset_ += sizeof(DWORD);
    return true;
  }

  // An end mark is a bare syntax word; every other entry has a length and data.
  bool Next(PropertyValue& entry) {
    if (size_ - offset_ < sizeof(DWORD)) return false;
    entry.syntax = ReadDword(data_ + offset_);
    if (entry.syntax == CLUSPROP_SYNTAX_ENDMARK) {
      offset_ += sizeof(DWORD);
      entry.data = nullptr;
      entry.length = 0;
      return true;
    }
    if (size_ - offset_ < kHeader) return false;
    entry.length = ReadDword(data_ + offset_ + sizeof(DWORD));
    const std::size_t padded = ALIGN_CLUSPROP(static_cast<std::size_t>(entry.length));
    if (size_ - offset_ - kHeader < padded) return false;
    entry.data = data_ + offset_ + kHeader;
    offset_ += kHeader + padded;
    return true;
  }

 private:
  const BYTE* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

bool IsWholeCharacters(const PropertyValue& value) {
  return value.length >= sizeof(WCHAR) && value.length % sizeof(WCHAR) == 0;
}

WCHAR CharAt(const PropertyValue& value, std::size_t index) {
  WCHAR c = 0;
  std::memcpy(&c, value.data + index * sizeof(WCHAR), sizeof c);
  return c;
}

}  // namespace

void PropertyListWriter::AddValue(DWORD syntax, const void* data, std::size_t size) {
  AppendDword(body_, syntax);
  AppendDword(body_, static_cast<DWORD>(size));
  const auto* bytes = static_cast<const BYTE*>(data);
  body_.insert(body_.end(), bytes, bytes + size);
  body_.resize(body_.size() + (ALIGN_CLUSPROP(size) - size), 0);
}

void PropertyListWriter::AddName(std::wstring_view name) {
  const std::wstring terminated = Terminated(name);
  AddValue(CLUSPROP_SYNTAX_NAME, terminated.data(), terminated.size() * sizeof(WCHAR));
  ++count_;
}

void PropertyListWriter::AddText(DWORD syntax, std::wstring_view name, const std::wstring& terminated) {
  AddName(name);
  AddValue(syntax, terminated.data(), terminated.size() * sizeof(WCHAR));
  AppendDword(body_, CLUSPROP_SYNTAX_ENDMARK);
}

void PropertyListWriter::AddDword(std::wstring_view name, DWORD value) {
  AddName(name);
  AddValue(CLUSPROP_SYNTAX_LIST_VALUE_DWORD, &value, sizeof value);
  AppendDword(body_, CLUSPROP_SYNTAX_ENDMARK);
}

void PropertyListWriter::AddLong(std::wstring_view name, LONG value) {
  AddName(name);
  AddValue(CLUSPROP_SYNTAX_LIST_VALUE_LONG, &value, sizeof value);
  AppendDword(body_, CLUSPROP_SYNTAX_ENDMARK);
}

void PropertyListWriter::AddULargeInteger(std::wstring_view name, ULONGLONG value) {
  AddName(name);
  AddValue(CLUSPROP_SYNTAX_LIST_VALUE_ULARGE_INTEGER, &value, sizeof value);
  AppendDword(body_, CLUSPROP_SYNTAX_ENDMARK);
}

void PropertyListWriter::AddSz(std::wstring_view name, std::wstring_view value) {
  AddText(CLUSPROP_SYNTAX_LIST_VALUE_SZ, name, Terminated(value));
}

void PropertyListWriter::AddExpandSz(std::wstring_view name, std::wstring_view value) {
  AddText(CLUSPROP_SYNTAX_LIST_VALUE_EXPAND_SZ, name, Terminated(value));
}

void PropertyListWriter::AddMultiSz(std::wstring_view name, const std::vector<std::wstring>& values) {
  std::wstring block;
  for (const auto& value : values) block += Terminated(value);
  block.push_back(L'\0');
  AddText(CLUSPROP_SYNTAX_LIST_VALUE_MULTI_SZ, name, block);
}

void PropertyListWriter::AddBinary(std::wstring_view name, const std::vector<BYTE>& value) {
  AddName(name);
  AddValue(CLUSPROP_SYNTAX_LIST_VALUE_BINARY, value.data(), value.size());
  AppendDword(body_, CLUSPROP_SYNTAX_ENDMARK);
}

std::vector<BYTE> PropertyListWriter::Bytes() const {
  std::vector<BYTE> list;
  list.reserve(sizeof(DWORD) + body_.size());
  AppendDword(list, count_);
  list.insert(list.end(), body_.begin(), body_.end());
  return list;
}

bool ReadText(const PropertyValue& value, std::wstring& text) {
  if (!IsWholeCharacters(value)) return false;
  const std::size_t units = value.length / sizeof(WCHAR);
  std::wstring result;
  for (std::size_t i = 0; i < units; ++i) {
    const WCHAR c = CharAt(value, i);
    if (c == L'\0') {
      text = std::move(result);
      return true;
    }
    result.push_back(c);
  }
  return false;
}

bool ReadMultiText(const PropertyValue& value, std::vector<std::wstring>& strings) {
  if (!IsWholeCharacters(value)) return false;
  const std::size_t units = value.length / sizeof(WCHAR);
  if (CharAt(value, units - 1) != L'\0') return false;
  std::vector<std::wstring> result;
  std::wstring current;
  for (std::size_t i = 0; i < units; ++i) {
    const WCHAR c = CharAt(value, i);
    if (c != L'\0') {
      current.push_back(c);
      continue;
    }
    if (current.empty()) break;  // the closing empty string
    result.push_back(std::move(current));
    current.clear();
  }
  strings = std::move(result);
  return true;
}

DWORD FindProperty(const void* list, std::size_t size, std::wstring_view name, PropertyValue& value) {
  if (!list) return ERROR_INVALID_DATA;
  Cursor cursor(static_cast<const BYTE*>(list), size);
  DWORD count = 0;
  if (!cursor.ReadCount(count)) return ERROR_INVALID_DATA;
  for (DWORD i = 0; i < count; ++i) {
    PropertyValue entry;
    if (!cursor.Next(entry) || entry.syntax != CLUSPROP_SYNTAX_NAME) return ERROR_INVALID_DATA;
    std::wstring entryName;
    if (!ReadText(entry, entryName)) return ERROR_INVALID_DATA;
    PropertyValue first;
    bool haveFirst = false;
    for (;;) {
      PropertyValue item;
      if (!cursor.Next(item)) return ERROR_INVALID_DATA;
      if (item.syntax == CLUSPROP_SYNTAX_ENDMARK) break;
      if (item.syntax == CLUSPROP_SYNTAX_NAME) return ERROR_INVALID_DATA;  // end mark missing
      if (!haveFirst) {
        first = item;
        haveFirst = true;
      }
    }
    if (!haveFirst) return ERROR_INVALID_DATA;
    if (EqualsNoCase(entryName, name)) {
      value = first;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

}  // namespace winapi::clusprop

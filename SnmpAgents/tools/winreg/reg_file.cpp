#include "reg_file.h"

#include <cstdio>
#include <cwctype>

namespace winreg {
namespace {

constexpr const wchar_t* kHeader = L"Windows Registry Editor Version 5.00";
constexpr const wchar_t* kOldHeader = L"REGEDIT4";
constexpr size_t kLineWidth = 80;

std::wstring DecodeFile(const std::string& bytes) {
  const auto* p = reinterpret_cast<const BYTE*>(bytes.data());
  if (bytes.size() >= 2 && p[0] == 0xFF && p[1] == 0xFE) return WideFromUtf16Le(p + 2, bytes.size() - 2);
  if (bytes.size() >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return WideFromUtf8(bytes.substr(3));
  return WideFromUtf8(bytes);
}

std::wstring_view Trim(std::wstring_view text) {
  while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\t' || text.back() == L'\r')) {
    text.remove_suffix(1);
  }
  return text;
}

struct LogicalLine {
  std::wstring text;
  int number;  // of its first physical line
};

// Physical lines ending in a backslash continue on the next one (hex data).
std::vector<LogicalLine> LogicalLines(const std::wstring& text) {
  std::vector<LogicalLine> lines;
  size_t start = 0;
  int number = 0;
  bool continuing = false;
  while (start <= text.size()) {
    const auto end = text.find(L'\n', start);
    std::wstring_view line = Trim(std::wstring_view(text).substr(start, end == std::wstring::npos ? end : end - start));
    ++number;
    if (continuing) {
      lines.back().text += line;
    } else {
      lines.push_back({std::wstring(line), number});
    }
    continuing = !lines.back().text.empty() && lines.back().text.back() == L'\\';
    if (continuing) lines.back().text.pop_back();
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return lines;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Parses one value line at a time; messages name what is wrong.
class ValueLineParser {
 public:
  explicit ValueLineParser(std::wstring_view line) : rest_(line) {}

  bool Parse(RegOperation& operation, std::wstring& error) {
    if (!ParseName(operation.value.name, error)) return false;
    SkipSpaces();
    if (!Take(L'=')) return Fail(error, L"expected '=' after the value name");
    SkipSpaces();
    if (Take(L'-')) {
      operation.kind = RegOperation::Kind::DeleteValue;
      return AtEnd(error);
    }
    operation.kind = RegOperation::Kind::SetValue;
    if (rest_.starts_with(L'"')) {
      std::wstring text;
      if (!ParseQuoted(text, error)) return false;
      operation.value.type = REG_SZ;
      operation.value.data = ApiBytes(text + L'\0');
      return AtEnd(error);
    }
    if (TakeWord(L"dword:")) return ParseDword(operation.value, error);
    DWORD type = REG_BINARY;
    if (TakeWord(L"hex(")) {
      if (!ParseHexNumber(type) || !Take(L')')) return Fail(error, L"invalid type in hex(...)");
      if (!Take(L':')) return Fail(error, L"expected ':' after hex(...)");
    } else if (!TakeWord(L"hex:")) {
      return Fail(error, L"unknown value type: " + std::wstring(rest_.substr(0, rest_.find(L':'))));
    }
    Bytes bytes;
    if (!ParseBytes(bytes, error)) return false;
    operation.value.type = type;
    // Strings given as hex are UTF-16 LE in the file and WCHAR at the API.
    operation.value.data = IsStringType(type) || type == REG_LINK
                               ? ApiBytes(WideFromUtf16Le(bytes.data(), bytes.size()))
                               : bytes;
    return true;
  }

 private:
  bool Fail(std::wstring& error, const std::wstring& message) {
    error = message;
    return false;
  }
  void SkipSpaces() {
    while (!rest_.empty() && (rest_.front() == L' ' || rest_.front() == L'\t')) rest_.remove_prefix(1);
  }
  bool Take(wchar_t c) {
    if (rest_.empty() || rest_.front() != c) return false;
    rest_.remove_prefix(1);
    return true;
  }
  bool TakeWord(std::wstring_view word) {
    if (rest_.size() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      if (static_cast<wchar_t>(std::towlower(static_cast<wint_t>(rest_[i]))) != word[i]) return false;
    }
    rest_.remove_prefix(word.size());
    return true;
  }
  bool AtEnd(std::wstring& error) {
    SkipSpaces();
    if (rest_.empty() || rest_.front() == L';') return true;
    return Fail(error, L"unexpected text after the value: " + std::wstring(rest_));
  }
  bool ParseName(std::wstring& name, std::wstring& error) {
    if (Take(L'@')) {
      name.clear();
      return true;
    }
    if (!rest_.starts_with(L'"')) return Fail(error, L"a value line starts with \"name\" or @");
    return ParseQuoted(name, error);
  }
  // "text" with \\ and \" escapes.
  bool ParseQuoted(std::wstring& text, std::wstring& error) {
    Take(L'"');
    text.clear();
    while (!rest_.empty()) {
      const wchar_t c = rest_.front();
      rest_.remove_prefix(1);
      if (c == L'"') return true;
      if (c == L'\\' && !rest_.empty() && (rest_.front() == L'\\' || rest_.front() == L'"')) {
        text += rest_.front();
        rest_.remove_prefix(1);
        continue;
      }
      text += c;
    }
    return Fail(error, L"missing closing quote");
  }
  bool ParseHexNumber(DWORD& number) {
    number = 0;
    int digits = 0;
    while (!rest_.empty() && HexDigit(rest_.front()) >= 0 && digits < 8) {
      number = number << 4 | static_cast<DWORD>(HexDigit(rest_.front()));
      rest_.remove_prefix(1);
      ++digits;
    }
    return digits > 0;
  }
  bool ParseDword(Value& value, std::wstring& error) {
    DWORD number = 0;
    if (!ParseHexNumber(number) || (!rest_.empty() && HexDigit(rest_.front()) >= 0)) {
      return Fail(error, L"dword: takes one to eight hexadecimal digits");
    }
    value.type = REG_DWORD;
    value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
                  static_cast<BYTE>(number >> 24)};
    return AtEnd(error);
  }
  // Comma-separated byte pairs; a trailing comma is allowed.
  bool ParseBytes(Bytes& bytes, std::wstring& error) {
    for (;;) {
      SkipSpaces();
      if (rest_.empty() || rest_.front() == L';') return true;
      if (rest_.size() < 2 || HexDigit(rest_[0]) < 0 || HexDigit(rest_[1]) < 0) {
        return Fail(error, L"invalid hex byte: " + std::wstring(rest_.substr(0, 8)));
      }
      bytes.push_back(static_cast<BYTE>(HexDigit(rest_[0]) << 4 | HexDigit(rest_[1])));
      rest_.remove_prefix(2);
      SkipSpaces();
      if (rest_.empty() || rest_.front() == L';') return true;
      if (!Take(L',')) return Fail(error, L"expected ',' between hex bytes");
    }
  }

  std::wstring_view rest_;
};

std::wstring Escaped(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') out += L'\\';
    out += c;
  }
  return out;
}

// name=hex(...):xx,xx,... wrapped at 80 columns with "\" and a two-space indent.
void AppendHexValue(std::wstring& out, const std::wstring& prefix, const Bytes& bytes) {
  std::wstring line = prefix;
  for (size_t i = 0; i < bytes.size(); ++i) {
    wchar_t pair[4];
    std::swprintf(pair, 4, L"%02x", bytes[i]);
    std::wstring item = pair;
    if (i + 1 < bytes.size()) item += L',';
    if (line.size() + item.size() + 1 > kLineWidth - 1) {
      out += line + L"\\\r\n";
      line = L"  ";
    }
    line += item;
  }
  out += line + L"\r\n";
}

void AppendValue(std::wstring& out, const Value& value) {
  const std::wstring name = value.name.empty() ? L"@" : L"\"" + Escaped(value.name) + L"\"";
  if (value.type == REG_SZ) {
    std::wstring text = WideFromApi(value.data);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    if (text.find(L'\0') == std::wstring::npos) {
      out += name + L"=\"" + Escaped(text) + L"\"\r\n";
      return;
    }
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    wchar_t text[16];
    std::swprintf(text, 16, L"dword:%08x",
                  static_cast<unsigned>(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                        static_cast<unsigned>(value.data[3]) << 24));
    out += name + L"=" + text + L"\r\n";
    return;
  }
  const Bytes bytes = IsStringType(value.type) ? Utf16LeBytes(WideFromApi(value.data)) : value.data;
  if (value.type == REG_BINARY) {
    AppendHexValue(out, name + L"=hex:", bytes);
    return;
  }
  wchar_t type[16];
  std::swprintf(type, 16, L"%x", static_cast<unsigned>(value.type));
  AppendHexValue(out, name + L"=hex(" + type + L"):", bytes);
}

}  // namespace

bool ParseRegFile(const std::string& bytes, std::vector<RegOperation>& operations, ParseError& error) {
  operations.clear();
  const std::vector<LogicalLine> lines = LogicalLines(DecodeFile(bytes));
  bool sawHeader = false;
  bool inKey = false;
  KeyPath current;
  for (const auto& line : lines) {
    const std::wstring& text = line.text;
    if (text.empty() || text.front() == L';') continue;
    if (!sawHeader) {
      if (text != kHeader && text != kOldHeader) {
        error = {line.number, L"not a registry file: the first line must be \"" + std::wstring(kHeader) + L"\""};
        return false;
      }
      sawHeader = true;
      continue;
    }
    if (text.front() == L'[') {
      if (text.back() != L']') {
        error = {line.number, L"a key line must end with ']'"};
        return false;
      }
      const bool remove = text.size() > 1 && text[1] == L'-';
      const std::wstring path = text.substr(remove ? 2 : 1, text.size() - (remove ? 3 : 2));
      KeyPath key;
      if (!ParseKeyPath(path, key) || key.subKey.empty()) {
        error = {line.number, L"invalid key name: " + path};
        return false;
      }
      RegOperation operation;
      operation.kind = remove ? RegOperation::Kind::DeleteKey : RegOperation::Kind::CreateKey;
      operation.key = key;
      operation.line = line.number;
      operations.push_back(operation);
      inKey = !remove;
      current = key;
      continue;
    }
    if (!inKey) {
      error = {line.number, L"a value must follow a [key] line"};
      return false;
    }
    RegOperation operation;
    operation.key = current;
    operation.line = line.number;
    std::wstring message;
    if (!ValueLineParser(text).Parse(operation, message)) {
      error = {line.number, message};
      return false;
    }
    operations.push_back(operation);
  }
  if (!sawHeader) {
    error = {1, L"not a registry file: the first line must be \"" + std::wstring(kHeader) + L"\""};
    return false;
  }
  return true;
}

std::string FormatRegFile(const std::vector<ExportedKey>& keys) {
  std::wstring text = std::wstring(kHeader) + L"\r\n\r\n";
  for (const auto& key : keys) {
    text += L"[" + key.path + L"]\r\n";
    for (const auto& value : key.values) AppendValue(text, value);
    text += L"\r\n";
  }
  const Bytes bytes = Utf16LeBytes(text);
  return std::string("\xFF\xFE", 2) + std::string(bytes.begin(), bytes.end());
}

}  // namespace winreg

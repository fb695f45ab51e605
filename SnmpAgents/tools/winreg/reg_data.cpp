#include "reg_data.h"

#include <cstdio>
#include <cstring>
#include <cwctype>

namespace winreg {
namespace {

struct RootName {
  const wchar_t* shortName;
  const wchar_t* longName;
  HKEY root;
};

const RootName kRoots[] = {
    {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {L"HKU", L"HKEY_USERS", HKEY_USERS},
    {L"HKCC", L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

struct TypeEntry {
  DWORD type;
  const wchar_t* name;
};

const TypeEntry kTypes[] = {
    {REG_NONE, L"REG_NONE"},         {REG_SZ, L"REG_SZ"},       {REG_EXPAND_SZ, L"REG_EXPAND_SZ"},
    {REG_BINARY, L"REG_BINARY"},     {REG_DWORD, L"REG_DWORD"}, {REG_DWORD_BIG_ENDIAN, L"REG_DWORD_BIG_ENDIAN"},
    {REG_MULTI_SZ, L"REG_MULTI_SZ"}, {REG_QWORD, L"REG_QWORD"},
};

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i]))) return false;
  }
  return true;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Decimal, or hexadecimal after 0x; no sign, no overflow beyond max.
bool ParseNumber(std::wstring_view text, unsigned long long max, unsigned long long& value) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  value = 0;
  for (wchar_t c : text) {
    const int digit = HexDigit(c);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
    if (value > (max - static_cast<unsigned>(digit)) / base) return false;
    value = value * base + static_cast<unsigned>(digit);
  }
  return true;
}

Bytes LittleEndian(unsigned long long value, size_t size) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(value >> (8 * i));
  return data;
}

std::wstring HexBytes(const Bytes& data) {
  std::wstring text;
  for (BYTE b : data) {
    wchar_t pair[3];
    std::swprintf(pair, 3, L"%02X", b);
    text += pair;
  }
  return text;
}

}  // namespace

bool ParseKeyPath(std::wstring_view text, KeyPath& path) {
  const auto slash = text.find(L'\\');
  const std::wstring_view rootText = text.substr(0, slash);
  std::wstring_view rest = slash == std::wstring_view::npos ? std::wstring_view() : text.substr(slash + 1);
  while (!rest.empty() && rest.back() == L'\\') rest.remove_suffix(1);
  for (const auto& entry : kRoots) {
    if (EqualsNoCase(rootText, entry.shortName) || EqualsNoCase(rootText, entry.longName)) {
      path = KeyPath{entry.root, entry.longName, std::wstring(rest)};
      return true;
    }
  }
  return false;
}

bool TypeFromName(std::wstring_view name, DWORD& type) {
  for (const auto& entry : kTypes) {
    if (EqualsNoCase(name, entry.name)) {
      type = entry.type;
      return true;
    }
  }
  return false;
}

std::wstring TypeName(DWORD type) {
  for (const auto& entry : kTypes) {
    if (entry.type == type) return entry.name;
  }
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%X", static_cast<unsigned>(type));
  return text;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

Bytes ApiBytes(std::wstring_view text) {
  const auto* p = reinterpret_cast<const BYTE*>(text.data());
  return Bytes(p, p + text.size() * sizeof(WCHAR));
}

std::wstring WideFromApi(const Bytes& data) {
  std::wstring text(data.size() / sizeof(WCHAR), L'\0');
  std::memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
  return text;
}

Bytes Utf16LeBytes(std::wstring_view text) {
  Bytes bytes;
  auto unit = [&](unsigned u) {
    bytes.push_back(static_cast<BYTE>(u & 0xff));
    bytes.push_back(static_cast<BYTE>(u >> 8));
  };
  for (wchar_t w : text) {
    auto c = static_cast<unsigned long>(w);
    if (c >= 0x10000 && c < 0x110000) {
      c -= 0x10000;
      unit(0xD800 + static_cast<unsigned>(c >> 10));
      unit(0xDC00 + static_cast<unsigned>(c & 0x3FF));
    } else {
      unit(static_cast<unsigned>(c & 0xffff));
    }
  }
  return bytes;
}

std::wstring WideFromUtf16Le(const BYTE* bytes, size_t size) {
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    unsigned c = bytes[i] | bytes[i + 1] << 8;
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < size) {
      const unsigned low = bytes[i + 2] | bytes[i + 3] << 8;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    text += static_cast<wchar_t>(c);
  }
  return text;
}

std::wstring QueryText(const Value& value) {
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::wstring text = WideFromApi(value.data);
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      return text;
    }
    case REG_MULTI_SZ: {
      std::wstring text = WideFromApi(value.data);
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      std::wstring joined;
      for (wchar_t c : text) joined += c == L'\0' ? std::wstring(L"\\0") : std::wstring(1, c);
      return joined;
    }
    case REG_DWORD:
    case REG_QWORD: {
      if (value.data.size() != (value.type == REG_DWORD ? 4u : 8u)) return HexBytes(value.data);
      unsigned long long number = 0;
      for (size_t i = value.data.size(); i-- > 0;) number = number << 8 | value.data[i];
      wchar_t text[24];
      std::swprintf(text, 24, L"0x%llx", number);
      return text;
    }
    default: return HexBytes(value.data);
  }
}

bool DataFromArgument(DWORD type, std::wstring_view text, std::wstring_view separator, Bytes& data,
                      std::wstring& error) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: data = ApiBytes(std::wstring(text) + L'\0'); return true;
    case REG_MULTI_SZ: {
      std::wstring list;
      while (!text.empty()) {
        const auto at = separator.empty() ? std::wstring_view::npos : text.find(separator);
        list += text.substr(0, at);
        list += L'\0';
        if (at == std::wstring_view::npos) break;
        text.remove_prefix(at + separator.size());
      }
      list += L'\0';
      data = ApiBytes(list);
      return true;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
      const bool wide = type == REG_QWORD;
      unsigned long long number = 0;
      if (!ParseNumber(text, wide ? ~0ULL : 0xffffffffULL, number)) {
        error = L"invalid number for " + TypeName(type) + L": \"" + std::wstring(text) +
                L"\" (decimal, or hexadecimal with 0x)";
        return false;
      }
      data = LittleEndian(number, wide ? 8 : 4);
      if (type == REG_DWORD_BIG_ENDIAN) data.assign(data.rbegin(), data.rend());
      return true;
    }
    default: {
      if (text.size() % 2 != 0) {
        error = L"hexadecimal data needs an even number of digits: \"" + std::wstring(text) + L"\"";
        return false;
      }
      data.clear();
      for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
          error = L"invalid hexadecimal data: \"" + std::wstring(text) + L"\"";
          return false;
        }
        data.push_back(static_cast<BYTE>(high << 4 | low));
      }
      return true;
    }
  }
}

std::wstring ErrorText(LSTATUS status) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<LPWSTR>(&buffer), 0,
                                      nullptr);
  std::wstring text = length && buffer ? std::wstring(buffer, length) : L"error " + std::to_wstring(status);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text;
}

}  // namespace winreg

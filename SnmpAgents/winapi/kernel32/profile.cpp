// Profile (INI) files with Windows' parsing rules: case-insensitive sections and keys,
// blanks trimmed, ';' comment lines, one pair of quotes stripped from a value. Files are
// UTF-16 LE with BOM, UTF-8 with BOM or ANSI (1252); writing keeps the file's encoding.
// Every call reads the file afresh, so other processes' changes are seen at once.
#include <windows.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "codepage.h"
#include "errors.h"
#include "fileobject.h"
#include "paths.h"
#include "wide_text.h"

namespace winapi {
namespace {

enum class Encoding { kAnsi, kUtf8, kUtf16 };

struct Line {
  enum Kind { kOther, kSection, kEntry } kind = kOther;
  std::wstring raw;
  std::wstring name;   // section or key
  std::wstring value;  // entries only, trimmed and unquoted
};

struct Profile {
  bool exists = false;
  Encoding encoding = Encoding::kAnsi;
  std::vector<Line> lines;
};

std::mutex& WriteLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring Trim(std::wstring_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::wstring(text.substr(begin, end - begin));
}

std::wstring TrimTrailing(std::wstring_view text) {
  size_t end = text.size();
  while (end > 0 && IsBlank(text[end - 1])) --end;
  return std::wstring(text.substr(0, end));
}

std::wstring Unquote(std::wstring value) {
  if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

Line ParseLine(std::wstring raw) {
  Line line;
  line.raw = std::move(raw);
  const std::wstring text = Trim(line.raw);
  if (text.empty() || text[0] == L';') return line;
  if (text[0] == L'[') {
    const auto close = text.find(L']');
    line.kind = Line::kSection;
    line.name = Trim(text.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
    return line;
  }
  line.kind = Line::kEntry;
  const auto equals = text.find(L'=');
  if (equals == std::wstring::npos) {
    line.name = text;
    return line;
  }
  line.name = Trim(text.substr(0, equals));
  line.value = Unquote(Trim(text.substr(equals + 1)));
  return line;
}

std::wstring Decode(const std::string& bytes, Encoding& encoding) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    encoding = Encoding::kUtf16;
    return WideFromUtf16Bytes(bytes.data() + 2, (bytes.size() - 2) / 2);
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    encoding = Encoding::kUtf8;
    return WideFromUtf8(std::string_view(bytes).substr(3));
  }
  encoding = Encoding::kAnsi;
  return WideFromAnsi(bytes);
}

std::string Encode(const std::wstring& text, Encoding encoding) {
  switch (encoding) {
    case Encoding::kUtf16: {
      std::string out = "\xFF\xFE";
      for (char16_t unit : Utf16FromWide(text)) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
      }
      return out;
    }
    case Encoding::kUtf8: return "\xEF\xBB\xBF" + Utf8FromWide(text);
    case Encoding::kAnsi: return AnsiFromWide(text);
  }
  return {};
}

// A bare file name lives in the Windows directory, as on Windows.
std::string ProfilePath(LPCWSTR fileName) {
  const std::wstring name(fileName);
  if (name.find_first_of(L"\\/") == std::wstring::npos) return ToHostPath(L"C:\\Windows\\" + name);
  return ToHostPath(name);
}

Profile Load(const std::string& path) {
  Profile profile;
  std::ifstream in(path, std::ios::binary);
  if (!in) return profile;
  profile.exists = true;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::wstring text = Decode(bytes, profile.encoding);
  size_t start = 0;
  while (start < text.size()) {
    auto end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring raw = text.substr(start, end - start);
    if (!raw.empty() && raw.back() == L'\r') raw.pop_back();
    profile.lines.push_back(ParseLine(std::move(raw)));
    start = end + 1;
  }
  return profile;
}

// Written beside the file and renamed over it, so a reader never sees half a file.
bool Save(const std::string& path, const Profile& profile) {
  std::wstring text;
  for (auto& line : profile.lines) text += line.raw + L"\r\n";
  const std::string bytes = Encode(text, profile.encoding);
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno == ENOENT ? FailWith(NotFoundError(path)) : FailWithErrno();
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      unlink(temporary.c_str());
      return FailWithErrno();
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return FailWithErrno();
  }
  return true;
}

bool InSection(const std::vector<Line>& lines, size_t index, std::wstring_view section) {
  for (size_t i = index + 1; i-- > 0;)
    if (lines[i].kind == Line::kSection) return EqualsNoCase(lines[i].name, section);
  return false;
}

std::vector<std::wstring> SectionNames(const Profile& profile) {
  std::vector<std::wstring> names;
  for (auto& line : profile.lines) {
    if (line.kind != Line::kSection) continue;
    bool seen = false;
    for (auto& name : names) seen = seen || EqualsNoCase(name, line.name);
    if (!seen) names.push_back(line.name);
  }
  return names;
}

std::vector<std::wstring> KeyNames(const Profile& profile, std::wstring_view section) {
  std::vector<std::wstring> keys;
  for (size_t i = 0; i < profile.lines.size(); ++i) {
    if (profile.lines[i].kind != Line::kEntry || !InSection(profile.lines, i, section)) continue;
    bool seen = false;
    for (auto& key : keys) seen = seen || EqualsNoCase(key, profile.lines[i].name);
    if (!seen) keys.push_back(profile.lines[i].name);
  }
  return keys;
}

std::vector<std::wstring> SectionLines(const Profile& profile, std::wstring_view section) {
  std::vector<std::wstring> lines;
  for (size_t i = 0; i < profile.lines.size(); ++i)
    if (profile.lines[i].kind == Line::kEntry && InSection(profile.lines, i, section))
      lines.push_back(Trim(profile.lines[i].raw));
  return lines;
}

std::optional<std::wstring> Value(const Profile& profile, std::wstring_view section, std::wstring_view key) {
  for (size_t i = 0; i < profile.lines.size(); ++i) {
    const Line& line = profile.lines[i];
    if (line.kind == Line::kEntry && EqualsNoCase(line.name, key) && InSection(profile.lines, i, section))
      return line.value;
  }
  return std::nullopt;
}

// A string cut to the buffer: the result is what was copied, without the terminator.
DWORD CopyString(const std::wstring& value, LPWSTR buffer, DWORD size) {
  if (!buffer || size == 0) return 0;
  const size_t n = std::min<size_t>(value.size(), size - 1);
  std::copy_n(value.begin(), n, buffer);
  buffer[n] = L'\0';
  return static_cast<DWORD>(n);
}

// A double-null-terminated list; when it does not fit, the last string is cut and the
// result is size - 2.
DWORD CopyList(const std::vector<std::wstring>& items, LPWSTR buffer, DWORD size) {
  if (!buffer || size == 0) return 0;
  std::wstring joined;
  for (auto& item : items) joined += item + L'\0';
  if (joined.size() + 1 <= size) {
    std::copy(joined.begin(), joined.end(), buffer);
    buffer[joined.size()] = L'\0';
    return static_cast<DWORD>(joined.size());
  }
  if (size < 2) {
    buffer[0] = L'\0';
    return 0;
  }
  std::copy_n(joined.begin(), size - 2, buffer);
  buffer[size - 2] = L'\0';
  buffer[size - 1] = L'\0';
  return size - 2;
}

// Leading digits, decimal or with "0x" hexadecimal, with an optional sign; no digits is 0.
UINT ParseProfileInt(const std::wstring& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
  unsigned base = 10;
  if (i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X')) {
    base = 16;
    i += 2;
  }
  uint32_t value = 0;
  for (; i < text.size(); ++i) {
    const wchar_t c = text[i];
    unsigned digit;
    if (c >= L'0' && c <= L'9') digit = static_cast<unsigned>(c - L'0');
    else if (base == 16 && c >= L'a' && c <= L'f') digit = static_cast<unsigned>(c - L'a' + 10);
    else if (base == 16 && c >= L'A' && c <= L'F') digit = static_cast<unsigned>(c - L'A' + 10);
    else break;
    value = value * base + digit;
  }
  return negative ? 0u - value : value;
}

void RemoveSection(Profile& profile, std::wstring_view section) {
  std::vector<Line> kept;
  bool removing = false;
  for (auto& line : profile.lines) {
    if (line.kind == Line::kSection) removing = EqualsNoCase(line.name, section);
    if (!removing) kept.push_back(line);
  }
  profile.lines = std::move(kept);
}

void RemoveKey(Profile& profile, std::wstring_view section, std::wstring_view key) {
  std::vector<Line> kept;
  for (size_t i = 0; i < profile.lines.size(); ++i) {
    const Line& line = profile.lines[i];
    if (line.kind == Line::kEntry && EqualsNoCase(line.name, key) && InSection(profile.lines, i, section)) continue;
    kept.push_back(line);
  }
  profile.lines = std::move(kept);
}

void SetKey(Profile& profile, std::wstring_view section, std::wstring_view key, std::wstring_view value) {
  const Line entry = ParseLine(std::wstring(key) + L"=" + std::wstring(value));
  std::optional<size_t> lastInSection;
  for (size_t i = 0; i < profile.lines.size(); ++i) {
    Line& line = profile.lines[i];
    if (!InSection(profile.lines, i, section)) continue;
    if (line.kind == Line::kEntry && EqualsNoCase(line.name, key)) {
      line = entry;
      return;
    }
    if (line.kind != Line::kOther || !Trim(line.raw).empty()) lastInSection = i;
  }
  if (lastInSection) {
    profile.lines.insert(profile.lines.begin() + static_cast<ptrdiff_t>(*lastInSection + 1), entry);
    return;
  }
  profile.lines.push_back(ParseLine(L"[" + std::wstring(section) + L"]"));
  profile.lines.push_back(entry);
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// GetPrivateProfileStringW: a null section lists the sections, a null key the keys.
extern "C" WINBASEAPI DWORD WINAPI GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                                            LPWSTR lpReturnedString, DWORD nSize,
                                                            LPCWSTR lpFileName) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    if (!lpFileName || !*lpFileName) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const Profile profile = Load(ProfilePath(lpFileName));
    if (!lpAppName) return CopyList(SectionNames(profile), lpReturnedString, nSize);
    if (!lpKeyName) return CopyList(KeyNames(profile, lpAppName), lpReturnedString, nSize);
    if (auto value = Value(profile, lpAppName, lpKeyName)) return CopyString(*value, lpReturnedString, nSize);
    FailWith(ERROR_FILE_NOT_FOUND);
    return CopyString(TrimTrailing(lpDefault ? lpDefault : L""), lpReturnedString, nSize);
  });
}

// GetPrivateProfileIntW: the default only when the key is missing or empty.
extern "C" WINBASEAPI UINT WINAPI GetPrivateProfileIntW(LPCWSTR lpAppName, LPCWSTR lpKeyName, INT nDefault,
                                                        LPCWSTR lpFileName) {
  return winapi::GuardedLastError<UINT>(static_cast<UINT>(nDefault), [&]() -> UINT {
    if (!lpAppName || !lpKeyName || !lpFileName) return static_cast<UINT>(nDefault);
    const auto value = Value(Load(ProfilePath(lpFileName)), lpAppName, lpKeyName);
    if (!value || value->empty()) return static_cast<UINT>(nDefault);
    return ParseProfileInt(*value);
  });
}

// GetPrivateProfileSectionW: the section's "key=value" lines.
extern "C" WINBASEAPI DWORD WINAPI GetPrivateProfileSectionW(LPCWSTR lpAppName, LPWSTR lpReturnedString, DWORD nSize,
                                                             LPCWSTR lpFileName) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    if (!lpAppName || !lpFileName) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    return CopyList(SectionLines(Load(ProfilePath(lpFileName)), lpAppName), lpReturnedString, nSize);
  });
}

// GetPrivateProfileSectionNamesW
extern "C" WINBASEAPI DWORD WINAPI GetPrivateProfileSectionNamesW(LPWSTR lpszReturnBuffer, DWORD nSize,
                                                                  LPCWSTR lpFileName) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    if (!lpFileName) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    return CopyList(SectionNames(Load(ProfilePath(lpFileName))), lpszReturnBuffer, nSize);
  });
}

// WritePrivateProfileStringW: a null key deletes the section, a null value the key.
extern "C" WINBASEAPI BOOL WINAPI WritePrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString,
                                                             LPCWSTR lpFileName) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpAppName && !lpKeyName && !lpString) return TRUE;  // "flush the cache": there is none
    if (!lpAppName || !lpFileName || !*lpFileName) return FailWith(ERROR_INVALID_PARAMETER);
    const std::string path = ProfilePath(lpFileName);
    std::lock_guard<std::mutex> guard(WriteLock());
    Profile profile = Load(path);
    if (!lpKeyName) RemoveSection(profile, Trim(lpAppName));
    else if (!lpString) RemoveKey(profile, Trim(lpAppName), Trim(lpKeyName));
    else SetKey(profile, Trim(lpAppName), Trim(lpKeyName), lpString);
    return Save(path, profile) ? TRUE : FALSE;
  });
}
